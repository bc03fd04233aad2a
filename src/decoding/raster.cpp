#include <cstddef>
#include <cstring>

#include "decoding/internal/raster.h"

namespace batchaugmentor::decoding::internal {
namespace {

// BT.601 luma in 16-bit fixed point, rounded: the weights Pillow uses for
// RGB to L, so that L results match a Pillow pipeline.
inline std::uint8_t luma(unsigned r, unsigned g, unsigned b) {
  return static_cast<std::uint8_t>((r * 19595u + g * 38470u + b * 7471u + 0x8000u) >> 16);
}

// (255 - ink) * (255 - black) / 255, rounded.
inline std::uint8_t unink(unsigned paper, unsigned paper_k) {
  const unsigned t = paper * paper_k + 128u;
  return static_cast<std::uint8_t>((t + (t >> 8)) >> 8);
}

// One pixel of the layout as RGB.
template <Layout L>
inline void rgb_of(const std::uint8_t* p, unsigned* rgb) {
  if constexpr (L == Layout::kGray) {
    rgb[0] = rgb[1] = rgb[2] = p[0];
  } else if constexpr (L == Layout::kRgb || L == Layout::kRgba) {
    rgb[0] = p[0];
    rgb[1] = p[1];
    rgb[2] = p[2];
  } else {
    const bool inverted = L == Layout::kCmykInverted;
    const unsigned k = inverted ? p[3] : 255u - p[3];
    for (int c = 0; c < 3; ++c) rgb[c] = unink(inverted ? p[c] : 255u - p[c], k);
  }
}

// `n` pixels from `p`, `step` bytes apart, into a row of the mode at `out`.
template <Layout L, Mode M>
void convert_run(const std::uint8_t* p, std::ptrdiff_t step, std::uint32_t n, std::uint8_t* out) {
  for (std::uint32_t x = 0; x < n; ++x, p += step) {
    if constexpr (M == Mode::kL && L == Layout::kGray) {
      *out++ = p[0];
    } else {
      unsigned rgb[3];
      rgb_of<L>(p, rgb);
      if constexpr (M == Mode::kL) {
        *out++ = luma(rgb[0], rgb[1], rgb[2]);
      } else {
        *out++ = static_cast<std::uint8_t>(rgb[0]);
        *out++ = static_cast<std::uint8_t>(rgb[1]);
        *out++ = static_cast<std::uint8_t>(rgb[2]);
        if constexpr (M == Mode::kRgba) *out++ = L == Layout::kRgba ? p[3] : 255;
      }
    }
  }
}

template <Layout L, Mode M>
void convert_all(const Raster& r, int orientation, std::uint8_t* out) {
  const std::ptrdiff_t px = layout_channels(L);
  const std::ptrdiff_t row = px * static_cast<std::ptrdiff_t>(r.width);
  const bool swap = swaps_sides(orientation);
  const std::uint32_t out_w = swap ? r.height : r.width;
  const std::uint32_t out_h = swap ? r.width : r.height;
  const std::ptrdiff_t w1 = static_cast<std::ptrdiff_t>(r.width) - 1;
  const std::ptrdiff_t h1 = static_cast<std::ptrdiff_t>(r.height) - 1;
  const std::size_t out_row = std::size_t{out_w} * static_cast<std::size_t>(channels_of(M));
  for (std::uint32_t y = 0; y < out_h; ++y) {
    // Result row y is a line of the stored raster: its start (sx, sy) and
    // the step between neighbours.
    const std::ptrdiff_t yy = y;
    std::ptrdiff_t sx = 0, sy = 0, step = 0;
    switch (orientation) {
      case 2: sx = w1; sy = yy; step = -px; break;
      case 3: sx = w1; sy = h1 - yy; step = -px; break;
      case 4: sx = 0; sy = h1 - yy; step = px; break;
      case 5: sx = yy; sy = 0; step = row; break;
      case 6: sx = yy; sy = h1; step = -row; break;
      case 7: sx = w1 - yy; sy = h1; step = -row; break;
      case 8: sx = w1 - yy; sy = 0; step = row; break;
      default: sx = 0; sy = yy; step = px; break;
    }
    convert_run<L, M>(r.data + sy * row + sx * px, step, out_w, out + y * out_row);
  }
}

template <Layout L>
void convert_mode(const Raster& r, Mode mode, int orientation, std::uint8_t* out) {
  switch (mode) {
    case Mode::kRgb: return convert_all<L, Mode::kRgb>(r, orientation, out);
    case Mode::kL: return convert_all<L, Mode::kL>(r, orientation, out);
    case Mode::kRgba: return convert_all<L, Mode::kRgba>(r, orientation, out);
  }
}

}  // namespace

int layout_channels(Layout layout) {
  switch (layout) {
    case Layout::kGray: return 1;
    case Layout::kRgb: return 3;
    case Layout::kRgba: return 4;
    case Layout::kCmyk:
    case Layout::kCmykInverted: return 4;
  }
  return 1;
}

void convert_oriented(const Raster& raster, Mode mode, int orientation, std::uint8_t* out) {
  switch (raster.layout) {
    case Layout::kGray: return convert_mode<Layout::kGray>(raster, mode, orientation, out);
    case Layout::kRgb: return convert_mode<Layout::kRgb>(raster, mode, orientation, out);
    case Layout::kRgba: return convert_mode<Layout::kRgba>(raster, mode, orientation, out);
    case Layout::kCmyk: return convert_mode<Layout::kCmyk>(raster, mode, orientation, out);
    case Layout::kCmykInverted: return convert_mode<Layout::kCmykInverted>(raster, mode, orientation, out);
  }
}

int exif_orientation(const std::uint8_t* p, std::size_t n) noexcept {
  if (n >= 6 && std::memcmp(p, "Exif\0\0", 6) == 0) {
    p += 6;
    n -= 6;
  }
  if (n < 8) return 1;
  bool little;
  if (p[0] == 'I' && p[1] == 'I') {
    little = true;
  } else if (p[0] == 'M' && p[1] == 'M') {
    little = false;
  } else {
    return 1;
  }
  auto u16 = [&](std::size_t at) -> unsigned {
    return little ? p[at] | (p[at + 1] << 8) : (p[at] << 8) | p[at + 1];
  };
  auto u32 = [&](std::size_t at) -> std::uint32_t {
    return little ? std::uint32_t{u16(at)} | (std::uint32_t{u16(at + 2)} << 16)
                  : (std::uint32_t{u16(at)} << 16) | std::uint32_t{u16(at + 2)};
  };
  if (u16(2) != 42) return 1;
  const std::uint32_t ifd = u32(4);
  if (ifd > n || n - ifd < 2) return 1;
  const unsigned entries = u16(ifd);
  for (unsigned e = 0; e < entries; ++e) {
    const std::size_t at = std::size_t{ifd} + 2 + std::size_t{e} * 12;
    if (at + 12 > n) return 1;
    if (u16(at) != 0x0112) continue;
    // SHORT, one value, stored in the entry itself.
    if (u16(at + 2) != 3 || u32(at + 4) != 1) return 1;
    const unsigned value = u16(at + 8);
    return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
  }
  return 1;
}

}  // namespace batchaugmentor::decoding::internal
