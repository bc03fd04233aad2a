// Pieces shared by the resampling paths; not part of the public contract.
#pragma once

#include <cmath>
#include <cstdint>

#include "resampling/resample.h"

namespace batchaugmentor::resampling::internal {

// One output byte from an unrounded sum: negative gives 0, otherwise the
// value clamped to 255 and rounded half away from zero. NaN cannot come out
// of valid windows; it gives 0 rather than an undefined conversion.
inline std::uint8_t to_byte(float t) {
  if (!(t > 0.0f)) return 0;
  return static_cast<std::uint8_t>(std::roundf(t < 255.0f ? t : 255.0f));
}

// The banded, transposed path compiled for AVX2. Same contract as
// resample_rgb_into once the empty and same-size cases are out of the way.
bool resample_fused_avx2(const RgbRows& source, const AxisWindows& vertical,
                         const AxisWindows& horizontal, std::uint32_t width,
                         std::uint8_t* dst);

}  // namespace batchaugmentor::resampling::internal
