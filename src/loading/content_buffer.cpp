#include "loading/content_buffer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "loading/block_cache.h"

namespace batchaugmentor::loading {

ContentBuffer& ContentBuffer::operator=(ContentBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    block_bytes_ = std::exchange(other.block_bytes_, 0);
  }
  return *this;
}

void ContentBuffer::release() {
  give_block(data_, block_bytes_);
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
  block_bytes_ = 0;
}

bool ContentBuffer::append(const std::uint8_t* bytes, std::size_t n) {
  if (!make_room(n)) return false;
  if (n > 0) std::memcpy(end(), bytes, n);
  size_ += n;
  return true;
}

bool ContentBuffer::grow_for(std::size_t extra) {
  std::size_t needed;
  if (__builtin_add_overflow(size_, extra, &needed)) return false;
  const std::size_t doubled = capacity_ > SIZE_MAX / 2 ? SIZE_MAX : 2 * capacity_;
  const std::size_t capacity = std::max({doubled, needed, std::size_t{8}});
  if (capacity > block_bytes_) {
    std::size_t bytes = block_bytes_;
    void* block = data_ == nullptr ? take_block(capacity, &bytes) : grow_block(data_, capacity, &bytes);
    if (block == nullptr) return false;  // the old block is still ours
    data_ = static_cast<std::uint8_t*>(block);
    block_bytes_ = bytes;
  }
  capacity_ = capacity;
  return true;
}

}  // namespace batchaugmentor::loading
