// Byte shuffles that turn runs of pixels of the common layouts into packed
// R G B, shared by the gathers and the resampling kernel's AVX2 path (which
// converts the registers to floats without a round trip through memory: a
// load spanning two overlapping stores cannot be forwarded and stalls).
// Only files built for SSSE3 or wider see them.
#pragma once

#if defined(__SSSE3__)

#include <immintrin.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace batchaugmentor::pixels::internal::x86 {

using V = __m128i;

// pshufb masks: byte j of a result takes byte m[j] of the source, or zero
// where m[j] has its top bit set.
using Mask = std::array<std::int8_t, 16>;

inline V load(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const V*>(p)); }
inline void store(std::uint8_t* p, V v) { _mm_storeu_si128(reinterpret_cast<V*>(p), v); }
inline V mask(const Mask& m) { return _mm_loadu_si128(reinterpret_cast<const V*>(m.data())); }

// Three planes of sixteen samples each into 48 packed bytes: output byte
// 16k + j is sample (16k + j) % 3 of pixel (16k + j) / 3.
constexpr Mask interleave_mask(int k, int c) {
  Mask m{};
  for (int j = 0; j < 16; ++j) {
    const int b = 16 * k + j;
    m[j] = static_cast<std::int8_t>(b % 3 == c ? b / 3 : -128);
  }
  return m;
}

// 48 packed bytes (three vectors) into plane c: byte j of the plane is byte
// 3j + c of the input, which lies in input vector k.
constexpr Mask deinterleave_mask(int k, int c) {
  Mask m{};
  for (int j = 0; j < 16; ++j) {
    const int b = 3 * j + c;
    m[j] = static_cast<std::int8_t>(b / 16 == k ? b % 16 : -128);
  }
  return m;
}

// Reordering within groups of `from` source bytes into 3 output bytes:
// output 3i + c takes source byte from * i + first + step * c.
constexpr Mask regroup_mask(int from, int first, int step, int groups) {
  Mask m{};
  for (int j = 0; j < 16; ++j) m[j] = -128;
  for (int i = 0; i < groups; ++i) {
    for (int c = 0; c < 3; ++c) m[3 * i + c] = static_cast<std::int8_t>(from * i + first + step * c);
  }
  return m;
}

constexpr std::array<std::array<Mask, 3>, 3> kInterleave = {{
    {interleave_mask(0, 0), interleave_mask(0, 1), interleave_mask(0, 2)},
    {interleave_mask(1, 0), interleave_mask(1, 1), interleave_mask(1, 2)},
    {interleave_mask(2, 0), interleave_mask(2, 1), interleave_mask(2, 2)},
}};
constexpr std::array<std::array<Mask, 3>, 3> kDeinterleave = {{
    {deinterleave_mask(0, 0), deinterleave_mask(1, 0), deinterleave_mask(2, 0)},
    {deinterleave_mask(0, 1), deinterleave_mask(1, 1), deinterleave_mask(2, 1)},
    {deinterleave_mask(0, 2), deinterleave_mask(1, 2), deinterleave_mask(2, 2)},
}};
constexpr Mask kReverseTriples = regroup_mask(3, 2, -1, 5);  // B G R -> R G B, five pixels
constexpr Mask kDropFourth = regroup_mask(4, 0, 1, 4);       // R G B A -> R G B, four pixels
constexpr Mask kReverseDropFourth = regroup_mask(4, 2, -1, 4);  // B G R A -> R G B


inline void interleave3(V r, V g, V b, std::uint8_t* out) {
  const V planes[3] = {r, g, b};
  for (int k = 0; k < 3; ++k) {
    V v = _mm_shuffle_epi8(planes[0], mask(kInterleave[k][0]));
    v = _mm_or_si128(v, _mm_shuffle_epi8(planes[1], mask(kInterleave[k][1])));
    v = _mm_or_si128(v, _mm_shuffle_epi8(planes[2], mask(kInterleave[k][2])));
    store(out + 16 * k, v);
  }
}

inline V deinterleave(const V in[3], int c) {
  V v = _mm_shuffle_epi8(in[0], mask(kDeinterleave[c][0]));
  v = _mm_or_si128(v, _mm_shuffle_epi8(in[1], mask(kDeinterleave[c][1])));
  return _mm_or_si128(v, _mm_shuffle_epi8(in[2], mask(kDeinterleave[c][2])));
}

// The kinds of run that run16 turns into packed bytes.
enum class RunKind { kReversed, kSpaced, kSpacedReversed, kPlanar };

// How output byte g (pixel g / 3, channel g % 3) of a run lies relative to
// the run's lowest byte, for the layouts with one interleaved buffer.
constexpr int source_offset(RunKind kind, int g) {
  const int p = g / 3, c = g % 3;
  switch (kind) {
    case RunKind::kReversed: return 3 * p + 2 - c;
    case RunKind::kSpaced: return 4 * p + c;
    default: return 4 * p + 2 - c;  // kSpacedReversed
  }
}

// Output vector k of a run from two loads: one at the lowest byte it needs
// and one ending at the highest, so that both lie within the run's samples.
struct TwoLoads {
  int first, second;  // offsets of the loads from the run's lowest byte
  Mask from_first, from_second;
};

constexpr TwoLoads two_loads(RunKind kind, int k) {
  TwoLoads t{};
  int lo = 1 << 20, hi = -1;
  for (int j = 0; j < 16; ++j) {
    const int o = source_offset(kind, 16 * k + j);
    lo = o < lo ? o : lo;
    hi = o > hi ? o : hi;
  }
  t.first = lo;
  t.second = hi - 15;
  for (int j = 0; j < 16; ++j) {
    const int o = source_offset(kind, 16 * k + j);
    const bool in_first = o - lo < 16;
    t.from_first[j] = static_cast<std::int8_t>(in_first ? o - lo : -128);
    t.from_second[j] = static_cast<std::int8_t>(in_first ? -128 : o - t.second);
  }
  return t;
}

template <RunKind kKind>
inline constexpr std::array<TwoLoads, 3> kTwoLoads = {two_loads(kKind, 0), two_loads(kKind, 1), two_loads(kKind, 2)};

template <RunKind kKind>
inline void interleaved_regs(const std::uint8_t* lowest, V out[3]) {
  for (int k = 0; k < 3; ++k) {
    const TwoLoads& t = kTwoLoads<kKind>[k];
    out[k] = _mm_or_si128(_mm_shuffle_epi8(load(lowest + t.first), mask(t.from_first)),
                          _mm_shuffle_epi8(load(lowest + t.second), mask(t.from_second)));
  }
}

// Sixteen pixels as 48 packed bytes in three registers. red is the address
// of the first pixel's red sample, plane the step between channels of a
// planar run. Every load lies between the run's lowest and highest sample,
// so a run at the very end of a buffer is read safely.
inline void run16(RunKind kind, const std::uint8_t* red, std::ptrdiff_t plane, V out[3]) {
  switch (kind) {
    case RunKind::kReversed: interleaved_regs<RunKind::kReversed>(red - 2, out); break;
    case RunKind::kSpaced: interleaved_regs<RunKind::kSpaced>(red, out); break;
    case RunKind::kSpacedReversed: interleaved_regs<RunKind::kSpacedReversed>(red - 2, out); break;
    case RunKind::kPlanar: {
      const V planes[3] = {load(red), load(red + plane), load(red + 2 * plane)};
      for (int k = 0; k < 3; ++k) {
        V v = _mm_shuffle_epi8(planes[0], mask(kInterleave[k][0]));
        v = _mm_or_si128(v, _mm_shuffle_epi8(planes[1], mask(kInterleave[k][1])));
        out[k] = _mm_or_si128(v, _mm_shuffle_epi8(planes[2], mask(kInterleave[k][2])));
      }
      break;
    }
  }
}

}  // namespace batchaugmentor::pixels::internal::x86

#endif
