#include "loading/content_buffer.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/pages.h"

namespace batchaugmentor::loading {

ContentBuffer& ContentBuffer::operator=(ContentBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

void ContentBuffer::release() {
  if (mapped(capacity_)) {
    platform::unmap_pages(data_, capacity_);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  capacity_ = 0;
  size_ = 0;
}

bool ContentBuffer::append(const std::uint8_t* bytes, std::size_t n) {
  if (n > spare() && !grow_for(n)) return false;
  if (n > 0) std::memcpy(end(), bytes, n);
  size_ += n;
  return true;
}

bool ContentBuffer::grow_for(std::size_t extra) {
  std::size_t needed;
  if (__builtin_add_overflow(size_, extra, &needed)) return false;
  const std::size_t doubled = capacity_ > SIZE_MAX / 2 ? SIZE_MAX : 2 * capacity_;
  const std::size_t capacity = std::max({doubled, needed, std::size_t{8}});

  void* larger;
  if (!mapped(capacity)) {
    larger = std::realloc(data_, capacity);
  } else if (mapped(capacity_)) {
    larger = platform::remap_pages(data_, capacity_, capacity);
  } else {
    // Crossing into mapped pages: the one copy of the content's life, and of
    // less than kMappedFrom bytes.
    larger = platform::map_pages(capacity);
    if (larger != nullptr && size_ > 0) std::memcpy(larger, data_, size_);
    if (larger != nullptr) std::free(data_);
  }
  if (larger == nullptr) return false;  // the old block is still ours
  data_ = static_cast<std::uint8_t*>(larger);
  capacity_ = capacity;
  return true;
}

}  // namespace batchaugmentor::loading
