// PNG's row filters reversed: a scalar path, the reference, and an SSE2 path
// (part of every x86-64 processor). Sub, Average and Paeth predict a byte
// from the already unfiltered byte one pixel to the left, so a row is a
// chain. Sub is a sum, which SSE2 takes 16 bytes at a time like Up; Average
// and Paeth are not, and SSE2 works on a whole 3- or 4-byte pixel per link
// of their chain (1- and 2-byte pixels stay scalar). All arithmetic is on
// integers, so every order gives the same bytes.
#include <cstdint>
#include <cstring>
#include <iterator>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "decoding/internal/png_fast.h"
#include "platform/process.h"

namespace batchaugmentor::decoding::internal {
namespace {

// The neighbour of a, b (above) and c (above left) nearest to a + b - c,
// ties going to a, then b.
inline unsigned paeth(unsigned a, unsigned b, unsigned c) {
  const int p = static_cast<int>(b) - static_cast<int>(c);
  const int q = static_cast<int>(a) - static_cast<int>(c);
  const int pa = p < 0 ? -p : p;          // |(a + b - c) - a|
  const int pb = q < 0 ? -q : q;          // |(a + b - c) - b|
  const int pc = p + q < 0 ? -(p + q) : p + q;
  if (pa <= pb && pa <= pc) return a;
  return pb <= pc ? b : c;
}

void unfilter_scalar(int filter, std::size_t bpp, const std::uint8_t* src, const std::uint8_t* prior,
                     std::uint8_t* dst, std::size_t size) {
  const std::size_t lead = bpp < size ? bpp : size;
  switch (filter) {
    case 1:
      for (std::size_t i = 0; i < lead; ++i) dst[i] = src[i];
      for (std::size_t i = bpp; i < size; ++i) dst[i] = static_cast<std::uint8_t>(src[i] + dst[i - bpp]);
      return;
    case 2:
      for (std::size_t i = 0; i < size; ++i) dst[i] = static_cast<std::uint8_t>(src[i] + prior[i]);
      return;
    case 3:
      for (std::size_t i = 0; i < lead; ++i) dst[i] = static_cast<std::uint8_t>(src[i] + (prior[i] >> 1));
      for (std::size_t i = bpp; i < size; ++i) {
        dst[i] = static_cast<std::uint8_t>(src[i] + ((dst[i - bpp] + prior[i]) >> 1));
      }
      return;
    case 4:
      // With nothing to the left (a = c = 0) Paeth picks b.
      for (std::size_t i = 0; i < lead; ++i) dst[i] = static_cast<std::uint8_t>(src[i] + prior[i]);
      for (std::size_t i = bpp; i < size; ++i) {
        dst[i] = static_cast<std::uint8_t>(src[i] + paeth(dst[i - bpp], prior[i], prior[i - bpp]));
      }
      return;
    default:
      if (dst != src) std::memcpy(dst, src, size);
      return;
  }
}

#if defined(__SSE2__)

// One pixel of 3 or 4 bytes in the low lanes; the others are zero. Exact
// sizes, no byte past the pixel read or written, and no trip through memory:
// a 4-byte load of a value just stored as 2 + 1 bytes would stall.
template <std::size_t kBpp>
inline __m128i load_pixel(const std::uint8_t* p) {
  std::uint32_t v = 0;
  if constexpr (kBpp == 4) {
    std::memcpy(&v, p, 4);
  } else {
    std::uint16_t low = 0;
    std::memcpy(&low, p, 2);
    v = low | std::uint32_t{p[2]} << 16;
  }
  return _mm_cvtsi32_si128(static_cast<int>(v));
}

template <std::size_t kBpp>
inline void store_pixel(std::uint8_t* p, __m128i v) {
  const std::uint32_t bits = static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
  if constexpr (kBpp == 4) {
    std::memcpy(p, &bits, 4);
  } else {
    const std::uint16_t low = static_cast<std::uint16_t>(bits);
    std::memcpy(p, &low, 2);
    p[2] = static_cast<std::uint8_t>(bits >> 16);
  }
}

void up_sse2(const std::uint8_t* src, const std::uint8_t* prior, std::uint8_t* dst, std::size_t size) {
  std::size_t i = 0;
  for (; i + 16 <= size; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prior + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_add_epi8(x, b));
  }
  for (; i < size; ++i) dst[i] = static_cast<std::uint8_t>(src[i] + prior[i]);
}

// Sub is a running sum of every bpp-th byte: within 16 bytes it takes
// log2(16 / bpp) shifted adds, once the first bpp bytes have had their left
// neighbours, the last bpp bytes of the block before, added. Blocks need not
// start on a pixel.
template <std::size_t kBpp>
void sub_sse2(const std::uint8_t* src, std::uint8_t* dst, std::size_t size) {
  __m128i last = _mm_setzero_si128();  // the previous block's sums
  std::size_t i = 0;
  for (; i + 16 <= size; i += 16) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    x = _mm_add_epi8(x, _mm_srli_si128(last, 16 - kBpp));
    x = _mm_add_epi8(x, _mm_slli_si128(x, kBpp));
    x = _mm_add_epi8(x, _mm_slli_si128(x, 2 * kBpp));
    if constexpr (kBpp < 4) x = _mm_add_epi8(x, _mm_slli_si128(x, 4 * kBpp));
    if constexpr (kBpp < 2) x = _mm_add_epi8(x, _mm_slli_si128(x, 8 * kBpp));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), x);
    last = x;
  }
  for (; i < size; ++i) dst[i] = static_cast<std::uint8_t>(src[i] + (i >= kBpp ? dst[i - kBpp] : 0));
}

// Average and Paeth for 3- and 4-byte pixels, a pixel a step; `size` is a
// whole number of pixels. The first pixel has a = c = 0, which the zeroed
// start of the chain gives without a special case.
template <std::size_t kBpp>
void average_sse2(const std::uint8_t* src, const std::uint8_t* prior, std::uint8_t* dst, std::size_t size) {
  const __m128i one = _mm_set1_epi8(1);
  __m128i a = _mm_setzero_si128();
  for (std::size_t i = 0; i < size; i += kBpp) {
    const __m128i b = load_pixel<kBpp>(prior + i);
    // floor((a + b) / 2): the rounded-up average less the bit it rounded up.
    const __m128i mean = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
    a = _mm_add_epi8(load_pixel<kBpp>(src + i), mean);
    store_pixel<kBpp>(dst + i, a);
  }
}

// One link of Paeth's chain, on 16-bit lanes: the unfiltered pixel from the
// filtered one `x` and its neighbours. The chain from a to the result is
// kept short: each absolute value is the larger of a difference and its
// negation (all but those with a computed off the chain), and the guess
// starts as a and is replaced by b, then by c, where they are strictly
// nearer.
inline __m128i paeth_link(__m128i a, __m128i b, __m128i c, __m128i x) {
  const __m128i p = _mm_sub_epi16(b, c), minus_p = _mm_sub_epi16(c, b);
  const __m128i q = _mm_sub_epi16(a, c), minus_q = _mm_sub_epi16(c, a);
  const __m128i pa = _mm_max_epi16(p, minus_p);  // |(a + b - c) - a|
  const __m128i pb = _mm_max_epi16(q, minus_q);
  const __m128i pc = _mm_max_epi16(_mm_add_epi16(p, q), _mm_add_epi16(minus_p, minus_q));
  const __m128i b_nearer = _mm_cmpgt_epi16(pa, pb);
  const __m128i c_nearer = _mm_cmpgt_epi16(_mm_min_epi16(pa, pb), pc);
  __m128i guess = _mm_xor_si128(a, _mm_and_si128(_mm_xor_si128(a, b), b_nearer));
  guess = _mm_xor_si128(guess, _mm_and_si128(_mm_xor_si128(guess, c), c_nearer));
  return _mm_and_si128(_mm_add_epi16(x, guess), _mm_set1_epi16(0xff));
}

template <std::size_t kBpp>
inline __m128i load_wide(const std::uint8_t* p) {
  return _mm_unpacklo_epi8(load_pixel<kBpp>(p), _mm_setzero_si128());
}

template <std::size_t kBpp>
inline void store_wide(std::uint8_t* p, __m128i v) {
  store_pixel<kBpp>(p, _mm_packus_epi16(v, v));
}

template <std::size_t kBpp>
void paeth_sse2(const std::uint8_t* src, const std::uint8_t* prior, std::uint8_t* dst, std::size_t size) {
  __m128i a = _mm_setzero_si128();
  __m128i c = a;
  for (std::size_t i = 0; i < size; i += kBpp) {
    const __m128i b = load_wide<kBpp>(prior + i);
    a = paeth_link(a, b, c, load_wide<kBpp>(src + i));
    store_wide<kBpp>(dst + i, a);
    c = b;
  }
}

// Two Paeth rows at once, the second a pixel behind the first: each link of
// one chain waits for the link before it, and two chains side by side keep
// the processor busy in those waits. The second row's neighbours above are
// the first row's results, still in registers.
template <std::size_t kBpp>
void paeth_pair_sse2(const std::uint8_t* src0, const std::uint8_t* src1, const std::uint8_t* prior,
                     std::uint8_t* dst0, std::uint8_t* dst1, std::size_t size) {
  if (size == 0) return;
  __m128i a0 = _mm_setzero_si128(), c0 = a0;  // first row: left, above left
  __m128i a1 = a0, c1 = a0;                   // second row: left, above left
  for (std::size_t i = 0; i < size; i += kBpp) {
    const __m128i b0 = load_wide<kBpp>(prior + i);
    const __m128i r0 = paeth_link(a0, b0, c0, load_wide<kBpp>(src0 + i));
    store_wide<kBpp>(dst0 + i, r0);
    if (i > 0) {
      a1 = paeth_link(a1, a0, c1, load_wide<kBpp>(src1 + i - kBpp));
      store_wide<kBpp>(dst1 + i - kBpp, a1);
      c1 = a0;
    }
    a0 = r0;
    c0 = b0;
  }
  a1 = paeth_link(a1, a0, c1, load_wide<kBpp>(src1 + size - kBpp));
  store_wide<kBpp>(dst1 + size - kBpp, a1);
}

void unfilter_sse2(int filter, std::size_t bpp, const std::uint8_t* src, const std::uint8_t* prior,
                   std::uint8_t* dst, std::size_t size) {
  if (filter == 1) {
    switch (bpp) {
      case 1: return sub_sse2<1>(src, dst, size);
      case 2: return sub_sse2<2>(src, dst, size);
      case 3: return sub_sse2<3>(src, dst, size);
      case 4: return sub_sse2<4>(src, dst, size);
    }
  }
  if (filter == 2) return up_sse2(src, prior, dst, size);
  if ((filter == 3 || filter == 4) && size % bpp == 0 && (bpp == 3 || bpp == 4)) {
    if (filter == 3) return bpp == 3 ? average_sse2<3>(src, prior, dst, size) : average_sse2<4>(src, prior, dst, size);
    return bpp == 3 ? paeth_sse2<3>(src, prior, dst, size) : paeth_sse2<4>(src, prior, dst, size);
  }
  unfilter_scalar(filter, bpp, src, prior, dst, size);
}

void paeth_pair_sse2(std::size_t bpp, const std::uint8_t* src0, const std::uint8_t* src1,
                     const std::uint8_t* prior, std::uint8_t* dst0, std::uint8_t* dst1, std::size_t size) {
  if (size % bpp == 0 && bpp == 3) return paeth_pair_sse2<3>(src0, src1, prior, dst0, dst1, size);
  if (size % bpp == 0 && bpp == 4) return paeth_pair_sse2<4>(src0, src1, prior, dst0, dst1, size);
  unfilter_sse2(4, bpp, src0, prior, dst0, size);
  unfilter_sse2(4, bpp, src1, dst0, dst1, size);
}

#endif  // __SSE2__

void paeth_pair_scalar(std::size_t bpp, const std::uint8_t* src0, const std::uint8_t* src1,
                       const std::uint8_t* prior, std::uint8_t* dst0, std::uint8_t* dst1, std::size_t size) {
  unfilter_scalar(4, bpp, src0, prior, dst0, size);
  unfilter_scalar(4, bpp, src1, dst0, dst1, size);
}

constexpr UnfilterPath kPaths[] = {
    {"scalar", unfilter_scalar, paeth_pair_scalar},
#if defined(__SSE2__)
    {"sse2", unfilter_sse2, paeth_pair_sse2},
#endif
};

const UnfilterPath& read_choice() {
  if (auto forced = platform::get_env("BATCHAUGMENTOR_KERNEL"); forced && *forced == "scalar") return kPaths[0];
  return kPaths[std::size(kPaths) - 1];
}

}  // namespace

std::span<const UnfilterPath> unfilter_paths() { return kPaths; }

const UnfilterPath* find_unfilter(std::string_view name) {
  for (const UnfilterPath& path : kPaths) {
    if (name == path.name) return &path;
  }
  return nullptr;
}

const UnfilterPath& selected_unfilter() {
  static const UnfilterPath& path = read_choice();
  return path;
}

}  // namespace batchaugmentor::decoding::internal
