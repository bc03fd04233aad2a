// The kernel reads reversed, four-byte, planar and column layouts in place;
// every path must give, for each, the bytes it gives for the same pixels
// packed. The
// views are made over buffers holding exactly their samples' extent, so an
// AddressSanitizer build catches a gather that reads past a view.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "resampling/resample.h"

namespace batchaugmentor::resampling {
namespace {

struct Strides {
  std::ptrdiff_t row, pixel, channel;
};

struct Layout {
  const char* name;
  Strides (*strides)(std::ptrdiff_t w, std::ptrdiff_t h);
};

// The packed pixels laid out with a layout's strides in a buffer that spans
// exactly the samples; returns the rows reading them.
RgbRows lay_out(const std::vector<std::uint8_t>& packed, std::uint32_t w, std::uint32_t h, Layout l,
                std::vector<std::uint8_t>& storage) {
  const Strides s = l.strides(w, h);
  const std::ptrdiff_t spans[3] = {s.row * (h - 1), s.pixel * (w - 1), s.channel * 2};
  std::ptrdiff_t low = 0, high = 0;
  for (std::ptrdiff_t span : spans) (span < 0 ? low : high) += span;
  storage.assign(static_cast<std::size_t>(high - low + 1), 0);
  std::uint8_t* first_red = storage.data() - low;
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      for (int c = 0; c < 3; ++c) {
        first_red[y * s.row + x * s.pixel + c * s.channel] = packed[(static_cast<std::size_t>(y) * w + x) * 3 + c];
      }
    }
  }
  return RgbRows{first_red, s.row, w, h, s.pixel, s.channel};
}

TEST(ResampleLayouts, EveryPathReadsEveryLayoutAsItsPackedImage) {
  std::mt19937 rng(2024);
  std::uniform_int_distribution<std::uint32_t> dim(1, 70);
  const std::vector<Layout> layouts = {
      {"reversed", [](std::ptrdiff_t w, std::ptrdiff_t) { return Strides{3 * w, 3, -1}; }},
      {"rgba", [](std::ptrdiff_t w, std::ptrdiff_t) { return Strides{4 * w, 4, 1}; }},
      {"bgra", [](std::ptrdiff_t w, std::ptrdiff_t) { return Strides{4 * w, 4, -1}; }},
      {"planar", [](std::ptrdiff_t w, std::ptrdiff_t h) { return Strides{w, 1, w * h}; }},
      {"planar reversed", [](std::ptrdiff_t w, std::ptrdiff_t h) { return Strides{w, 1, -w * h}; }},
      {"fortran", [](std::ptrdiff_t w, std::ptrdiff_t h) { return Strides{1, h, w * h}; }},
      {"fortran, rows flipped", [](std::ptrdiff_t w, std::ptrdiff_t h) { return Strides{-1, h, w * h}; }},
      {"transposed", [](std::ptrdiff_t, std::ptrdiff_t h) { return Strides{3, 3 * h, 1}; }},
      {"transposed, reversed", [](std::ptrdiff_t, std::ptrdiff_t h) { return Strides{3, 3 * h, -1}; }},
      {"one row broadcast", [](std::ptrdiff_t, std::ptrdiff_t) { return Strides{0, 3, 1}; }},
      {"planes, one row broadcast", [](std::ptrdiff_t w, std::ptrdiff_t h) { return Strides{0, 1, w * h}; }},
  };
  for (int trial = 0; trial < 80; ++trial) {
    const std::uint32_t sw = dim(rng), sh = dim(rng), w = dim(rng), h = dim(rng);
    std::vector<std::uint8_t> packed(static_cast<std::size_t>(sw) * sh * 3);
    for (auto& b : packed) b = static_cast<std::uint8_t>(rng());
    for (const KernelPath& k : kernel_paths()) {
      if (!k.supported()) continue;
      std::vector<std::uint8_t> want(static_cast<std::size_t>(w) * h * 3), got(want.size());
      for (const Layout& l : layouts) {
        std::vector<std::uint8_t> storage;
        const RgbRows rows = lay_out(packed, sw, sh, l, storage);
        ASSERT_TRUE(rows.readable()) << l.name;
        // The packed image the view shows (a broadcast one repeats a row).
        std::vector<std::uint8_t> seen(packed.size());
        for (std::uint32_t y = 0; y < sh; ++y) {
          for (std::uint32_t x = 0; x < sw; ++x) {
            for (int c = 0; c < 3; ++c) {
              seen[(static_cast<std::size_t>(y) * sw + x) * 3 + c] =
                  rows.row(y)[x * rows.pixel_stride + c * rows.channel_stride];
            }
          }
        }
        ASSERT_TRUE(resample_rgb(RgbRows{seen.data(), static_cast<std::ptrdiff_t>(sw) * 3, sw, sh}, w, h,
                                 want.data(), k).ok());
        ASSERT_TRUE(resample_rgb(rows, w, h, got.data(), k).ok());
        ASSERT_EQ(got, want) << k.name << ", " << l.name << ", " << sw << "x" << sh << " -> " << w << "x" << h;
      }
    }
  }
}

}  // namespace
}  // namespace batchaugmentor::resampling
