// The AVX2 build's gathers: byte shuffles that turn a run of pixels into
// packed R G B at once, and 16 x 16 byte transposes for column layouts.
// Built with -mavx2 and run only where the processor has AVX2; the
// instructions used are SSSE3's, which every AVX2 processor has.
#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "pixels/gather.h"
#include "pixels/internal/runs_x86.h"

namespace batchaugmentor::pixels::internal {
namespace {

using namespace x86;


// The unpacks of one register width, for transpose16.
struct Narrow {
  static V lo8(V a, V b) { return _mm_unpacklo_epi8(a, b); }
  static V hi8(V a, V b) { return _mm_unpackhi_epi8(a, b); }
  static V lo16(V a, V b) { return _mm_unpacklo_epi16(a, b); }
  static V hi16(V a, V b) { return _mm_unpackhi_epi16(a, b); }
  static V lo32(V a, V b) { return _mm_unpacklo_epi32(a, b); }
  static V hi32(V a, V b) { return _mm_unpackhi_epi32(a, b); }
  static V lo64(V a, V b) { return _mm_unpacklo_epi64(a, b); }
  static V hi64(V a, V b) { return _mm_unpackhi_epi64(a, b); }
};
struct Wide {
  using W = __m256i;
  static W lo8(W a, W b) { return _mm256_unpacklo_epi8(a, b); }
  static W hi8(W a, W b) { return _mm256_unpackhi_epi8(a, b); }
  static W lo16(W a, W b) { return _mm256_unpacklo_epi16(a, b); }
  static W hi16(W a, W b) { return _mm256_unpackhi_epi16(a, b); }
  static W lo32(W a, W b) { return _mm256_unpacklo_epi32(a, b); }
  static W hi32(W a, W b) { return _mm256_unpackhi_epi32(a, b); }
  static W lo64(W a, W b) { return _mm256_unpacklo_epi64(a, b); }
  static W hi64(W a, W b) { return _mm256_unpackhi_epi64(a, b); }
};

// Sixteen rows of sixteen bytes transposed in place (in each 128-bit half
// of a wider register), by four rounds of interleaving row i with row
// i + 8. Those rounds leave the rows in bit-reversed order, so they are
// taken in bit-reversed order to begin with.
template <class Ops, class T>
[[gnu::always_inline]] inline void transpose16(T r[16]) {
  constexpr int kBitReversed[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
  T a[16], t[16];
  for (int i = 0; i < 16; ++i) a[i] = r[kBitReversed[i]];
  for (int i = 0; i < 8; ++i) {
    t[2 * i] = Ops::lo8(a[i], a[i + 8]);
    t[2 * i + 1] = Ops::hi8(a[i], a[i + 8]);
  }
  for (int i = 0; i < 8; ++i) {
    a[2 * i] = Ops::lo16(t[i], t[i + 8]);
    a[2 * i + 1] = Ops::hi16(t[i], t[i + 8]);
  }
  for (int i = 0; i < 8; ++i) {
    t[2 * i] = Ops::lo32(a[i], a[i + 8]);
    t[2 * i + 1] = Ops::hi32(a[i], a[i + 8]);
  }
  for (int i = 0; i < 8; ++i) {
    r[2 * i] = Ops::lo64(t[i], t[i + 8]);
    r[2 * i + 1] = Ops::hi64(t[i], t[i + 8]);
  }
}

void sample_row(const ImageView& image, std::size_t y, std::size_t x0, std::size_t n, std::uint8_t* out) {
  for (std::size_t x = x0; x < x0 + n; ++x) {
    for (std::size_t c = 0; c < 3; ++c) *out++ = *image_at(image, y, x, c);
  }
}

// A group of `kStep` pixels from one load of 16 bytes starting at the
// group's lowest byte, regrouped by `m`; each store writes 16 bytes, the
// ones past the group's own being rewritten by the next group. So a group
// is taken only while the request holds six pixels from its start: the
// store's spare bytes then land in pixels still to be written, and the
// load's last byte lies before the last of them, inside the view.
template <int kStep>
std::size_t regroup(const std::uint8_t* lowest, std::ptrdiff_t pixel_stride, std::size_t n, V m, std::uint8_t* out) {
  static_assert(3 * kStep <= 16);
  std::size_t done = 0;
  for (; done + 6 <= n; done += kStep) {
    store(out + 3 * done, _mm_shuffle_epi8(load(lowest + static_cast<std::ptrdiff_t>(done) * pixel_stride), m));
  }
  return done;
}

// Where a column tile's rows go: packed R G B rows (row r at
// at[0] + r * stride), or three planes (row r of channel c at at[c] +
// r * stride). Tile functions take it already offset to the tile's corner.
struct TileOut {
  std::uint8_t* at[3];
  std::size_t stride;

  TileOut moved(bool planes, std::size_t r, std::size_t x) const {
    TileOut o = *this;
    for (int c = 0; c < (planes ? 3 : 1); ++c) o.at[c] += r * stride + (planes ? x : 3 * x);
    return o;
  }
};

// Eight four-byte pixels a 256-bit step, each half's four regrouped by m
// as regroup<4> does and the halves' twelve bytes joined by one permute:
// half the instructions of two 128-bit steps. 32 bytes are stored, 24 of
// them this group's, the rest rewritten by the next; a group is taken while
// eleven pixels remain, so that the store ends within the request and the
// load's last byte lies before the next pixel.
std::size_t regroup8(const std::uint8_t* lowest, std::size_t n, const Mask& m, std::uint8_t* out) {
  const __m256i shuffle = _mm256_broadcastsi128_si256(mask(m));
  const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
  std::size_t done = 0;
  for (; done + 11 <= n; done += 8) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lowest + 4 * done));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 3 * done),
                        _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(v, shuffle), join));
  }
  return done;
}

// Column layouts: rows [y0, y0 + 16) of pixels [x0, x0 + 16), where a
// column's samples lie one (s0 == 1) or three (s0 == 3, pixels packed down
// the column) bytes apart.
template <bool kPlanes>
void column_tile(const ImageView& image, std::size_t y0, std::size_t x0, const TileOut& out) {
  V planes[3][16];
  if (image.strides[0] == 1) {
    for (int c = 0; c < 3; ++c) {
      for (int x = 0; x < 16; ++x) planes[c][x] = load(image_at(image, y0, x0 + x, c));
    }
  } else {  // three bytes a row, channels adjacent: sixteen rows are 48 bytes
    for (int x = 0; x < 16; ++x) {
      const std::uint8_t* p = image_at(image, y0, x0 + x, 0);
      const V in[3] = {load(p), load(p + 16), load(p + 32)};
      for (int c = 0; c < 3; ++c) planes[c][x] = deinterleave(in, c);
    }
  }
  for (int c = 0; c < 3; ++c) transpose16<Narrow>(planes[c]);
  for (int r = 0; r < 16; ++r) {
    if constexpr (kPlanes) {
      for (int c = 0; c < 3; ++c) store(out.at[c] + r * out.stride, planes[c][r]);
    } else {
      interleave3(planes[0][r], planes[1][r], planes[2][r], out.at[0] + r * out.stride);
    }
  }
}

// The same for 32 rows, with two tiles side by side in the halves of
// 256-bit registers (rows y0.. in the low half, y0 + 16.. in the high):
// shuffles work within each half, so every shuffle does two tiles' work,
// and shuffles are what bounds the tile.
using W = __m256i;
W wide(const Mask& m) { return _mm256_broadcastsi128_si256(mask(m)); }

// One plane of the tile, transposed in registers: its sixteen rows (and
// the sixteen below them, in the high halves) to the planes' or to staging
// for the interleave. A plane at a time keeps sixteen registers live, not
// forty-eight, most of which the compiler would keep in memory.
template <bool kPlanes>
[[gnu::always_inline]] inline void finish_plane(W rows[16], int c, const TileOut& out, W staged[3][16]) {
  transpose16<Wide>(rows);
  for (int r = 0; r < 16; ++r) {
    if constexpr (kPlanes) {
      store(out.at[c] + r * out.stride, _mm256_castsi256_si128(rows[r]));
      store(out.at[c] + (r + 16) * out.stride, _mm256_extracti128_si256(rows[r], 1));
    } else {
      _mm256_store_si256(&staged[c][r], rows[r]);
    }
  }
}

template <bool kPlanes>
void column_tile32(const ImageView& image, std::size_t y0, std::size_t x0, const TileOut& out) {
  alignas(32) W staged[3][16];
  if (image.strides[0] == 1) {
    for (int c = 0; c < 3; ++c) {
      W rows[16];
      for (int x = 0; x < 16; ++x) {
        rows[x] = _mm256_loadu_si256(reinterpret_cast<const W*>(image_at(image, y0, x0 + x, c)));
      }
      finish_plane<kPlanes>(rows, c, out, staged);
    }
  } else {  // 32 rows of three adjacent channels: 96 bytes, 48 a half
    alignas(32) W split[3][16];
    for (int x = 0; x < 16; ++x) {
      const std::uint8_t* p = image_at(image, y0, x0 + x, 0);
      const auto* q = reinterpret_cast<const V*>(p);
      const W in[3] = {_mm256_loadu2_m128i(q + 3, q), _mm256_loadu2_m128i(q + 4, q + 1),
                       _mm256_loadu2_m128i(q + 5, q + 2)};
      for (int c = 0; c < 3; ++c) {
        W v = _mm256_shuffle_epi8(in[0], wide(kDeinterleave[c][0]));
        v = _mm256_or_si256(v, _mm256_shuffle_epi8(in[1], wide(kDeinterleave[c][1])));
        _mm256_store_si256(&split[c][x], _mm256_or_si256(v, _mm256_shuffle_epi8(in[2], wide(kDeinterleave[c][2]))));
      }
    }
    for (int c = 0; c < 3; ++c) {
      W rows[16];
      for (int x = 0; x < 16; ++x) rows[x] = _mm256_load_si256(&split[c][x]);
      finish_plane<kPlanes>(rows, c, out, staged);
    }
  }
  if constexpr (!kPlanes) {
    for (int r = 0; r < 16; ++r) {
      std::uint8_t* low = out.at[0] + r * out.stride;
      std::uint8_t* high = out.at[0] + (r + 16) * out.stride;
      const W p0 = _mm256_load_si256(&staged[0][r]), p1 = _mm256_load_si256(&staged[1][r]),
              p2 = _mm256_load_si256(&staged[2][r]);
      for (int k = 0; k < 3; ++k) {
        W v = _mm256_shuffle_epi8(p0, wide(kInterleave[k][0]));
        v = _mm256_or_si256(v, _mm256_shuffle_epi8(p1, wide(kInterleave[k][1])));
        v = _mm256_or_si256(v, _mm256_shuffle_epi8(p2, wide(kInterleave[k][2])));
        store(low + 16 * k, _mm256_castsi256_si128(v));
        store(high + 16 * k, _mm256_extracti128_si256(v, 1));
      }
    }
  }
}

bool tiles_columns(const ImageView& image) {
  return image.strides[0] == 1 || (image.strides[0] == 3 && image.strides[2] == 1);
}

}  // namespace

void avx2_row(const ImageView& image, Layout layout, std::size_t y, std::size_t x0, std::size_t n,
              std::uint8_t* out) {
  std::size_t done = 0;
  switch (layout) {
    case Layout::kReversed:
      done = regroup<5>(image_at(image, y, x0, 2), 3, n, mask(kReverseTriples), out);
      break;
    case Layout::kSpaced: {
      // From each pixel's lowest byte: red, or blue when reversed.
      const std::uint8_t* lowest = image_at(image, y, x0, image.strides[2] == 1 ? 0 : 2);
      const Mask& m = image.strides[2] == 1 ? kDropFourth : kReverseDropFourth;
      done = regroup8(lowest, n, m, out);
      done += regroup<4>(lowest + 4 * done, 4, n - done, mask(m), out + 3 * done);
      break;
    }
    case Layout::kPlanar: {
      const std::ptrdiff_t plane = image.strides[2];
      // Thirty-two pixels a step, sixteen in each half of the registers.
      for (; done + 32 <= n; done += 32) {
        const std::uint8_t* r = image_at(image, y, x0 + done, 0);
        const W planes[3] = {_mm256_loadu_si256(reinterpret_cast<const W*>(r)),
                             _mm256_loadu_si256(reinterpret_cast<const W*>(r + plane)),
                             _mm256_loadu_si256(reinterpret_cast<const W*>(r + 2 * plane))};
        std::uint8_t* o = out + 3 * done;
        for (int k = 0; k < 3; ++k) {
          W v = _mm256_shuffle_epi8(planes[0], wide(kInterleave[k][0]));
          v = _mm256_or_si256(v, _mm256_shuffle_epi8(planes[1], wide(kInterleave[k][1])));
          v = _mm256_or_si256(v, _mm256_shuffle_epi8(planes[2], wide(kInterleave[k][2])));
          store(o + 16 * k, _mm256_castsi256_si128(v));
          store(o + 48 + 16 * k, _mm256_extracti128_si256(v, 1));
        }
      }
      for (; done + 16 <= n; done += 16) {
        const std::uint8_t* r = image_at(image, y, x0 + done, 0);
        interleave3(load(r), load(r + plane), load(r + 2 * plane), out + 3 * done);
      }
      break;
    }
    case Layout::kPacked:
    case Layout::kColumns:
    case Layout::kGeneral:
      break;
  }
  sample_row(image, y, x0 + done, n - done, out + 3 * done);
}

namespace {

// A column layout's block in tiles, into packed rows or planes. The block
// has at least 16 rows and 16 pixels.
template <bool kPlanes>
void column_tiles(const ImageView& image, std::size_t y0, std::size_t rows, std::size_t x0, std::size_t n,
                  const TileOut& out) {
  // Two 32-row tiles down each column group before moving right: a
  // column's 64 rows are about one cache line (Fortran order) or three
  // (transposed), used up while they are still in the first-level cache.
  // The last row and column tiles end at the block's edges, overlapping the
  // tiles before them where the size is not a multiple of 16: they write the
  // same bytes again.
  constexpr std::size_t kDown = 64;
  for (std::size_t r0 = 0; r0 < rows; r0 += kDown) {
    const std::size_t r1 = r0 + kDown < rows ? r0 + kDown : rows;
    for (std::size_t x = 0;; x += 16) {
      if (x + 16 > n) x = n - 16;
      // Two column groups ahead, within the block.
      if (x + 48 <= n) prefetch_block(image, Layout::kColumns, y0 + r0, r1 - r0, x0 + x + 32, 16);
      std::size_t r = r0;
      for (; r + 32 <= r1; r += 32) column_tile32<kPlanes>(image, y0 + r, x0 + x, out.moved(kPlanes, r, x));
      // The rest by the smallest tiles that cover it (the block has at
      // least 16 rows, so a 16-row tile ending at r1 starts inside it).
      if (r1 - r > 16 && r1 >= 32) {
        column_tile32<kPlanes>(image, y0 + r1 - 32, x0 + x, out.moved(kPlanes, r1 - 32, x));
      } else if (r < r1) {
        for (; r + 16 <= r1; r += 16) column_tile<kPlanes>(image, y0 + r, x0 + x, out.moved(kPlanes, r, x));
        if (r < r1) column_tile<kPlanes>(image, y0 + r1 - 16, x0 + x, out.moved(kPlanes, r1 - 16, x));
      }
      if (x + 16 == n) break;
    }
  }
}

bool tiled(const ImageView& image, Layout layout, std::size_t rows, std::size_t n) {
  return layout == Layout::kColumns && tiles_columns(image) && rows >= 16 && n >= 16;
}

}  // namespace

void avx2_block(const ImageView& image, Layout layout, std::size_t y0, std::size_t rows, std::size_t x0,
                std::size_t n, std::uint8_t* out, std::size_t out_stride) {
  if (tiled(image, layout, rows, n)) {
    column_tiles<false>(image, y0, rows, x0, n, TileOut{{out, nullptr, nullptr}, out_stride});
  } else if (layout == Layout::kColumns) {
    // Too small for a tile, or columns the tiles do not read: down each
    // column, so that reads stay near each other.
    for (std::size_t x = 0; x < n; ++x) {
      for (std::size_t r = 0; r < rows; ++r) {
        std::uint8_t* o = out + r * out_stride + 3 * x;
        for (std::size_t c = 0; c < 3; ++c) o[c] = *image_at(image, y0 + r, x0 + x, c);
      }
    }
  } else {
    for (std::size_t r = 0; r < rows; ++r) avx2_row(image, layout, y0 + r, x0, n, out + r * out_stride);
  }
}

void avx2_planes(const ImageView& image, Layout layout, std::size_t y0, std::size_t rows, std::size_t x0,
                 std::size_t n, std::uint8_t* const out[3], std::size_t out_stride) {
  if (tiled(image, layout, rows, n)) {
    column_tiles<true>(image, y0, rows, x0, n, TileOut{{out[0], out[1], out[2]}, out_stride});
    return;
  }
  for (std::size_t x = 0; x < n; ++x) {
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t c = 0; c < 3; ++c) out[c][r * out_stride + x] = *image_at(image, y0 + r, x0 + x, c);
    }
  }
}

}  // namespace batchaugmentor::pixels::internal

#endif
