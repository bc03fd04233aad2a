// The last step of every decoder that cannot write the result directly: a
// decoded raster in the library's own pixel layout becomes the caller's
// mode, turned upright by the EXIF orientation, in one pass.
//
//   convert_oriented({scratch, Layout::kCmyk, w, h}, Mode::kRgb, 6, pixels);
#pragma once

#include <cstdint>

#include "decoding/decode.h"

namespace batchaugmentor::decoding::internal {

enum class Layout {
  kGray,
  kRgb,
  kRgba,
  kCmyk,          // ink amounts, 255 = full ink
  kCmykInverted,  // as Adobe's encoders store them: 255 = no ink
};

int layout_channels(Layout layout);

struct Raster {
  const std::uint8_t* data;  // rows of width * layout_channels bytes, no gaps
  Layout layout;
  std::uint32_t width;       // as stored, before orientation
  std::uint32_t height;
};

// Writes the raster in `mode` at `out`, turned by EXIF `orientation` (1-8):
// for 5-8 the result is height x width.
void convert_oriented(const Raster& raster, Mode mode, int orientation, std::uint8_t* out);

// The orientation (1-8) in an EXIF block (a TIFF header and IFD0, with or
// without the "Exif\0\0" prefix APP1 segments carry); 1 when there is none
// or the block is malformed.
int exif_orientation(const std::uint8_t* data, std::size_t size) noexcept;

// A result side after orientation: 5-8 swap width and height.
inline bool swaps_sides(int orientation) { return orientation >= 5 && orientation <= 8; }

}  // namespace batchaugmentor::decoding::internal
