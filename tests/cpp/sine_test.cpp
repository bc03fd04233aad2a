// The filter's sine against a wider reference: (float)sinl(x), wherever the
// wider value is far enough from a single-precision half-way point for that
// rounding to be the correct one. A sample of the range runs always;
// BA_SINE_EXHAUSTIVE=1 checks every float in [0, 16] (about a minute on x86).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "resampling/internal/sine.h"

namespace batchaugmentor::resampling {
namespace {

float from_bits(std::uint32_t b) {
  float f;
  std::memcpy(&f, &b, sizeof f);
  return f;
}

// True when `wide` decides the correctly rounded float: it lies well away
// from the half-way points on either side of its nearest float.
bool decides(long double wide, float nearest) {
  long double up = std::nextafter(nearest, INFINITY);
  long double down = std::nextafter(nearest, -INFINITY);
  long double margin = std::fabs(wide) * 0x1p-58L;
  long double mid_up = (static_cast<long double>(nearest) + up) / 2;
  long double mid_down = (static_cast<long double>(nearest) + down) / 2;
  return std::fabs(wide - mid_up) > margin && std::fabs(wide - mid_down) > margin;
}

void check_range(std::uint32_t stride, int* undecided, int* wrong) {
  const std::uint32_t last = 0x41800000;  // 16.0f
  for (std::uint64_t b = 0; b <= last; b += stride) {
    float x = from_bits(static_cast<std::uint32_t>(b));
    long double wide = std::sin(static_cast<long double>(x));
    float expected = static_cast<float>(wide);
    if (!decides(wide, expected)) {
      ++*undecided;
      continue;
    }
    float got = sine(x);
    if (std::memcmp(&got, &expected, sizeof got) != 0) {
      if (++*wrong <= 5) ADD_FAILURE() << "sine(" << x << ") = " << got << ", expected " << expected;
    }
    float neg = sine(-x);
    EXPECT_EQ(neg, -got);
  }
}

TEST(Sine, CorrectlyRoundedOnASampleOfTheRange) {
  if (sizeof(long double) <= sizeof(double)) GTEST_SKIP() << "no wider floating type here";
  int undecided = 0, wrong = 0;
  const char* exhaustive = std::getenv("BA_SINE_EXHAUSTIVE");
  check_range(exhaustive && std::strcmp(exhaustive, "1") == 0 ? 1 : 4099, &undecided, &wrong);
  EXPECT_EQ(wrong, 0);
  EXPECT_LT(undecided, 4);
}

TEST(Sine, KnownValues) {
  EXPECT_EQ(sine(0.0f), 0.0f);
  EXPECT_TRUE(std::signbit(sine(-0.0f)));
  // sin of the float nearest to pi is pi minus that float, about -8.74e-8.
  EXPECT_EQ(sine(3.14159274f), -8.74227766e-08f);
  EXPECT_EQ(sine(1.57079637f), 1.0f);
  EXPECT_TRUE(std::isnan(sine(16.5f)));
  EXPECT_TRUE(std::isnan(sine(NAN)));
  EXPECT_TRUE(std::isnan(sine(INFINITY)));
}

}  // namespace
}  // namespace batchaugmentor::resampling
