// The running sum over runs of three planes, by instruction set: each takes
// the sum so far and adds n pixels' luminances in order, the same doubles
// on every path.
#pragma once

#include <cstddef>
#include <cstdint>

namespace batchaugmentor::luminance::internal {

using PlaneRun = double (*)(double sum, const std::uint8_t* r, const std::uint8_t* g, const std::uint8_t* b,
                            std::size_t n);

#if defined(__x86_64__) || defined(__i386__)
// Defined in luminance_avx2.cpp; run only where the processor has AVX2.
double avx2_plane_run(double sum, const std::uint8_t* r, const std::uint8_t* g, const std::uint8_t* b,
                      std::size_t n);
#endif

}  // namespace batchaugmentor::luminance::internal
