// A growable, owned byte buffer for file contents.
//
//   ContentBuffer content;
//   Outcome<> r = content.append(chunk, n);       // grows as needed
//   if (!r.ok()) return r.error();                // out of memory
//   r = content.make_room(64 << 10);              // or read straight
//   content.commit(read_into(content.end(), content.spare()));  // into the tail
//
// When the content outgrows its capacity, the capacity becomes
// max(2 * capacity, needed, 8): amortised linear growth without asking how
// big the file is. The bytes live in a page block from the block cache (see
// block_cache.h), at least as large as the capacity: most growth stays inside
// the block, and a block that must grow is remapped, never copied. A failed
// growth leaves the content intact and reports out of memory; it never ends
// the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "common/outcome.h"
#include "loading/block_cache.h"

namespace batchaugmentor::loading {

class ContentBuffer {
 public:
  ContentBuffer() = default;
  ContentBuffer(const ContentBuffer&) = delete;
  ContentBuffer& operator=(const ContentBuffer&) = delete;
  ContentBuffer(ContentBuffer&& other) noexcept
      : block_(std::exchange(other.block_, Block{})),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  ContentBuffer& operator=(ContentBuffer&& other) noexcept;
  ~ContentBuffer() { release(); }

  const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(block_.data); }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::size_t spare() const { return capacity_ - size_; }

  // The unused tail, capacity() - size() bytes long.
  std::uint8_t* end() { return static_cast<std::uint8_t*>(block_.data) + size_; }
  // Marks n bytes written into end() as content; n <= spare().
  void commit(std::size_t n) { size_ += n; }

  // Grows, by the rule above, until at least n bytes are spare.
  Outcome<> make_room(std::size_t n) {
    if (n <= spare()) return Done{};
    return grow_for(n);
  }
  Outcome<> append(const std::uint8_t* bytes, std::size_t n);

 private:
  Outcome<> grow_for(std::size_t extra);
  void release();

  Block block_;  // empty, or at least capacity_ bytes
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace batchaugmentor::loading
