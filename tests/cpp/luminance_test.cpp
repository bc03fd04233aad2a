// Every layout's luminance is the one running sum over its pixels in
// row-major order, bit for bit, whichever way its samples are read. The
// views are made over buffers holding exactly their extent, so a read past
// a view shows up in a sanitizer build.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "luminance/luminance.h"

namespace batchaugmentor::luminance {
namespace {

double plain_mean(const ImageView& v) {
  double sum = 0.0;
  for (std::size_t y = 0; y < v.shape[0]; ++y) {
    for (std::size_t x = 0; x < v.shape[1]; ++x) {
      const double r = 0.299 * static_cast<double>(*image_at(v, y, x, 0));
      const double g = 0.587 * static_cast<double>(*image_at(v, y, x, 1));
      const double b = 0.114 * static_cast<double>(*image_at(v, y, x, 2));
      sum += (r + g) + b;
    }
  }
  return sum / static_cast<double>(v.shape[0] * v.shape[1]);
}

std::uint64_t bits(double d) {
  std::uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}

TEST(Luminance, EveryLayoutGivesThePlainSumsBits) {
  std::mt19937 rng(11);
  for (int round = 0; round < 40; ++round) {
    // Past one strip of rows and one run of pixels, widths off the tiles.
    const std::ptrdiff_t h = 1 + rng() % 90, w = 1 + rng() % 300;
    const std::vector<std::array<std::ptrdiff_t, 3>> layouts = {
        {3 * w, 3, 1},  {3 * w, 3, -1}, {4 * w, 4, 1}, {4 * w, 4, -1}, {w, 1, h * w},
        {w, 1, -h * w}, {1, h, h * w},  {3, 3 * h, 1}, {-1, h, h * w}, {-3 * w, 3, 1},
        {0, 3, 1},      {2, 6 * h, 2 * h}, {7 * w, 7, 2},
    };
    for (const auto& strides : layouts) {
      std::ptrdiff_t low = 0, high = 0;
      const std::ptrdiff_t spans[3] = {strides[0] * (h - 1), strides[1] * (w - 1), strides[2] * 2};
      for (std::ptrdiff_t span : spans) (span < 0 ? low : high) += span;
      std::vector<std::uint8_t> bytes(static_cast<std::size_t>(high - low + 1));
      for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
      const ImageView view{bytes.data() - low, {static_cast<std::size_t>(h), static_cast<std::size_t>(w), 3},
                           strides};
      ASSERT_EQ(bits(image_luminance(view)), bits(plain_mean(view)))
          << "strides " << strides[0] << " " << strides[1] << " " << strides[2] << ", " << h << "x" << w;
    }
  }
}

// Column layouts too wide for two strips of rows within their budget are
// walked directly; either side of that width gives the plain sum's bits.
TEST(Luminance, ColumnLayoutsOfEveryWidthGiveThePlainSumsBits) {
  std::mt19937 rng(3);
  for (std::ptrdiff_t w : {1, 15, 16, 17, 21845, 21846, 30000}) {
    const std::ptrdiff_t h = 3;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(h * w * 3));
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    for (const std::array<std::ptrdiff_t, 3>& strides :
         {std::array<std::ptrdiff_t, 3>{1, h, h * w}, std::array<std::ptrdiff_t, 3>{3, 3 * h, 1}}) {
      const ImageView view{bytes.data(), {static_cast<std::size_t>(h), static_cast<std::size_t>(w), 3}, strides};
      ASSERT_EQ(bits(image_luminance(view)), bits(plain_mean(view))) << "width " << w << ", row stride " << strides[0];
    }
  }
}

TEST(Luminance, AnImageWithoutPixelsIsNaN) {
  const std::uint8_t byte = 7;
  EXPECT_TRUE(std::isnan(image_luminance(ImageView{&byte, {0, 5, 3}, {15, 3, 1}})));
  EXPECT_TRUE(std::isnan(image_luminance(ImageView{&byte, {4, 0, 3}, {0, 3, 1}})));
}

}  // namespace
}  // namespace batchaugmentor::luminance
