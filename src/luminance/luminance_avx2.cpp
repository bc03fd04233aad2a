// The AVX2 sum over planes: four pixels' luminances at a time, each the
// same three products and two additions as one pixel's alone, then added to
// the running sum one by one in pixel order. The one chain of additions
// sets the pace; taking the products and the pixel's own two additions off
// the scalar adders leaves those ports to whatever runs beside the sum (a
// column layout's transposes share them). Built with -mavx2 (never FMA,
// which would round once where two roundings are due).
#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "luminance/internal/plane_sums.h"

namespace batchaugmentor::luminance::internal {
namespace {

__m256d four(const std::uint8_t* p) {
  std::int32_t bytes;
  std::memcpy(&bytes, p, 4);
  return _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(bytes)));
}

}  // namespace

double avx2_plane_run(double sum, const std::uint8_t* r, const std::uint8_t* g, const std::uint8_t* b,
                      std::size_t n) {
  const __m256d wr = _mm256_set1_pd(0.299), wg = _mm256_set1_pd(0.587), wb = _mm256_set1_pd(0.114);
  alignas(32) double lum[16];
  std::size_t x = 0;
  for (; x + 16 <= n; x += 16) {
    if (x % 64 == 0) {
      __builtin_prefetch(r + x + 512);
      __builtin_prefetch(g + x + 512);
      __builtin_prefetch(b + x + 512);
    }
    for (std::size_t q = 0; q < 16; q += 4) {
      const __m256d rg = _mm256_add_pd(_mm256_mul_pd(wr, four(r + x + q)), _mm256_mul_pd(wg, four(g + x + q)));
      _mm256_store_pd(lum + q, _mm256_add_pd(rg, _mm256_mul_pd(wb, four(b + x + q))));
    }
    for (std::size_t i = 0; i < 16; ++i) sum += lum[i];
  }
  for (; x < n; ++x) {
    sum += (0.299 * static_cast<double>(r[x]) + 0.587 * static_cast<double>(g[x])) + 0.114 * static_cast<double>(b[x]);
  }
  return sum;
}

}  // namespace batchaugmentor::luminance::internal

#endif
