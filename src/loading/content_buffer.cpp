#include "loading/content_buffer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace batchaugmentor::loading {

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
  void* larger = std::realloc(data_, capacity);
  if (larger == nullptr) return false;  // the old block is still ours
  data_ = static_cast<std::uint8_t*>(larger);
  capacity_ = capacity;
  return true;
}

}  // namespace batchaugmentor::loading
