// The AVX2 path: the shared schedule eight samples per instruction. Built
// with -mavx2 only (never FMA, which would change the rounding) and run only
// where the processor has AVX2.
#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "pixels/internal/runs_x86.h"
#include "platform/cpu.h"
#include "resampling/internal/banded.h"
#include "resampling/internal/kernels.h"

namespace batchaugmentor::resampling::internal {
namespace {

struct Avx2Ops {
  static constexpr std::size_t kLanes = 8;
  using F = __m256;

  // Sixteen pixels of a run that is not packed, converted to 48 floats at
  // out: a few shuffles for the layouts users hand over most.
  static bool gather16(const std::uint8_t* red, std::ptrdiff_t pixel_stride, std::ptrdiff_t channel_stride,
                       float* out) {
    using pixels::internal::x86::RunKind;
    RunKind kind;
    if (pixel_stride == 3 && channel_stride == -1) {
      kind = RunKind::kReversed;
    } else if (pixel_stride == 4 && channel_stride == 1) {
      kind = RunKind::kSpaced;
    } else if (pixel_stride == 4 && channel_stride == -1) {
      kind = RunKind::kSpacedReversed;
    } else if (pixel_stride == 1) {
      kind = RunKind::kPlanar;
    } else {
      return false;
    }
    __m128i bytes[3];
    pixels::internal::x86::run16(kind, red, channel_stride, bytes);
    for (int k = 0; k < 3; ++k) {
      store(out + 16 * k, _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes[k])));
      store(out + 16 * k + 8, _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(bytes[k], 8))));
    }
    return true;
  }

  // In-lane shuffle of four-byte pixels: byte 4c + i of each half takes
  // channel c of the half's pixel i (channel c at byte c of a pixel, or
  // 2 - c when reversed), read `shift` bytes further on; the last four take
  // nothing.
  static constexpr std::array<std::int8_t, 32> spaced_mask(bool reversed, int shift) {
    std::array<std::int8_t, 32> m{};
    for (int j = 0; j < 32; ++j) {
      const int c = j % 16 / 4, pixel = j % 4;
      m[j] = static_cast<std::int8_t>(j % 16 < 12 ? 4 * pixel + (reversed ? 2 - c : c) + shift : -128);
    }
    return m;
  }

  // Sixteen pixels of four bytes (R G B A, or B G R A when reversed), from
  // the first pixel's lowest byte, to 48 floats in planar tile order: per
  // eight pixels one load, one in-lane shuffle that gathers each channel's
  // four bytes of a half, one permute that joins the halves' runs into
  // eight reds, eight greens and eight blues, and then the conversions of
  // packed bytes. The second eight are loaded from one byte earlier, so
  // that no load reaches past the last pixel's last wanted sample. Each
  // conversion's eight bytes lie within one of the two stores, so they are
  // forwarded from it.
  template <bool kReversed>
  static void spaced16(const std::uint8_t* lowest, float* out) {
    static constexpr std::array<std::int8_t, 32> kMasks[2] = {spaced_mask(kReversed, 0), spaced_mask(kReversed, 1)};
    const __m256i join = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    alignas(64) std::uint8_t runs[64];  // one line: no store is split
    for (int half = 0; half < 2; ++half) {
      const __m256i mask = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kMasks[half].data()));
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lowest + 32 * half - half));
      const __m256i channels = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(v, mask), join);
      _mm256_store_si256(reinterpret_cast<__m256i*>(runs + 32 * half), channels);
    }
    // Read back from memory: left to itself the compiler keeps the runs in
    // registers and moves each into place with a shuffle, where a load
    // that converts as it reads costs none.
    asm volatile("" : : "r"(runs) : "memory");
    for (int k = 0; k < 6; ++k) store(out + 8 * k, load(runs + 32 * (k / 3) + 8 * (k % 3)));
  }

  static F load(const float* p) { return _mm256_loadu_ps(p); }
  static F load(const std::uint8_t* p) {
    __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(b));
  }
  static void store(float* p, F a) { _mm256_storeu_ps(p, a); }
  static F splat(float w) { return _mm256_set1_ps(w); }
  static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static F add(F a, F b) { return _mm256_add_ps(a, b); }

  // Eight pixels (three vectors of samples, packed or reversed) to eight
  // columns, sixteen bytes each: a pixel's three sums and one more finite
  // sum, which the next row's own store overwrites or which lands in a
  // column's spare slot.
  template <bool kReversed>
  static void pixels8(F a0, F a1, F a2, float* column, std::size_t stride) {
    // Pixels 0, 1 from floats 0-7 and pixels 2, 3 from floats 4-11 (the
    // same again for 4-7): the lanes of each pixel's red, green and blue.
    const __m256i first = kReversed ? _mm256_setr_epi32(2, 1, 0, 0, 5, 4, 3, 3) : _mm256_setr_epi32(0, 1, 2, 3, 3, 4, 5, 6);
    const __m256i last = kReversed ? _mm256_setr_epi32(4, 3, 2, 2, 7, 6, 5, 5) : _mm256_setr_epi32(2, 3, 4, 5, 5, 6, 7, 7);
    const F p01 = _mm256_permutevar8x32_ps(a0, first);
    const F p23 = _mm256_permutevar8x32_ps(_mm256_permute2f128_ps(a0, a1, 0x21), last);
    const F p45 = _mm256_permutevar8x32_ps(_mm256_permute2f128_ps(a1, a2, 0x21), first);
    const F p67 = _mm256_permutevar8x32_ps(a2, last);
    const F pairs[4] = {p01, p23, p45, p67};
    for (std::size_t i = 0; i < 4; ++i) {
      _mm_storeu_ps(column + 2 * i * stride, _mm256_castps256_ps128(pairs[i]));
      _mm_storeu_ps(column + (2 * i + 1) * stride, _mm256_extractf128_ps(pairs[i], 1));
    }
  }

  // The same from eight reds, eight greens and eight blues: pixel i's
  // sixteen bytes are its three sums and its blue once more.
  static void planes8(F r, F g, F b, float* column, std::size_t stride) {
    const F rg_low = _mm256_unpacklo_ps(r, g);   // r0 g0 r1 g1 | r4 g4 r5 g5
    const F rg_high = _mm256_unpackhi_ps(r, g);  // r2 g2 r3 g3 | r6 g6 r7 g7
    const F b_low = _mm256_unpacklo_ps(b, b);    // b0 b0 b1 b1 | b4 b4 b5 b5
    const F b_high = _mm256_unpackhi_ps(b, b);   // b2 b2 b3 b3 | b6 b6 b7 b7
    const F pixels[4] = {_mm256_shuffle_ps(rg_low, b_low, 0x44), _mm256_shuffle_ps(rg_low, b_low, 0xEE),
                         _mm256_shuffle_ps(rg_high, b_high, 0x44), _mm256_shuffle_ps(rg_high, b_high, 0xEE)};
    for (std::size_t i = 0; i < 4; ++i) {
      _mm_storeu_ps(column + i * stride, _mm256_castps256_ps128(pixels[i]));
      _mm_storeu_ps(column + (i + 4) * stride, _mm256_extractf128_ps(pixels[i], 1));
    }
  }

  template <std::size_t V, TileOrder kOrder>
  static void to_columns(const F* v, float* column, std::size_t stride) {
    static_assert(V % 3 == 0);
    for (std::size_t i = 0; i < V; i += 3) {
      float* eight = column + i / 3 * 8 * stride;
      if constexpr (kOrder == TileOrder::kPlanar) {
        planes8(v[i], v[i + 1], v[i + 2], eight, stride);
      } else {
        pixels8<kOrder == TileOrder::kReversed>(v[i], v[i + 1], v[i + 2], eight, stride);
      }
    }
  }

  // to_byte() of eight sums as 32-bit integers, saturated to bytes by the
  // unsigned packs that follow. Rounding half away from zero is truncation
  // after adding the float just below 0.5: that sum reaches the next integer
  // exactly when the fraction is 0.5 or more (checked against roundf for
  // every float in [0, 255]). Below 0.5 the truncation is 0 or negative and
  // packs to 0; NaN and -inf convert to INT_MIN and pack to 0 as well; the
  // min with 255 (255 first, so that NaN passes through) keeps +inf and huge
  // sums from converting to INT_MIN.
  static __m256i byte_values(F v) {
    v = _mm256_min_ps(_mm256_set1_ps(255.0f), v);
    return _mm256_cvttps_epi32(_mm256_add_ps(v, _mm256_set1_ps(0.49999997f)));
  }

  // Thirty-two bytes: the packs work within 128-bit halves, leaving groups of
  // four in the order a0 b0 c0 d0 a1 b1 c1 d1; one permute restores it.
  static void bytes32(F a, F b, F c, F d, std::uint8_t* out) {
    __m256i ab = _mm256_packus_epi32(byte_values(a), byte_values(b));
    __m256i cd = _mm256_packus_epi32(byte_values(c), byte_values(d));
    __m256i bytes = _mm256_packus_epi16(ab, cd);
    bytes = _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
  }

  static void bytes8(F a, std::uint8_t* out) {
    __m256i t = byte_values(a);
    __m128i words = _mm_packus_epi32(_mm256_castsi256_si128(t), _mm256_extracti128_si256(t, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(words, words));
  }

  template <std::size_t V>
  static void to_bytes(const F* v, std::uint8_t* out) {
    std::size_t i = 0;
    for (; i + 4 <= V; i += 4) bytes32(v[i], v[i + 1], v[i + 2], v[i + 3], out + i * kLanes);
    for (; i < V; ++i) bytes8(v[i], out + i * kLanes);
  }

  // Eight rows' pixels of one column (24 bytes) as eight 32-bit lanes, a
  // pixel's three bytes in the low three of its lane.
  static __m256 column_pixels(const std::uint8_t* p) {
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,  //
                                            0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m256i v = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(p + 12),
                                          reinterpret_cast<const __m128i*>(p));
    return _mm256_castsi256_ps(_mm256_shuffle_epi8(v, spread));
  }

  // Eight vectors of eight 32-bit lanes transposed in place.
  static void transpose8(F* r) {
    F t[8], s[8];
    for (std::size_t i = 0; i < 8; i += 2) {
      t[i] = _mm256_unpacklo_ps(r[i], r[i + 1]);
      t[i + 1] = _mm256_unpackhi_ps(r[i], r[i + 1]);
    }
    for (std::size_t i = 0; i < 8; i += 4) {
      s[i] = _mm256_shuffle_ps(t[i], t[i + 2], 0x44);
      s[i + 1] = _mm256_shuffle_ps(t[i], t[i + 2], 0xEE);
      s[i + 2] = _mm256_shuffle_ps(t[i + 1], t[i + 3], 0x44);
      s[i + 3] = _mm256_shuffle_ps(t[i + 1], t[i + 3], 0xEE);
    }
    for (std::size_t i = 0; i < 4; ++i) {
      r[i] = _mm256_permute2f128_ps(s[i], s[i + 4], 0x20);
      r[i + 4] = _mm256_permute2f128_ps(s[i], s[i + 4], 0x31);
    }
  }

  // Eight pixels of 32-bit lanes to their 24 bytes, in the low 24 bytes.
  static __m256i pack_pixels(F v) {
    const __m256i squeeze = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                             0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i t = _mm256_shuffle_epi8(_mm256_castps_si256(v), squeeze);
    return _mm256_permutevar8x32_epi32(t, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
  }

  // The byte tile to output rows, eight rows at a time: each column's 24
  // bytes spread to one pixel per lane, two 8 x 8 transposes, and each row
  // packed back to bytes. Reads up to 4 bytes past the tile's last column.
  static constexpr std::size_t kGroup = 16;
  static void columns_to_rows(const std::uint8_t* tile, std::size_t samples, std::size_t rows,
                              std::uint8_t* out, std::size_t out_row) {
    for (std::size_t j0 = 0; j0 < rows; j0 += 8) {
      F left[8], right[8];
      for (std::size_t g = 0; g < 8; ++g) {
        left[g] = column_pixels(tile + g * samples + j0 * 3);
        right[g] = column_pixels(tile + (g + 8) * samples + j0 * 3);
      }
      transpose8(left);
      transpose8(right);
      const std::size_t n = rows - j0 < 8 ? rows - j0 : 8;
      for (std::size_t j = 0; j < n; ++j) {
        std::uint8_t* o = out + (j0 + j) * out_row;
        const __m256i a = pack_pixels(left[j]);
        const __m256i b = pack_pixels(right[j]);
        // a's last 8 bytes are filler; b's first 16 overwrite them.
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), a);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 24), _mm256_castsi256_si128(b));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 40), _mm256_extracti128_si256(b, 1));
      }
    }
  }
};

}  // namespace

bool avx2_supported() { return platform::cpu_runs_avx2(); }

Outcome<> run_avx2(const RgbRows& source, const AxisWindows& vertical, const AxisWindows& horizontal,
                   std::uint32_t width, std::uint32_t row_begin, std::uint32_t row_end,
                   std::uint8_t* dst) {
  return run_banded<Avx2Ops>(source, vertical, horizontal, width, row_begin, row_end, dst);
}

}  // namespace batchaugmentor::resampling::internal

#endif
