// A growable, owned byte buffer for file contents.
//
//   ContentBuffer content;
//   if (!content.append(chunk, n)) return out_of_memory;   // grows as needed
//   std::size_t room = content.spare();                     // read straight into
//   content.commit(read_into(content.end(), room));         // the unused tail
//
// When an append does not fit, the capacity becomes max(2 * capacity,
// needed, 8): amortised linear growth without asking how big the file is.
// Growth goes through realloc, which for large blocks remaps pages instead of
// copying them and touching fresh memory, the dominant cost when a buffer
// climbs to tens of megabytes. A failed growth leaves the content intact and
// reports false; it never ends the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace batchaugmentor::loading {

class ContentBuffer {
 public:
  ContentBuffer() = default;
  ContentBuffer(const ContentBuffer&) = delete;
  ContentBuffer& operator=(const ContentBuffer&) = delete;
  ContentBuffer(ContentBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  ContentBuffer& operator=(ContentBuffer&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~ContentBuffer() { std::free(data_); }

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::size_t spare() const { return capacity_ - size_; }

  // The unused tail, capacity() - size() bytes long.
  std::uint8_t* end() { return data_ + size_; }
  // Marks n bytes written into end() as content; n <= spare().
  void commit(std::size_t n) { size_ += n; }

  bool append(const std::uint8_t* bytes, std::size_t n);

 private:
  bool grow_for(std::size_t extra);

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace batchaugmentor::loading
