#include "platform/pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace batchaugmentor::platform {

namespace {

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
  if (first >= last) return;
  ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
}

}  // namespace batchaugmentor::platform
