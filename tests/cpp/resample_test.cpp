// Every instruction-set path of the resampling kernel must give the bytes of
// the plain two-pass definition exactly; these cases sweep the shapes where
// the schedule switches (tile and band edges, short bands, spill slots, the
// untiled route of extreme shrinks). A path the processor lacks is skipped
// and named, never passed silently.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "resampling/internal/kernels.h"
#include "resampling/resample.h"

namespace batchaugmentor::resampling {
namespace {

std::vector<std::uint8_t> random_pixels(std::mt19937& rng, std::size_t count) {
  std::vector<std::uint8_t> v(count);
  std::uniform_int_distribution<int> byte(0, 255);
  for (auto& b : v) b = static_cast<std::uint8_t>(byte(rng));
  return v;
}

std::vector<std::uint8_t> run(const RgbRows& src, std::uint32_t w, std::uint32_t h,
                              const KernelPath& k) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(w) * h * 3, 0xAB);
  EXPECT_TRUE(resample_rgb(src, w, h, out.data(), k).ok());
  return out;
}

std::vector<std::uint8_t> reference(const RgbRows& src, std::uint32_t w, std::uint32_t h) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(w) * h * 3, 0xCD);
  EXPECT_TRUE(internal::resample_reference(src, w, h, out.data()).ok());
  return out;
}

void expect_paths_agree(const RgbRows& src, std::uint32_t w, std::uint32_t h) {
  auto expected = reference(src, w, h);
  for (const KernelPath& k : kernel_paths()) {
    if (!k.supported()) continue;
    auto got = run(src, w, h, k);
    ASSERT_EQ(got, expected) << "source " << src.width << "x" << src.height << " to " << w
                             << "x" << h << " path " << k.name;
  }
}

// One test instance per path, so that a path this processor lacks shows up
// as skipped.
class EveryPath : public ::testing::TestWithParam<std::string> {
 protected:
  const KernelPath& path() {
    const KernelPath* k = find_kernel(GetParam());
    EXPECT_NE(k, nullptr);
    return *k;
  }
  // Random pixels of sw x sh resized on this path give the definition's bytes.
  void expect_definition(std::mt19937& rng, std::uint32_t sw, std::uint32_t sh, std::uint32_t w,
                         std::uint32_t h) {
    auto pixels = random_pixels(rng, static_cast<std::size_t>(sw) * sh * 3);
    RgbRows src{pixels.data(), static_cast<std::ptrdiff_t>(sw) * 3, sw, sh};
    ASSERT_EQ(run(src, w, h, path()), reference(src, w, h))
        << "source " << sw << "x" << sh << " to " << w << "x" << h;
  }
  void SetUp() override {
    const KernelPath* k = find_kernel(GetParam());
    ASSERT_NE(k, nullptr);
    if (!k->supported()) GTEST_SKIP() << "this processor lacks " << k->name;
  }
};

std::vector<std::string> path_names() {
  std::vector<std::string> names;
  for (const KernelPath& k : kernel_paths()) names.emplace_back(k.name);
  return names;
}

TEST_P(EveryPath, MatchesTheDefinitionOnRandomShapes) {
  std::mt19937 rng(4321);
  std::uniform_int_distribution<std::uint32_t> dim(1, 140);
  for (int trial = 0; trial < 120; ++trial) {
    std::uint32_t sw = dim(rng), sh = dim(rng), w = dim(rng), h = dim(rng);
    ASSERT_NO_FATAL_FAILURE(expect_definition(rng, sw, sh, w, h));
  }
}

TEST_P(EveryPath, MatchesTheDefinitionOnWideRows) {
  // Rows wide enough that a band holds only 8 output rows, where windows are
  // combined two at a time, with neighbours of unequal tap counts.
  std::mt19937 rng(2468);
  std::uniform_int_distribution<std::uint32_t> small(1, 60);
  for (std::uint32_t sw : {1400u, 1537u, 2050u}) {
    const std::uint32_t sh = small(rng) + 20, w = small(rng) * 7, h = small(rng);
    ASSERT_NO_FATAL_FAILURE(expect_definition(rng, sw, sh, w, h));
  }
}

TEST_P(EveryPath, RowRangesGiveTheBytesOfAWholeRun) {
  // A large image is split into row ranges made on different threads.
  std::mt19937 rng(11);
  const std::uint32_t sw = 150, sh = 310, w = 61, h = 97;
  auto pixels = random_pixels(rng, static_cast<std::size_t>(sw) * sh * 3);
  RgbRows src{pixels.data(), static_cast<std::ptrdiff_t>(sw) * 3, sw, sh};
  auto plan = ResizePlan::make(sw, sh, w, h);
  ASSERT_TRUE(plan.ok());
  auto whole = run(src, w, h, path());
  for (std::uint32_t cut : {1u, 7u, 8u, 33u, 50u, 96u}) {
    std::vector<std::uint8_t> pieces(whole.size(), 0xAB);
    ASSERT_TRUE(plan.value().run_rows(src, pieces.data(), path(), cut, h).ok());
    ASSERT_TRUE(plan.value().run_rows(src, pieces.data(), path(), 0, cut).ok());
    EXPECT_EQ(pieces, whole) << "cut at row " << cut;
  }
  std::vector<std::uint8_t> untouched(whole.size(), 0xAB);
  ASSERT_TRUE(plan.value().run_rows(src, untouched.data(), path(), 40, 40).ok());
  EXPECT_EQ(untouched, std::vector<std::uint8_t>(whole.size(), 0xAB));
}

INSTANTIATE_TEST_SUITE_P(Paths, EveryPath, ::testing::ValuesIn(path_names()),
                         [](const auto& info) { return info.param; });

TEST(KernelTable, NamesArePathsAndTheFirstRunsEverywhere) {
  auto paths = kernel_paths();
  ASSERT_FALSE(paths.empty());
  EXPECT_STREQ(paths[0].name, "scalar");
  EXPECT_TRUE(paths[0].supported());
  for (const KernelPath& k : paths) EXPECT_EQ(find_kernel(k.name), &k);
  EXPECT_EQ(find_kernel("AVX2"), nullptr);  // names are exact
  EXPECT_EQ(find_kernel(""), nullptr);
  EXPECT_EQ(find_kernel("neon512"), nullptr);
  EXPECT_TRUE(selected_kernel().supported());
}

TEST(ResamplePaths, AgreeOnRandomShapes) {
  std::mt19937 rng(1234);
  std::uniform_int_distribution<std::uint32_t> dim(1, 90);
  for (int trial = 0; trial < 400; ++trial) {
    std::uint32_t sw = dim(rng), sh = dim(rng), w = dim(rng), h = dim(rng);
    auto pixels = random_pixels(rng, static_cast<std::size_t>(sw) * sh * 3);
    expect_paths_agree({pixels.data(), static_cast<std::ptrdiff_t>(sw) * 3, sw, sh}, w, h);
  }
}

TEST(ResamplePaths, AgreeOnLargeAndSkewedShapes) {
  std::mt19937 rng(99);
  struct Case {
    std::uint32_t sw, sh, w, h;
  };
  // Wide rows (several bands, full register blocks), tall columns, extreme
  // ratios both ways (a band reading thousands of source rows takes the
  // untiled route), and one-pixel axes.
  for (Case c : {Case{640, 360, 224, 224}, Case{21, 3000, 9, 2}, Case{40, 3000, 9, 2}, Case{70, 2900, 33, 1}, Case{5, 2000, 4, 3}, Case{120, 90, 511, 383}, Case{1, 300, 37, 5},
                 Case{700, 1, 3, 41}, Case{257, 129, 1, 1}, Case{3, 2, 400, 300},
                 Case{333, 77, 333, 140}, Case{64, 64, 64, 65}}) {
    auto pixels = random_pixels(rng, static_cast<std::size_t>(c.sw) * c.sh * 3);
    expect_paths_agree({pixels.data(), static_cast<std::ptrdiff_t>(c.sw) * 3, c.sw, c.sh}, c.w,
                       c.h);
  }
}

TEST(ResamplePaths, AgreeOnNegativeAndZeroRowStrides) {
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
    expected.push_back(reference(rows, w, h));
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      RgbRows rows{frames[i].data(), static_cast<std::ptrdiff_t>(sw) * 3, sw, sh};
      got[i].assign(static_cast<std::size_t>(w) * h * 3, 0);
      for (int repeat = 0; repeat < 3; ++repeat) EXPECT_TRUE(plan.value().run(rows, got[i].data()).ok());
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
    // Zero-weight edge taps are left out; one tap always stays.
    if (w.count > 1) {
      EXPECT_NE(w.weights[0], 0.0f) << "position " << o;
      EXPECT_NE(w.weights[w.count - 1], 0.0f) << "position " << o;
    }
  }
}

TEST(AxisWindows, AnEnlargeLeavesOutItsZeroTaps) {
  // Every 4x window spans seven samples, one of them 3 or more filter units
  // from the centre: six taps are left (away from the clamped edges).
  auto windows = AxisWindows::compute(240, 960);
  ASSERT_TRUE(windows.ok());
  for (std::size_t o = 12; o < 948; ++o) EXPECT_EQ(windows.value()[o].count, 6u) << "position " << o;
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
