// A growable, owned byte buffer for file contents.
//
//   ContentBuffer content;
//   if (!content.append(chunk, n)) return out_of_memory;   // grows as needed
//   std::size_t room = content.spare();                     // read straight into
//   content.commit(read_into(content.end(), room));         // the unused tail
//
// When an append does not fit, the capacity becomes max(2 * capacity,
// needed, 8): amortised linear growth without asking how big the file is.
// Small buffers live on the heap. From kMappedFrom bytes on they live in
// pages mapped for them alone, which grow by remapping instead of copying
// into freshly touched memory, the dominant cost when a buffer climbs to tens
// of megabytes (the heap's own large blocks are no help: once a few have been
// freed it serves them from the heap top, which copies on growth and gives
// the memory back on every free). A failed growth leaves the content intact
// and reports false; it never ends the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace batchaugmentor::loading {

class ContentBuffer {
 public:
  static constexpr std::size_t kMappedFrom = 1 << 20;

  ContentBuffer() = default;
  ContentBuffer(const ContentBuffer&) = delete;
  ContentBuffer& operator=(const ContentBuffer&) = delete;
  ContentBuffer(ContentBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  ContentBuffer& operator=(ContentBuffer&& other) noexcept;
  ~ContentBuffer() { release(); }

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
  // Where the block lives follows from its capacity alone, so no flag can
  // disagree with it.
  static bool mapped(std::size_t capacity) { return capacity >= kMappedFrom; }
  bool grow_for(std::size_t extra);
  void release();

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace batchaugmentor::loading
