// The kernel reads reversed, four-byte and planar rows in place; every path
// must give, for each, the bytes it gives for the same pixels packed. The
// views are made over buffers holding exactly their samples' extent, so an
// AddressSanitizer build catches a gather that reads past a view.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "resampling/resample.h"

namespace batchaugmentor::resampling {
namespace {

struct Layout {
  const char* name;
  std::ptrdiff_t pixel_stride, channel_stride;
};

// The packed pixels laid out with the given strides (rows of width pixels,
// planes one after another for planar layouts), in a buffer that spans
// exactly the samples; returns the rows reading them.
RgbRows lay_out(const std::vector<std::uint8_t>& packed, std::uint32_t w, std::uint32_t h, Layout l,
                std::vector<std::uint8_t>& storage) {
  const std::ptrdiff_t ps = l.pixel_stride, cs = l.channel_stride;
  std::ptrdiff_t row_stride, first_red;
  if (ps == 1) {  // planes of h * w, red first or last
    row_stride = w;
    storage.assign(static_cast<std::size_t>(w) * h * 3, 0);
    first_red = cs > 0 ? 0 : 2 * static_cast<std::ptrdiff_t>(w) * h;
  } else {
    row_stride = ps * static_cast<std::ptrdiff_t>(w);
    // The last pixel of the last row ends at its highest sample.
    const std::ptrdiff_t highest = cs > 0 ? 2 : 0;
    storage.assign(static_cast<std::size_t>(row_stride * (h - 1) + ps * (w - 1) + highest + (cs > 0 ? 1 : 3)), 0);
    first_red = cs > 0 ? 0 : 2;
  }
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      for (int c = 0; c < 3; ++c) {
        storage[static_cast<std::size_t>(first_red + y * row_stride + x * ps + c * cs)] =
            packed[(static_cast<std::size_t>(y) * w + x) * 3 + c];
      }
    }
  }
  return RgbRows{storage.data() + first_red, row_stride, w, h, ps, cs};
}

TEST(ResampleLayouts, EveryPathReadsEveryLayoutAsItsPackedImage) {
  std::mt19937 rng(2024);
  std::uniform_int_distribution<std::uint32_t> dim(1, 70);
  const std::vector<Layout> layouts = {
      {"reversed", 3, -1}, {"rgba", 4, 1}, {"bgra", 4, -1}, {"planar", 1, 0}, {"planar reversed", 1, -1}};
  for (int trial = 0; trial < 80; ++trial) {
    const std::uint32_t sw = dim(rng), sh = dim(rng), w = dim(rng), h = dim(rng);
    std::vector<std::uint8_t> packed(static_cast<std::size_t>(sw) * sh * 3);
    for (auto& b : packed) b = static_cast<std::uint8_t>(rng());
    for (const KernelPath& k : kernel_paths()) {
      if (!k.supported()) continue;
      std::vector<std::uint8_t> want(static_cast<std::size_t>(w) * h * 3), got(want.size());
      ASSERT_TRUE(resample_rgb(RgbRows{packed.data(), static_cast<std::ptrdiff_t>(sw) * 3, sw, sh}, w, h,
                               want.data(), k).ok());
      for (Layout l : layouts) {
        // A planar layout's plane step: one plane of sh * sw, or none at all
        // (the test's channel_stride 0 stands for "planes in order").
        if (l.pixel_stride == 1) l.channel_stride = (l.channel_stride < 0 ? -1 : 1) * static_cast<std::ptrdiff_t>(sw) * sh;
        std::vector<std::uint8_t> storage;
        const RgbRows rows = lay_out(packed, sw, sh, l, storage);
        ASSERT_TRUE(resample_rgb(rows, w, h, got.data(), k).ok());
        ASSERT_EQ(got, want) << k.name << ", " << l.name << ", " << sw << "x" << sh << " -> " << w << "x" << h;
      }
    }
  }
}

}  // namespace
}  // namespace batchaugmentor::resampling
