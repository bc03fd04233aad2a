// OwnedBuffer: one heap block with exactly one owner.
//
//   Outcome<OwnedBuffer> b = OwnedBuffer::allocate(n);
//   if (!b.ok()) return b.error();               // out of memory
//   std::memcpy(b.value().data(), src, n);
//
// Allocation failure is a value, not an exception: sizes usually come from
// the caller's arrays, and a too-large request must become a Python
// MemoryError, never end the process.
//
// Blocks start on a cache line: with the allocator's own 16-byte alignment,
// every other 32-byte vector load from the resize's working buffers would
// straddle two lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "common/outcome.h"

namespace batchaugmentor {

class OwnedBuffer {
 public:
  OwnedBuffer() = default;
  OwnedBuffer(const OwnedBuffer&) = delete;
  OwnedBuffer& operator=(const OwnedBuffer&) = delete;
  OwnedBuffer(OwnedBuffer&& other) noexcept
      : raw_(std::exchange(other.raw_, nullptr)),
        data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)) {}
  OwnedBuffer& operator=(OwnedBuffer&& other) noexcept {
    if (this != &other) {
      std::free(raw_);
      raw_ = std::exchange(other.raw_, nullptr);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~OwnedBuffer() { std::free(raw_); }

  // Uninitialised bytes. A zero-byte request succeeds with a null pointer.
  static Outcome<OwnedBuffer> allocate(std::size_t size) { return make(size, false); }
  // Zero-filled bytes (calloc lets the kernel hand out zero pages cheaply).
  static Outcome<OwnedBuffer> allocate_zeroed(std::size_t size) { return make(size, true); }

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  static constexpr std::size_t kAlign = 64;

  static Outcome<OwnedBuffer> make(std::size_t size, bool zeroed) {
    OwnedBuffer b;
    if (size == 0) return b;
    // Over-allocated and aligned by hand rather than with aligned_alloc, so
    // that zeroed blocks keep calloc's cheap zero pages.
    void* p = size > SIZE_MAX - kAlign ? nullptr
              : zeroed                 ? std::calloc(size + kAlign, 1)
                                       : std::malloc(size + kAlign);
    if (p == nullptr) return OperationError::out_of_memory();
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    b.raw_ = p;
    b.data_ = reinterpret_cast<std::uint8_t*>((at + kAlign - 1) / kAlign * kAlign);
    b.size_ = size;
    return b;
  }

  void* raw_ = nullptr;  // what the allocator returned; data_ lies inside it
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// Exact size arithmetic: false when the product does not fit in 64 bits.
inline bool checked_mul(std::size_t a, std::size_t b, std::size_t* out) {
  return !__builtin_mul_overflow(a, b, out);
}

}  // namespace batchaugmentor
