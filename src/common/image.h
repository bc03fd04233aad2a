// Views of the caller's pixel arrays, and the boxes and sizes that say what
// to make of them.
//
//   ImageView v{data, {h, w, k}, {s0, s1, s2}};
//   const std::uint8_t* p = image_at(v, y, x, c);  // data + y*s0 + x*s1 + c*s2
//   ImageView f = frame_view(video, i);            // frame i, no copy
//
// Views never own memory; strides are in bytes (one byte per sample) and may
// be negative or zero.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

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

struct CropBox {
  std::uint64_t x = 0, y = 0, width = 0, height = 0;
};

// (width, height); the resize functions accept only 32-bit values, which the
// argument conversion enforces, so one type serves both widths.
struct TargetSize {
  std::uint64_t width = 0, height = 0;
};

}  // namespace batchaugmentor
