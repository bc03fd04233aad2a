#include "resampling/internal/sine.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace batchaugmentor::resampling {
namespace {

// pi/2 split so that k * kPio2Hi is exact for k < 2^20 (kPio2Hi has 33
// significant bits) and kPio2Hi + kPio2Lo is pi/2 to about 2^-86.
constexpr double kPio2Hi = 1.57079632673412561417e+00;
constexpr double kPio2Lo = 6.07710050650619224932e-11;
constexpr double kTwoOverPi = 6.36619772367581382433e-01;

// Taylor coefficients (-1)^n / (2n+1)! and (-1)^n / (2n)!. On |r| <= pi/4 the
// first omitted terms are below 1e-19 relative, far under double rounding.
constexpr double kS[] = {-1.0 / 6, 1.0 / 120, -1.0 / 5040, 1.0 / 362880, -1.0 / 39916800,
                         1.0 / 6227020800.0, -1.0 / 1307674368000.0, 1.0 / 355687428096000.0};
constexpr double kC[] = {-1.0 / 2, 1.0 / 24, -1.0 / 720, 1.0 / 40320, -1.0 / 3628800,
                         1.0 / 479001600.0, -1.0 / 87178291200.0, 1.0 / 20922789888000.0,
                         -1.0 / 6402373705728000.0};

double sin_poly(double r) {
  double z = r * r;
  double p = kS[7];
  for (int i = 6; i >= 0; --i) p = kS[i] + z * p;
  return r + r * (z * p);
}

double cos_poly(double r) {
  double z = r * r;
  double p = kC[8];
  for (int i = 7; i >= 0; --i) p = kC[i] + z * p;
  return 1.0 + z * p;
}

}  // namespace

float sine(float x) {
  double a = std::fabs(static_cast<double>(x));
  if (!(a <= 16.0)) return std::numeric_limits<float>::quiet_NaN();
  // Nearest multiple of pi/2. a - k * kPio2Hi is exact: the product is exact
  // and for k >= 1 the two operands lie within a factor of two of each other.
  auto k = static_cast<std::int32_t>(a * kTwoOverPi + 0.5);
  double kd = static_cast<double>(k);
  double r = (a - kd * kPio2Hi) - kd * kPio2Lo;
  double s;
  switch (k & 3) {
    case 0: s = sin_poly(r); break;
    case 1: s = cos_poly(r); break;
    case 2: s = -sin_poly(r); break;
    default: s = -cos_poly(r); break;
  }
  // The double result is within a few units of 2^-53 (relative) of sin(x);
  // rounding it to single precision is therefore correct unless sin(x) lies
  // that close to a half-way point, which the exhaustive check rules out
  // over the whole range (tests/cpp/sine_test.cpp).
  float f = static_cast<float>(s);
  return std::signbit(x) ? -f : f;
}

}  // namespace batchaugmentor::resampling
