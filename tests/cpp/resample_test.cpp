// Every instruction-set path of the resampling kernel must give the scalar
// path's bytes exactly; these cases sweep the shapes where the vector paths
// switch schedule (register blocks, vector tails, band edges, spill slots).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "resampling/resample.h"

namespace batchaugmentor::resampling {
namespace {

std::vector<std::uint8_t> random_pixels(std::mt19937& rng, std::size_t count) {
  std::vector<std::uint8_t> v(count);
  std::uniform_int_distribution<int> byte(0, 255);
  for (auto& b : v) b = static_cast<std::uint8_t>(byte(rng));
  return v;
}

std::vector<std::uint8_t> run(const RgbRows& src, std::uint32_t w, std::uint32_t h, Kernel k) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(w) * h * 3, 0xAB);
  EXPECT_TRUE(resample_rgb_into(src, w, h, out.data(), k));
  return out;
}

std::vector<Kernel> vector_kernels() {
  std::vector<Kernel> kernels;
  if (kernel_supported(Kernel::kAvx2)) kernels.push_back(Kernel::kAvx2);
  return kernels;
}

void expect_paths_agree(const RgbRows& src, std::uint32_t w, std::uint32_t h) {
  auto expected = run(src, w, h, Kernel::kScalar);
  for (Kernel k : vector_kernels()) {
    auto got = run(src, w, h, k);
    ASSERT_EQ(got, expected) << "source " << src.width << "x" << src.height << " to " << w
                             << "x" << h << " kernel " << static_cast<int>(k);
  }
}

TEST(ResamplePaths, AgreeOnRandomShapes) {
  if (vector_kernels().empty()) GTEST_SKIP() << "no vector path on this processor";
  std::mt19937 rng(1234);
  std::uniform_int_distribution<std::uint32_t> dim(1, 90);
  for (int trial = 0; trial < 400; ++trial) {
    std::uint32_t sw = dim(rng), sh = dim(rng), w = dim(rng), h = dim(rng);
    auto pixels = random_pixels(rng, static_cast<std::size_t>(sw) * sh * 3);
    expect_paths_agree({pixels.data(), static_cast<std::ptrdiff_t>(sw) * 3, sw, sh}, w, h);
  }
}

TEST(ResamplePaths, AgreeOnLargeAndSkewedShapes) {
  if (vector_kernels().empty()) GTEST_SKIP() << "no vector path on this processor";
  std::mt19937 rng(99);
  struct Case {
    std::uint32_t sw, sh, w, h;
  };
  // Wide rows (several bands, full register blocks), tall columns, extreme
  // ratios both ways (a band reading thousands of source rows takes the
  // untiled route), and one-pixel axes.
  for (Case c : {Case{640, 360, 224, 224}, Case{21, 3000, 9, 2}, Case{5, 2000, 4, 3}, Case{120, 90, 511, 383}, Case{1, 300, 37, 5},
                 Case{700, 1, 3, 41}, Case{257, 129, 1, 1}, Case{3, 2, 400, 300},
                 Case{333, 77, 333, 140}, Case{64, 64, 64, 65}}) {
    auto pixels = random_pixels(rng, static_cast<std::size_t>(c.sw) * c.sh * 3);
    expect_paths_agree({pixels.data(), static_cast<std::ptrdiff_t>(c.sw) * 3, c.sw, c.sh}, c.w,
                       c.h);
  }
}

TEST(ResamplePaths, AgreeOnNegativeAndZeroRowStrides) {
  if (vector_kernels().empty()) GTEST_SKIP() << "no vector path on this processor";
  std::mt19937 rng(7);
  std::uint32_t sw = 45, sh = 31;
  auto pixels = random_pixels(rng, static_cast<std::size_t>(sw) * sh * 3);
  std::ptrdiff_t row = static_cast<std::ptrdiff_t>(sw) * 3;
  RgbRows flipped{pixels.data() + (sh - 1) * row, -row, sw, sh};
  expect_paths_agree(flipped, 20, 50);
  RgbRows repeated{pixels.data(), 0, sw, sh};
  expect_paths_agree(repeated, 70, 9);
}

TEST(ResamplePaths, ExtremeSumsClampTheSameWay) {
  if (vector_kernels().empty()) GTEST_SKIP() << "no vector path on this processor";
  // Alternating black and white rows and columns ring hardest, driving sums
  // below 0 and above 255, and through many exact half-way points.
  for (std::uint32_t n : {2u, 3u, 5u, 8u, 17u}) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(n) * n * 3);
    for (std::size_t y = 0; y < n; ++y) {
      for (std::size_t x = 0; x < n; ++x) {
        std::uint8_t v = ((x + y) % 2) ? 255 : 0;
        for (std::size_t c = 0; c < 3; ++c) pixels[(y * n + x) * 3 + c] = v;
      }
    }
    RgbRows src{pixels.data(), static_cast<std::ptrdiff_t>(n) * 3, n, n};
    for (std::uint32_t t : {1u, 3u, 7u, 16u, 29u}) expect_paths_agree(src, t, t + 1);
  }
}

TEST(ResamplePlan, OnePlanServesManyThreadsAtOnce) {
  // The frames of a video share one plan across the workers.
  std::mt19937 rng(5);
  const std::uint32_t sw = 97, sh = 61, w = 40, h = 77;
  auto plan = ResizePlan::make(sw, sh, w, h);
  ASSERT_TRUE(plan.ok());
  std::vector<std::vector<std::uint8_t>> frames, expected, got(8);
  for (int i = 0; i < 8; ++i) {
    frames.push_back(random_pixels(rng, static_cast<std::size_t>(sw) * sh * 3));
    RgbRows rows{frames.back().data(), static_cast<std::ptrdiff_t>(sw) * 3, sw, sh};
    expected.push_back(run(rows, w, h, Kernel::kScalar));
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      RgbRows rows{frames[i].data(), static_cast<std::ptrdiff_t>(sw) * 3, sw, sh};
      got[i].assign(static_cast<std::size_t>(w) * h * 3, 0);
      for (int repeat = 0; repeat < 3; ++repeat) EXPECT_TRUE(plan.value().run(rows, got[i].data()));
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(got[i], expected[i]) << "frame " << i;
}

class AxisWindowsTest : public ::testing::TestWithParam<std::pair<std::uint32_t, std::uint32_t>> {};

TEST_P(AxisWindowsTest, WindowsLieInsideTheSourceAndSumToOne) {
  auto [n_src, n_dst] = GetParam();
  auto windows = AxisWindows::compute(n_src, n_dst);
  ASSERT_TRUE(windows.ok());
  for (std::size_t o = 0; o < n_dst; ++o) {
    SampleWindow w = windows.value()[o];
    ASSERT_GE(w.count, 1u);
    ASSERT_LE(w.left + w.count, n_src);
    double sum = 0;
    for (std::uint64_t k = 0; k < w.count; ++k) sum += w.weights[k];
    EXPECT_NEAR(sum, 1.0, 1e-5) << "position " << o;
  }
}

INSTANTIATE_TEST_SUITE_P(Ratios, AxisWindowsTest,
                         ::testing::Values(std::make_pair(2u, 4u), std::make_pair(4u, 2u),
                                           std::make_pair(1u, 9u), std::make_pair(1080u, 224u),
                                           std::make_pair(240u, 960u), std::make_pair(7u, 7u),
                                           std::make_pair(1000u, 1u)));

TEST(Lanczos3Weight, VanishesOutsideTheSupportAndPeaksAtZero) {
  EXPECT_EQ(lanczos3_weight(0.0f), 1.0f);
  EXPECT_EQ(lanczos3_weight(3.0f), 0.0f);
  EXPECT_EQ(lanczos3_weight(-3.0f), 0.0f);
  EXPECT_EQ(lanczos3_weight(NAN), 0.0f);
  EXPECT_EQ(lanczos3_weight(1.5f), lanczos3_weight(-1.5f));
  EXPECT_LT(lanczos3_weight(1.5f), 0.0f);  // first negative lobe
  EXPECT_GT(lanczos3_weight(2.5f), 0.0f);  // second positive lobe
}

}  // namespace
}  // namespace batchaugmentor::resampling
