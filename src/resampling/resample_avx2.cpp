// The AVX2 path: the shared schedule eight samples per instruction. Built
// with -mavx2 only (never FMA, which would change the rounding) and run only
// where the processor has AVX2.
#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "resampling/internal/banded.h"
#include "resampling/internal/kernels.h"

namespace batchaugmentor::resampling::internal {
namespace {

struct Avx2Ops {
  static constexpr std::size_t kLanes = 8;
  using F = __m256;

  static F load(const float* p) { return _mm256_loadu_ps(p); }
  static F load(const std::uint8_t* p) {
    __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(b));
  }
  static void store(float* p, F a) { _mm256_storeu_ps(p, a); }
  static F splat(float w) { return _mm256_set1_ps(w); }
  static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static F add(F a, F b) { return _mm256_add_ps(a, b); }

  // to_byte() of eight sums as 32-bit integers: max with 0 first (which also
  // maps NaN to 0), then min with 255, then round half away from zero as
  // truncation after adding the float just below 0.5. That sum rounds up to
  // the next integer exactly when the fraction is 0.5 or more; checked
  // against roundf for every float in [0, 255].
  static __m256i byte_values(F v) {
    v = _mm256_min_ps(_mm256_max_ps(v, _mm256_setzero_ps()), _mm256_set1_ps(255.0f));
    return _mm256_cvttps_epi32(_mm256_add_ps(v, _mm256_set1_ps(0.49999997f)));
  }

  static void to_bytes(const float* in, std::size_t n, std::uint8_t* out) {
    std::size_t i = 0;
    // Thirty-two at a time: the packs work within 128-bit halves, leaving
    // groups of four in the order a0 b0 c0 d0 a1 b1 c1 d1; one permute
    // restores it.
    for (; i + 32 <= n; i += 32) {
      __m256i ab = _mm256_packus_epi32(byte_values(load(in + i)), byte_values(load(in + i + 8)));
      __m256i cd = _mm256_packus_epi32(byte_values(load(in + i + 16)), byte_values(load(in + i + 24)));
      __m256i bytes = _mm256_packus_epi16(ab, cd);
      bytes = _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), bytes);
    }
    for (; i < n; i += 8) {
      __m256i t = byte_values(load(in + i));
      __m128i words = _mm_packus_epi32(_mm256_castsi256_si128(t), _mm256_extracti128_si256(t, 1));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(words, words));
    }
  }
};

}  // namespace

bool avx2_supported() { return __builtin_cpu_supports("avx2"); }

bool run_avx2(const RgbRows& source, const AxisWindows& vertical, const AxisWindows& horizontal,
              std::uint32_t width, std::uint32_t row_begin, std::uint32_t row_end,
              std::uint8_t* dst) {
  return run_banded<Avx2Ops>(source, vertical, horizontal, width, row_begin, row_end, dst);
}

}  // namespace batchaugmentor::resampling::internal

#endif
