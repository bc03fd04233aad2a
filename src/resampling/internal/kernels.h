// Pieces shared by the resampling paths; not part of the public contract.
//
// Each instruction-set path is one source file (resample_<name>.cpp) that
// instantiates the banded schedule of banded.h over its vector operations and
// exports the two functions below; the table in resample.cpp lists them.
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

bool run_scalar(const RgbRows& source, const AxisWindows& vertical, const AxisWindows& horizontal,
                std::uint32_t width, std::uint32_t row_begin, std::uint32_t row_end,
                std::uint8_t* dst);

#if defined(__x86_64__) || defined(__i386__)
bool avx2_supported();
bool run_avx2(const RgbRows& source, const AxisWindows& vertical, const AxisWindows& horizontal,
              std::uint32_t width, std::uint32_t row_begin, std::uint32_t row_end,
              std::uint8_t* dst);
#endif

}  // namespace batchaugmentor::resampling::internal
