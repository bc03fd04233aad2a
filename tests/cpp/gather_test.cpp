#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "pixels/gather.h"

namespace batchaugmentor::pixels {
namespace {

// A buffer holding exactly the bytes a view spans, nothing more: a read
// outside the view's extent lands outside the vector (AddressSanitizer
// builds report it).
struct Spanned {
  std::vector<std::uint8_t> bytes;
  ImageView view;
};

Spanned make_view(std::size_t h, std::size_t w, std::array<std::ptrdiff_t, 3> strides, std::mt19937& rng) {
  const std::array<std::size_t, 3> shape{h, w, 3};
  std::ptrdiff_t low = 0, high = 0;
  for (int i = 0; i < 3; ++i) {
    const std::ptrdiff_t span = static_cast<std::ptrdiff_t>(shape[i] - 1) * strides[i];
    (span < 0 ? low : high) += span;
  }
  Spanned s;
  s.bytes.resize(static_cast<std::size_t>(high - low + 1));
  for (auto& b : s.bytes) b = static_cast<std::uint8_t>(rng());
  s.view = ImageView{s.bytes.data() - low, shape, strides};
  return s;
}

// Strides of the layouts users hand over, for an (h, w) image, and odd ones.
std::vector<std::array<std::ptrdiff_t, 3>> layouts(std::ptrdiff_t h, std::ptrdiff_t w) {
  return {
      {3 * w, 3, 1},           // contiguous
      {3 * w, 3, -1},          // a[..., ::-1]
      {4 * w, 4, 1},           // rgba[..., :3]
      {4 * w, 4, -1},          // bgra[..., 2::-1]
      {w, 1, h * w},           // chw.transpose(1, 2, 0)
      {w, 1, -h * w},          // chw[::-1].transpose(1, 2, 0)
      {1, h, h * w},           // Fortran order
      {3, 3 * h, 1},           // a.transpose(1, 0, 2)
      {-1, h, h * w},          // Fortran, rows flipped
      {-3 * w, 3, 1},          // rows flipped
      {0, 3, 1},               // one row broadcast
      {3 * w, 0, 1},           // one pixel broadcast along the row
      {2, 6 * h, 2 * h},       // sparse columns
      {7 * w, 7, 2},           // spaced samples
  };
}

TEST(Gather, EveryPathGivesTheScalarWalksBytes) {
  const GatherPath* wide = avx2_gather();
  if (wide == nullptr) GTEST_SKIP() << "no AVX2 on this processor";
  std::mt19937 rng(7);
  for (int round = 0; round < 60; ++round) {
    const std::size_t h = 1 + rng() % 80, w = 1 + rng() % 70;  // tiles of 16 and 32 rows
    for (const auto& strides : layouts(static_cast<std::ptrdiff_t>(h), static_cast<std::ptrdiff_t>(w))) {
      Spanned s = make_view(h, w, strides, rng);
      const RgbGather fast(s.view, *wide), slow(s.view, scalar_gather());
      const std::size_t x0 = rng() % w, n = 1 + rng() % (w - x0);
      const std::size_t y0 = rng() % h, rows = 1 + rng() % (h - y0);
      std::vector<std::uint8_t> a(rows * n * 3 + 7, 0xAB), b(rows * n * 3 + 7, 0xAB);
      fast.row(y0, x0, n, a.data());
      slow.row(y0, x0, n, b.data());
      ASSERT_EQ(a, b) << "row, layout " << static_cast<int>(fast.layout()) << " h=" << h << " w=" << w;
      fast.block(y0, rows, x0, n, a.data(), n * 3);
      slow.block(y0, rows, x0, n, b.data(), n * 3);
      ASSERT_EQ(a, b) << "block, layout " << static_cast<int>(fast.layout()) << " h=" << h << " w=" << w;
      // As planes, each checked against the packed block's own samples.
      std::vector<std::uint8_t> planes(3 * rows * n + 5, 0xCD);
      std::uint8_t* const out[3] = {planes.data(), planes.data() + rows * n, planes.data() + 2 * rows * n};
      fast.planes(y0, rows, x0, n, out, n);
      std::vector<std::uint8_t> want(planes.size(), 0xCD);
      for (std::size_t i = 0; i < rows * n; ++i) {
        for (std::size_t c = 0; c < 3; ++c) want[c * rows * n + i] = b[3 * i + c];
      }
      ASSERT_EQ(planes, want) << "planes, layout " << static_cast<int>(fast.layout()) << " h=" << h << " w=" << w;
    }
  }
}

TEST(Gather, ClassifiesTheCommonLayouts) {
  std::mt19937 rng(1);
  const std::vector<Layout> expected = {Layout::kPacked, Layout::kReversed, Layout::kSpaced, Layout::kSpaced,
                                        Layout::kPlanar, Layout::kPlanar, Layout::kColumns, Layout::kColumns,
                                        Layout::kColumns, Layout::kPacked};
  const auto all = layouts(20, 30);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    Spanned s = make_view(20, 30, all[i], rng);
    EXPECT_EQ(classify(s.view), expected[i]) << i;
  }
}

}  // namespace
}  // namespace batchaugmentor::pixels
