// PNG's row filters reversed: a scalar path, the reference, and an SSE2 path
// that is part of every x86-64 processor. Sub, Average and Paeth predict a
// byte from the already unfiltered byte one pixel to the left, so a row is a
// chain a pixel long; SSE2 works on a whole pixel (3 or 4 bytes) per step of
// that chain, and on 16 bytes at a time for Up, which has no chain. All
// arithmetic is on integers, so any order gives the same bytes.
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
// sizes: no byte past the pixel is read or written.
template <std::size_t kBpp>
inline __m128i load_pixel(const std::uint8_t* p) {
  std::uint32_t v = 0;
  std::memcpy(&v, p, kBpp);
  return _mm_cvtsi32_si128(static_cast<int>(v));
}

template <std::size_t kBpp>
inline void store_pixel(std::uint8_t* p, __m128i v) {
  const std::uint32_t bits = static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
  std::memcpy(p, &bits, kBpp);
}

inline __m128i abs16(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }

void up_sse2(const std::uint8_t* src, const std::uint8_t* prior, std::uint8_t* dst, std::size_t size) {
  std::size_t i = 0;
  for (; i + 16 <= size; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(prior + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_add_epi8(x, b));
  }
  for (; i < size; ++i) dst[i] = static_cast<std::uint8_t>(src[i] + prior[i]);
}

// Sub, Average and Paeth for 3- and 4-byte pixels; `size` is a whole number
// of pixels. The first pixel has a = c = 0, which the zeroed start of the
// chain gives without a special case.
template <std::size_t kBpp>
void sub_sse2(const std::uint8_t* src, std::uint8_t* dst, std::size_t size) {
  __m128i a = _mm_setzero_si128();
  for (std::size_t i = 0; i < size; i += kBpp) {
    a = _mm_add_epi8(a, load_pixel<kBpp>(src + i));
    store_pixel<kBpp>(dst + i, a);
  }
}

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

template <std::size_t kBpp>
void paeth_sse2(const std::uint8_t* src, const std::uint8_t* prior, std::uint8_t* dst, std::size_t size) {
  const __m128i zero = _mm_setzero_si128();
  __m128i a = zero;  // 16-bit lanes from here on
  __m128i c = zero;
  for (std::size_t i = 0; i < size; i += kBpp) {
    const __m128i b = _mm_unpacklo_epi8(load_pixel<kBpp>(prior + i), zero);
    const __m128i x = load_pixel<kBpp>(src + i);
    const __m128i p = _mm_sub_epi16(b, c);  // needs no a: off the chain
    const __m128i q = _mm_sub_epi16(a, c);
    const __m128i pa = abs16(p);
    const __m128i pb = abs16(q);
    const __m128i pc = abs16(_mm_add_epi16(p, q));
    const __m128i least = _mm_min_epi16(_mm_min_epi16(pa, pb), pc);
    // a where pa is least; else b where pb is least; else c.
    const __m128i take_a = _mm_cmpeq_epi16(pa, least);
    const __m128i take_b = _mm_andnot_si128(take_a, _mm_cmpeq_epi16(pb, least));
    const __m128i take_c = _mm_andnot_si128(_mm_or_si128(take_a, take_b), _mm_cmpeq_epi16(zero, zero));
    const __m128i guess = _mm_or_si128(_mm_or_si128(_mm_and_si128(take_a, a), _mm_and_si128(take_b, b)),
                                       _mm_and_si128(take_c, c));
    const __m128i pixel = _mm_add_epi8(x, _mm_packus_epi16(guess, guess));
    store_pixel<kBpp>(dst + i, pixel);
    a = _mm_unpacklo_epi8(pixel, zero);
    c = b;
  }
}

template <std::size_t kBpp>
void pixels_sse2(int filter, const std::uint8_t* src, const std::uint8_t* prior, std::uint8_t* dst,
                 std::size_t size) {
  switch (filter) {
    case 1: return sub_sse2<kBpp>(src, dst, size);
    case 3: return average_sse2<kBpp>(src, prior, dst, size);
    default: return paeth_sse2<kBpp>(src, prior, dst, size);
  }
}

void unfilter_sse2(int filter, std::size_t bpp, const std::uint8_t* src, const std::uint8_t* prior,
                   std::uint8_t* dst, std::size_t size) {
  if (filter == 2) return up_sse2(src, prior, dst, size);
  if ((filter == 1 || filter == 3 || filter == 4) && size % bpp == 0) {
    if (bpp == 3) return pixels_sse2<3>(filter, src, prior, dst, size);
    if (bpp == 4) return pixels_sse2<4>(filter, src, prior, dst, size);
  }
  unfilter_scalar(filter, bpp, src, prior, dst, size);
}

#endif  // __SSE2__

constexpr UnfilterPath kPaths[] = {
    {"scalar", unfilter_scalar},
#if defined(__SSE2__)
    {"sse2", unfilter_sse2},
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
