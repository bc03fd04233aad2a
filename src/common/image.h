// Views of the caller's pixel arrays and the owned arrays that operations
// return.
//
//   ImageView v{data, {h, w, k}, {s0, s1, s2}};   // element (y, x, c) at
//   v.at(y, x, c);                                // data + y*s0 + x*s1 + c*s2
//   ImageArray a = ImageArray::row_major({h, w, k}).value();
//
// Views never own memory; strides are in bytes (one byte per sample) and may
// be negative or zero. Owned arrays hold one block and describe where element
// (0, 0, ...) lies inside it, so a copy may keep the layout of its source.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/buffer.h"
#include "common/outcome.h"

namespace batchaugmentor {

template <std::size_t D>
struct ArrayView {
  const std::uint8_t* data = nullptr;  // address of element (0, ..., 0)
  std::array<std::size_t, D> shape{};
  std::array<std::ptrdiff_t, D> strides{};

  std::size_t count() const {
    std::size_t n = 1;
    for (std::size_t s : shape) n *= s;  // NumPy guarantees this fits
    return n;
  }
};

using ImageView = ArrayView<3>;  // (height, width, channels)
using VideoView = ArrayView<4>;  // (frames, height, width, channels)

inline const std::uint8_t* image_at(const ImageView& v, std::size_t y, std::size_t x,
                                    std::size_t c) {
  return v.data + static_cast<std::ptrdiff_t>(y) * v.strides[0] +
         static_cast<std::ptrdiff_t>(x) * v.strides[1] + static_cast<std::ptrdiff_t>(c) * v.strides[2];
}

// Frame i of a video as an image view; no pixel is copied.
inline ImageView frame_view(const VideoView& v, std::size_t i) {
  return ImageView{v.data + static_cast<std::ptrdiff_t>(i) * v.strides[0],
                   {v.shape[1], v.shape[2], v.shape[3]},
                   {v.strides[1], v.strides[2], v.strides[3]}};
}

template <std::size_t D>
struct OwnedArray {
  OwnedBuffer bytes;                        // lowest address of the elements
  std::array<std::size_t, D> shape{};
  std::array<std::ptrdiff_t, D> strides{};  // in bytes, any sign
  std::size_t origin = 0;                   // offset of element (0, ..., 0) in bytes

  std::size_t count() const {
    std::size_t n = 1;
    for (std::size_t s : shape) n *= s;
    return n;
  }
  std::uint8_t* origin_ptr() { return bytes.data() + origin; }
  const std::uint8_t* origin_ptr() const { return bytes.data() + origin; }

  // A row-major array of the given shape. Fails with out-of-memory when the
  // byte count overflows or cannot be allocated.
  static Outcome<OwnedArray> row_major(const std::array<std::size_t, D>& shape,
                                       bool zeroed = false) {
    std::size_t total = 1;
    for (std::size_t s : shape) {
      if (!checked_mul(total, s, &total)) return OperationError::out_of_memory();
    }
    if (total > static_cast<std::size_t>(PTRDIFF_MAX)) return OperationError::out_of_memory();
    OwnedArray a;
    a.bytes = zeroed ? OwnedBuffer::allocate_zeroed(total) : OwnedBuffer::allocate(total);
    if (a.bytes.failed()) return OperationError::out_of_memory();
    a.shape = shape;
    std::ptrdiff_t stride = 1;
    for (std::size_t i = D; i-- > 0;) {
      a.strides[i] = stride;
      stride *= static_cast<std::ptrdiff_t>(shape[i] == 0 ? 1 : shape[i]);
    }
    return a;
  }
};

using ImageArray = OwnedArray<3>;

struct CropBox {
  std::uint64_t x = 0, y = 0, width = 0, height = 0;
};

// (width, height); the resize functions accept only 32-bit values, which the
// argument conversion enforces, so one type serves both widths.
struct TargetSize {
  std::uint64_t width = 0, height = 0;
};

}  // namespace batchaugmentor
