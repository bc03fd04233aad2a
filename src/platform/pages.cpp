#include "platform/pages.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

// Older C library headers lack it; the kernel value is fixed.
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif


namespace batchaugmentor::platform {

namespace {

// Fewer pages than this fault in faster one by one than the calls take.
constexpr std::uintptr_t kPrepareMinPages = 16;

// Cleared the first time the kernel refuses the advice (before Linux 5.14).
std::atomic<bool> populate_works{true};

// The whole of a small text file (under /proc or /sys) into `out`; false if
// it cannot be read.
bool read_small_file(const char* path, std::string* out) {
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  char chunk[4096];
  bool ok = true;
  out->clear();
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    try {
      out->append(chunk, static_cast<std::size_t>(n));
    } catch (const std::bad_alloc&) {  // no memory: the descriptor must still be closed
      ok = false;
      break;
    }
    if (out->size() > (1u << 20)) break;  // none of these files is anywhere near this long
  }
  ::close(fd);
  return ok;
}

// The number after `key` in `text`, times `unit`; false when absent.
bool number_after(const std::string& text, const char* key, std::uint64_t unit, std::uint64_t* value) {
  const std::size_t at = text.find(key);
  if (at == std::string::npos) return false;
  const char* p = text.c_str() + at + std::strlen(key);
  char* end = nullptr;
  errno = 0;
  const unsigned long long n = std::strtoull(p, &end, 10);
  if (end == p || errno != 0) return false;
  *value = n > UINT64_MAX / unit ? UINT64_MAX : n * unit;
  return true;
}

// Room left under a control group's memory limit, or UINT64_MAX when there
// is none (or it cannot be found).
std::uint64_t cgroup_headroom() {
  std::string groups;
  if (!read_small_file("/proc/self/cgroup", &groups)) return UINT64_MAX;
  std::uint64_t limit = UINT64_MAX, usage = 0;
  std::string text;
  std::size_t start = 0;
  while (start < groups.size()) {
    std::size_t end = groups.find('\n', start);
    if (end == std::string::npos) end = groups.size();
    const std::string line = groups.substr(start, end - start);
    start = end + 1;
    std::string base, limit_file, usage_file;
    if (line.rfind("0::", 0) == 0) {  // the unified hierarchy
      base = "/sys/fs/cgroup" + line.substr(3);
      limit_file = "/memory.max";
      usage_file = "/memory.current";
    } else if (const std::size_t m = line.find(":memory:"); m != std::string::npos) {
      base = "/sys/fs/cgroup/memory" + line.substr(m + 8);
      limit_file = "/memory.limit_in_bytes";
      usage_file = "/memory.usage_in_bytes";
    } else {
      continue;
    }
    std::uint64_t l = 0, u = 0;
    if (!read_small_file((base + limit_file).c_str(), &text) || !number_after(text, "", 1, &l)) continue;
    if (!read_small_file((base + usage_file).c_str(), &text) || !number_after(text, "", 1, &u)) continue;
    if (l < limit) {
      limit = l;
      usage = u;
    }
  }
  return limit == UINT64_MAX ? UINT64_MAX : (limit > usage ? limit - usage : 0);
}

// Room left under one resource limit, given what is in use.
std::uint64_t rlimit_headroom(int resource, std::uint64_t used) {
  struct rlimit r;
  if (::getrlimit(resource, &r) != 0 || r.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
  const auto cur = static_cast<std::uint64_t>(r.rlim_cur);
  return cur > used ? cur - used : 0;
}

// False when the rounded size does not fit.
bool whole_pages(std::size_t bytes, std::size_t* rounded) {
  static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  if (bytes > SIZE_MAX - (page - 1)) return false;
  *rounded = (bytes + page - 1) / page * page;
  return true;
}

}  // namespace

void* map_pages(std::size_t bytes) {
  std::size_t size;
  if (bytes == 0 || !whole_pages(bytes, &size)) return nullptr;
  void* block = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;
  return block;
}

void* remap_pages(void* block, std::size_t old_bytes, std::size_t new_bytes) {
  std::size_t old_size, new_size;
  if (new_bytes == 0 || !whole_pages(old_bytes, &old_size) || !whole_pages(new_bytes, &new_size)) {
    return nullptr;
  }
  void* moved = ::mremap(block, old_size, new_size, MREMAP_MAYMOVE);
  if (moved == MAP_FAILED) return nullptr;
  return moved;
}

void unmap_pages(void* block, std::size_t bytes) {
  std::size_t size;
  if (block != nullptr && whole_pages(bytes, &size)) ::munmap(block, size);
}

void prepare_for_writing(void* target, std::size_t bytes) {
  static const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(target);
  if (bytes == 0 || start > UINTPTR_MAX - bytes) return;
  // Inward to whole pages: the partial pages at the ends may hold other data.
  const std::uintptr_t first = (start + page - 1) / page * page;
  const std::uintptr_t last = (start + bytes) / page * page;
  if (last - first < kPrepareMinPages * page || first >= last) return;
  if (!populate_works.load(std::memory_order_relaxed)) return;
  // Memory the allocator hands out again is usually all in place, and asking
  // the kernel to populate it anyway still walks it page by page, which costs
  // more than finding out that nothing is missing.
  unsigned char resident[256];
  bool missing = false;
  for (std::uintptr_t at = first; at < last && !missing; at += sizeof resident * page) {
    const std::size_t pages = std::min<std::uintptr_t>(sizeof resident, (last - at) / page);
    if (::mincore(reinterpret_cast<void*>(at), pages * page, resident) != 0) {
      missing = true;
      break;
    }
    for (std::size_t i = 0; i < pages && !missing; ++i) missing = (resident[i] & 1) == 0;
  }
  if (!missing) return;
  if (::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE) != 0 && errno == EINVAL) {
    populate_works.store(false, std::memory_order_relaxed);
  }
}

std::uint64_t free_large_page_bytes() {
  // Only where large pages are given to the ranges that ask for them: under
  // "always" every range gets them anyway, under "never" none does.
  static const bool on_request = [] {
    std::string mode;
    return read_small_file("/sys/kernel/mm/transparent_hugepage/enabled", &mode) &&
           mode.find("[madvise]") != std::string::npos;
  }();
  if (!on_request) return 0;
  // Each line: "Node 0, zone Normal" then the free blocks of order 0, 1, ...
  std::string text;
  if (!read_small_file("/proc/buddyinfo", &text)) return 0;
  static const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  std::uint64_t total = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::size_t zone = text.find("zone", start);
    if (zone != std::string::npos && zone < end) {
      const char* p = text.c_str() + zone + 4;
      while (*p == ' ') ++p;
      while (*p != ' ' && *p != '\0' && *p != '\n') ++p;  // the zone's name
      for (int order = 0; order < 64; ++order) {
        char* after = nullptr;
        const unsigned long long blocks = std::strtoull(p, &after, 10);
        if (after == p || static_cast<std::size_t>(after - text.c_str()) > end) break;
        p = after;
        const std::uint64_t block = page << order;
        if (block >= kLargePage && blocks <= UINT64_MAX / block && total <= UINT64_MAX - blocks * block) {
          total += blocks * block;
        }
      }
    }
    start = end + 1;
  }
  return total;
}

void ask_for_large_pages(void* target, std::size_t bytes, bool wanted) {
  const auto start = reinterpret_cast<std::uintptr_t>(target);
  if (bytes == 0 || start > UINTPTR_MAX - bytes) return;
  // Inward to whole large pages: the rest of the range belongs to others.
  const std::uintptr_t first = (start + kLargePage - 1) / kLargePage * kLargePage;
  const std::uintptr_t last = (start + bytes) / kLargePage * kLargePage;
  if (first >= last) return;
  ::madvise(reinterpret_cast<void*>(first), last - first, wanted ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
}

std::uint64_t memory_headroom() {
  static const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  std::string text;
  std::uint64_t room = UINT64_MAX;
  std::uint64_t available = 0;
  if (read_small_file("/proc/meminfo", &text) && number_after(text, "MemAvailable:", 1024, &available)) {
    room = available;
  } else {
    const long pages = ::sysconf(_SC_AVPHYS_PAGES);
    if (pages > 0) room = static_cast<std::uint64_t>(pages) * page;
  }
  // statm: total program size, resident, shared, text, library, data+stack (pages).
  std::uint64_t size_pages = 0, data_pages = 0;
  if (read_small_file("/proc/self/statm", &text)) {
    char* end = nullptr;
    size_pages = std::strtoull(text.c_str(), &end, 10);
    for (int field = 1; field < 6 && end != nullptr && *end != '\0'; ++field) {
      data_pages = std::strtoull(end, &end, 10);
    }
  }
  room = std::min(room, rlimit_headroom(RLIMIT_AS, size_pages * page));
  room = std::min(room, rlimit_headroom(RLIMIT_DATA, data_pages * page));
  room = std::min(room, cgroup_headroom());
  return room;
}

}  // namespace batchaugmentor::platform
