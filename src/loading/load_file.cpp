#include "loading/load_file.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/files.h"

namespace batchaugmentor::loading {

namespace {

// Reads that find no room left in the content buffer land here first, so a
// file that ends exactly at the buffer's capacity does not grow it just to
// learn that nothing follows. Larger than a page-sized step so that typical
// image files take two or three reads.
constexpr std::size_t kStagingSize = 64 * 1024;

// Paths up to this length are terminated on the stack; longer ones (rare,
// and already past most OS limits) on the heap.
constexpr std::size_t kInlinePathSize = 512;

// The file's bytes so far. Grows to max(2 * capacity, needed, 8) whenever
// an append does not fit; no file size is asked for in advance, so files
// that grow or shrink while being read are read to wherever their end is.
class ContentBuffer {
 public:
  std::size_t size() const { return size_; }
  std::size_t spare() const { return storage_.size() - size_; }
  std::uint8_t* end() { return storage_.data() + size_; }
  void commit(std::size_t n) { size_ += n; }

  // False when the larger buffer could not be had.
  bool append(const std::uint8_t* data, std::size_t n) {
    if (n > spare() && !grow_for(n)) return false;
    std::memcpy(end(), data, n);
    size_ += n;
    return true;
  }

  FileBytes release() && { return FileBytes{std::move(storage_), size_}; }

 private:
  bool grow_for(std::size_t extra) {
    std::size_t needed;
    if (__builtin_add_overflow(size_, extra, &needed)) return false;
    const std::size_t capacity = storage_.size();
    const std::size_t doubled = capacity > SIZE_MAX / 2 ? SIZE_MAX : 2 * capacity;
    OwnedBuffer larger = OwnedBuffer::allocate(std::max({doubled, needed, std::size_t{8}}));
    if (larger.failed()) return false;
    if (size_ > 0) std::memcpy(larger.data(), storage_.data(), size_);
    storage_ = std::move(larger);
    return true;
  }

  OwnedBuffer storage_;
  std::size_t size_ = 0;
};

FileReadFailure out_of_memory() { return FileReadFailure{.os_error = 0, .out_of_memory = true}; }

LoadOutcome read_to_end(platform::ReadOnlyFile& file) {
  ContentBuffer content;
  std::uint8_t staging[kStagingSize];
  for (;;) {
    if (content.spare() > 0) {
      platform::ReadResult r = file.read_some(content.end(), content.spare());
      if (r.os_error != 0) return FileReadFailure{.os_error = r.os_error};
      if (r.bytes == 0) break;
      content.commit(r.bytes);
      continue;
    }
    platform::ReadResult r = file.read_some(staging, sizeof staging);
    if (r.os_error != 0) return FileReadFailure{.os_error = r.os_error};
    if (r.bytes == 0) break;
    if (!content.append(staging, r.bytes)) return out_of_memory();
  }
  return std::move(content).release();
}

}  // namespace

LoadOutcome load_file_bytes(std::string_view path) {
  // A NUL would silently cut the path short at the OS boundary and open
  // some other file.
  if (path.find('\0') != std::string_view::npos) return FileReadFailure{};

  char inline_path[kInlinePathSize];
  OwnedBuffer heap_path;
  char* terminated = inline_path;
  if (path.size() >= kInlinePathSize) {
    heap_path = OwnedBuffer::allocate(path.size() + 1);
    if (heap_path.failed()) return out_of_memory();
    terminated = reinterpret_cast<char*>(heap_path.data());
  }
  if (!path.empty()) std::memcpy(terminated, path.data(), path.size());
  terminated[path.size()] = '\0';

  platform::ReadOnlyFile::Opened opened = platform::ReadOnlyFile::open(terminated);
  if (!opened.file) return FileReadFailure{.os_error = opened.os_error};
  return read_to_end(*opened.file);
}

}  // namespace batchaugmentor::loading
