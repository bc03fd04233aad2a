#include "loading/content_buffer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

namespace batchaugmentor::loading {

ContentBuffer& ContentBuffer::operator=(ContentBuffer&& other) noexcept {
  if (this != &other) {
    release();
    block_ = std::exchange(other.block_, Block{});
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

void ContentBuffer::release() {
  give_block(block_);
  block_ = Block{};
  size_ = 0;
  capacity_ = 0;
}

Outcome<> ContentBuffer::append(const std::uint8_t* bytes, std::size_t n) {
  Outcome<> room = make_room(n);
  if (!room.ok()) return room;
  if (n > 0) std::memcpy(end(), bytes, n);
  size_ += n;
  return Done{};
}

Outcome<> ContentBuffer::grow_for(std::size_t extra) {
  std::size_t needed;
  if (__builtin_add_overflow(size_, extra, &needed)) return OperationError::out_of_memory();
  const std::size_t doubled = capacity_ > SIZE_MAX / 2 ? SIZE_MAX : 2 * capacity_;
  const std::size_t capacity = std::max({doubled, needed, std::size_t{8}});
  if (capacity > block_.bytes) {
    Outcome<Block> block = block_.data == nullptr ? take_block(capacity) : grow_block(block_, capacity);
    if (!block.ok()) return block.error();  // the old block is still ours
    block_ = block.value();
  }
  capacity_ = capacity;
  return Done{};
}

}  // namespace batchaugmentor::loading
