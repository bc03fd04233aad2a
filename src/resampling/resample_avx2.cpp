// The fast path: the same sums as the scalar passes, eight output samples per
// instruction, scheduled for the caches.
//
// Two schedule changes, neither of which touches the order of operations
// behind any one output sample:
//  - The intermediate is kept transposed (one contiguous column of rows per
//    source column), so the horizontal pass combines whole columns the way
//    the vertical pass combines whole rows: vectors run across rows and
//    channels, never across taps.
//  - Output rows are made in bands: the vertical pass fills the transposed
//    intermediate for a band of rows, the horizontal pass turns it into bytes
//    at once, so the intermediate stays in the core's cache instead of
//    costing a trip through memory.
//  - Within a band, source bytes are converted to float once per sixteen
//    pixels and reused by every output row whose window covers them (about
//    six rows when shrinking, more when growing).
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "resampling/internal/kernels.h"

namespace batchaugmentor::resampling::internal {
namespace {

constexpr std::size_t kLanes = 8;
constexpr std::size_t kBlockVectors = 8;  // accumulators kept in registers
// Rough share of the core's second-level cache for one band's intermediate.
constexpr std::size_t kBandBudgetBytes = 256 * 1024;
constexpr std::size_t kMaxBandRows = 32;

inline __m256 load_bytes(const std::uint8_t* p) {
  __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
  return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(b));
}

// V vectors of sums over the taps of one window, for 8-bit rows. The first
// product starts each sum: adding it to 0.0 could only change the sign of a
// zero, which no output byte can see.
template <std::size_t V>
inline void combine_bytes(const std::uint8_t* first, std::ptrdiff_t stride, const float* w,
                          std::uint64_t taps, float* out) {
  __m256 acc[V];
  __m256 wk = _mm256_set1_ps(w[0]);
  for (std::size_t v = 0; v < V; ++v) acc[v] = _mm256_mul_ps(wk, load_bytes(first + v * kLanes));
  const std::uint8_t* row = first;
  for (std::uint64_t k = 1; k < taps; ++k) {
    row += stride;
    wk = _mm256_set1_ps(w[k]);
    for (std::size_t v = 0; v < V; ++v) {
      acc[v] = _mm256_add_ps(acc[v], _mm256_mul_ps(wk, load_bytes(row + v * kLanes)));
    }
  }
  for (std::size_t v = 0; v < V; ++v) _mm256_storeu_ps(out + v * kLanes, acc[v]);
}

// The same for float columns of the transposed intermediate.
template <std::size_t V>
inline void combine_floats(const float* first, std::size_t stride, const float* w,
                           std::uint64_t taps, float* out) {
  __m256 acc[V];
  __m256 wk = _mm256_set1_ps(w[0]);
  for (std::size_t v = 0; v < V; ++v) acc[v] = _mm256_mul_ps(wk, _mm256_loadu_ps(first + v * kLanes));
  const float* col = first;
  for (std::uint64_t k = 1; k < taps; ++k) {
    col += stride;
    wk = _mm256_set1_ps(w[k]);
    for (std::size_t v = 0; v < V; ++v) {
      acc[v] = _mm256_add_ps(acc[v], _mm256_mul_ps(wk, _mm256_loadu_ps(col + v * kLanes)));
    }
  }
  for (std::size_t v = 0; v < V; ++v) _mm256_storeu_ps(out + v * kLanes, acc[v]);
}

template <class F>
inline void with_vectors(std::size_t v, F&& f) {
  switch (v) {
    case 1: f.template operator()<1>(); break;
    case 2: f.template operator()<2>(); break;
    case 3: f.template operator()<3>(); break;
    case 4: f.template operator()<4>(); break;
    case 5: f.template operator()<5>(); break;
    case 6: f.template operator()<6>(); break;
    case 7: f.template operator()<7>(); break;
    default: f.template operator()<8>(); break;
  }
}

// One vertical window over the first n samples of the source rows.
void vertical_row(const RgbRows& source, const SampleWindow& win, std::size_t n, float* out) {
  const std::uint8_t* first = source.row(win.left);
  std::size_t i = 0;
  for (; i + kBlockVectors * kLanes <= n; i += kBlockVectors * kLanes) {
    combine_bytes<kBlockVectors>(first + i, source.row_stride, win.weights, win.count, out + i);
  }
  std::size_t vectors = (n - i) / kLanes;
  if (vectors > 0) {
    with_vectors(vectors, [&]<std::size_t V>() {
      combine_bytes<V>(first + i, source.row_stride, win.weights, win.count, out + i);
    });
    i += vectors * kLanes;
  }
  // Fewer than eight samples left: the same operations one at a time.
  for (; i < n; ++i) {
    const std::uint8_t* p = first + i;
    float t = win.weights[0] * static_cast<float>(*p);
    for (std::uint64_t k = 1; k < win.count; ++k) {
      p += source.row_stride;
      t = t + win.weights[k] * static_cast<float>(*p);
    }
    out[i] = t;
  }
}

// Clamped, rounded byte values as 32-bit integers: max with 0 first (which
// also maps NaN to 0), then min with 255, then round half away from zero. The
// fraction v - trunc(v) is exact in this range, so comparing it with 0.5
// decides exactly where v + 0.5 would round first.
inline __m256i byte_values(__m256 v) {
  v = _mm256_min_ps(_mm256_max_ps(v, _mm256_setzero_ps()), _mm256_set1_ps(255.0f));
  __m256i t = _mm256_cvttps_epi32(v);
  __m256 frac = _mm256_sub_ps(v, _mm256_cvtepi32_ps(t));
  __m256 up = _mm256_cmp_ps(frac, _mm256_set1_ps(0.5f), _CMP_GE_OQ);
  return _mm256_sub_epi32(t, _mm256_castps_si256(up));
}

// Eight output bytes.
inline void store_bytes(__m256 v, std::uint8_t* out) {
  __m256i t = byte_values(v);
  __m128i words = _mm_packus_epi32(_mm256_castsi256_si128(t), _mm256_extracti128_si256(t, 1));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(words, words));
}

// Thirty-two output bytes. The packs work within 128-bit halves, leaving
// groups of four in the order a0 b0 c0 d0 a1 b1 c1 d1; one permute restores it.
inline void store_bytes4(const float* in, std::uint8_t* out) {
  __m256i ab = _mm256_packus_epi32(byte_values(_mm256_loadu_ps(in)),
                                   byte_values(_mm256_loadu_ps(in + 8)));
  __m256i cd = _mm256_packus_epi32(byte_values(_mm256_loadu_ps(in + 16)),
                                   byte_values(_mm256_loadu_ps(in + 24)));
  __m256i bytes = _mm256_packus_epi16(ab, cd);
  bytes = _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
}

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// The source rows a band of output rows reads: [lo, hi).
struct RowSpan {
  std::uint64_t lo, hi;
};

RowSpan span_of(const AxisWindows& vertical, std::size_t y0, std::size_t rows) {
  RowSpan s{vertical[y0].left, vertical[y0].left + vertical[y0].count};
  for (std::size_t j = 1; j < rows; ++j) {
    SampleWindow w = vertical[y0 + j];
    s.lo = std::min(s.lo, w.left);
    s.hi = std::max(s.hi, w.left + w.count);
  }
  return s;
}

class FusedResampler {
 public:
  FusedResampler(const RgbRows& source, const AxisWindows& vertical,
                 const AxisWindows& horizontal, std::uint32_t width, std::uint8_t* dst)
      : source_(source), vertical_(vertical), horizontal_(horizontal), width_(width), dst_(dst) {}

  bool run() {
    if (!allocate()) return false;
    const std::size_t height = vertical_.size();
    for (std::size_t y0 = 0; y0 < height; y0 += band_) {
      const std::size_t rows = std::min(band_, height - y0);
      if (tile_rows_ > 0) {
        vertical_band_tiled(y0, rows);
      } else {
        vertical_band_by_rows(y0, rows);
      }
      horizontal_band(y0, rows);
    }
    return true;
  }

 private:
  static constexpr std::size_t kGroup = 16;  // output columns per byte tile
  static constexpr std::size_t kTilePixels = 16;
  static constexpr std::size_t kPrefetchBytes = 512;
  static constexpr std::size_t kTileSamples = kTilePixels * 3;  // six vectors
  // Beyond this a band's source tile would not stay in the first-level
  // caches anyway; such bands (extreme shrink factors) read bytes directly.
  static constexpr std::size_t kMaxTileBytes = 64 * 1024;

  bool allocate() {
    const std::size_t src_w = source_.width;
    band_ = kBandBudgetBytes / (src_w * 3 * sizeof(float) + 1);
    band_ = std::clamp<std::size_t>(band_ / kLanes * kLanes, kLanes, kMaxBandRows);
    band_ = std::min(band_, round_up(vertical_.size(), kLanes));
    // Room for whole vectors past the band's samples and for the one float
    // that a pixel's 16-byte store spills past the band's last row.
    stride_ = round_up(band_ * 3 + 1, kLanes);

    std::uint64_t widest = 0;
    for (std::size_t y0 = 0; y0 < vertical_.size(); y0 += band_) {
      RowSpan s = span_of(vertical_, y0, std::min(band_, vertical_.size() - y0));
      widest = std::max(widest, s.hi - s.lo);
    }
    tile_rows_ = widest * kTileSamples * sizeof(float) <= kMaxTileBytes ? widest : 0;

    std::size_t columns_bytes;
    if (!checked_mul(src_w, stride_ * sizeof(float), &columns_bytes)) return false;
    columns_buf_ = OwnedBuffer::allocate_zeroed(columns_bytes);
    // Sizes below are bounded by the source row (which exists in memory) or
    // by the constants above.
    if (tile_rows_ > 0) {
      tile_buf_ = OwnedBuffer::allocate(tile_rows_ * kTileSamples * sizeof(float));
      sums_tile_buf_ = OwnedBuffer::allocate_zeroed((band_ * kTileSamples + kLanes) * sizeof(float));
    } else {
      row_buf_ = OwnedBuffer::allocate_zeroed((src_w * 3 + kLanes) * sizeof(float));
    }
    sums_buf_ = OwnedBuffer::allocate(stride_ * sizeof(float));
    bytes_buf_ = OwnedBuffer::allocate_zeroed(kGroup * stride_ + kLanes);
    return !(columns_buf_.failed() || tile_buf_.failed() || sums_tile_buf_.failed() ||
             row_buf_.failed() || sums_buf_.failed() || bytes_buf_.failed());
  }

  float* columns() { return reinterpret_cast<float*>(columns_buf_.data()); }

  // Vertical sums of a band, sixteen source pixels at a time: their samples
  // from every source row the band reads are converted to float once, then
  // each output row combines its taps from that small tile.
  void vertical_band_tiled(std::size_t y0, std::size_t rows) {
    RowSpan span = span_of(vertical_, y0, rows);
    auto* tile = reinterpret_cast<float*>(tile_buf_.data());
    auto* sums = reinterpret_cast<float*>(sums_tile_buf_.data());
    for (std::size_t p0 = 0; p0 < source_.width; p0 += kTilePixels) {
      const std::size_t pixels = std::min<std::size_t>(kTilePixels, source_.width - p0);
      const std::size_t samples = pixels * 3;
      for (std::uint64_t r = span.lo; r < span.hi; ++r) {
        const std::uint8_t* in = source_.row(r) + p0 * 3;
        // Dozens of rows are read side by side, more streams than the
        // hardware prefetcher follows; ask for each row's next lines early.
        // A prefetch past the row's end is harmless.
        _mm_prefetch(reinterpret_cast<const char*>(in) + kPrefetchBytes, _MM_HINT_T0);
        float* t = tile + (r - span.lo) * kTileSamples;
        if (samples == kTileSamples) {
          for (std::size_t v = 0; v < kTileSamples / kLanes; ++v) {
            _mm256_storeu_ps(t + v * kLanes, load_bytes(in + v * kLanes));
          }
        } else {
          // The row's last pixels: no 8-byte load may pass its end.
          for (std::size_t i = 0; i < samples; ++i) t[i] = static_cast<float>(in[i]);
          for (std::size_t i = samples; i < kTileSamples; ++i) t[i] = 0.0f;
        }
      }
      for (std::size_t j = 0; j < rows; ++j) {
        SampleWindow win = vertical_[y0 + j];
        combine_floats<kTileSamples / kLanes>(tile + (win.left - span.lo) * kTileSamples,
                                              kTileSamples, win.weights, win.count,
                                              sums + j * kTileSamples);
      }
      // Transpose into the columns. Each store carries one float too many;
      // rows go in ascending order, so the extra float is overwritten by the
      // next row's red sample or lands in the column's spare slot.
      for (std::size_t j = 0; j < rows; ++j) {
        float* col = columns() + p0 * stride_ + j * 3;
        const float* s = sums + j * kTileSamples;
        for (std::size_t x = 0; x < pixels; ++x) {
          std::memcpy(col + x * stride_, s + x * 3, 4 * sizeof(float));
        }
      }
    }
  }

  // The same sums one whole output row at a time, reading bytes directly.
  void vertical_band_by_rows(std::size_t y0, std::size_t rows) {
    auto* row = reinterpret_cast<float*>(row_buf_.data());
    for (std::size_t j = 0; j < rows; ++j) {
      vertical_row(source_, vertical_[y0 + j], static_cast<std::size_t>(source_.width) * 3, row);
      float* slot = columns() + j * 3;
      for (std::size_t x = 0; x < source_.width; ++x) {
        std::memcpy(slot + x * stride_, row + x * 3, 4 * sizeof(float));
      }
    }
  }

  // Horizontal sums of a band, one output column at a time (vectors across
  // the band's rows and channels), rounded to bytes in a small tile of
  // kGroup columns that is then written out row by row. Reading the tile only
  // after the whole group keeps the 4-byte reads clear of the 8-byte stores
  // that are still in flight, and makes the writes sequential.
  void horizontal_band(std::size_t y0, std::size_t rows) {
    auto* sums = reinterpret_cast<float*>(sums_buf_.data());
    std::uint8_t* tile = bytes_buf_.data();
    const std::size_t out_row = static_cast<std::size_t>(width_) * 3;
    const std::size_t vectors = (rows * 3 + kLanes - 1) / kLanes;
    const std::size_t tile_stride = vectors * kLanes;
    std::uint8_t* out = dst_ + y0 * out_row;
    for (std::size_t ox0 = 0; ox0 < width_; ox0 += kGroup) {
      const std::size_t group = std::min<std::size_t>(kGroup, width_ - ox0);
      for (std::size_t g = 0; g < group; ++g) {
        SampleWindow win = horizontal_[ox0 + g];
        const float* first = columns() + win.left * stride_;
        // Lanes past the band's samples combine the spare slots, which hold
        // finite values, and are never stored as output.
        for (std::size_t v0 = 0; v0 < vectors; v0 += kBlockVectors) {
          with_vectors(std::min(kBlockVectors, vectors - v0), [&]<std::size_t V>() {
            combine_floats<V>(first + v0 * kLanes, stride_, win.weights, win.count,
                              sums + v0 * kLanes);
          });
        }
        std::uint8_t* bytes = tile + g * tile_stride;
        std::size_t v = 0;
        for (; v + 4 <= vectors; v += 4) store_bytes4(sums + v * kLanes, bytes + v * kLanes);
        for (; v < vectors; ++v) store_bytes(_mm256_loadu_ps(sums + v * kLanes), bytes + v * kLanes);
      }
      // Four bytes per store, the fourth being the next pixel's red, which
      // its own store overwrites; only the row's very last pixel takes three.
      const bool row_end = ox0 + group == width_;
      const std::size_t wide = row_end ? group - 1 : group;
      for (std::size_t j = 0; j < rows; ++j) {
        std::uint8_t* o = out + j * out_row + ox0 * 3;
        const std::uint8_t* t = tile + j * 3;
        for (std::size_t g = 0; g < wide; ++g) std::memcpy(o + g * 3, t + g * tile_stride, 4);
        if (row_end) std::memcpy(o + wide * 3, t + wide * tile_stride, 3);
      }
    }
  }

  const RgbRows& source_;
  const AxisWindows& vertical_;
  const AxisWindows& horizontal_;
  const std::uint32_t width_;
  std::uint8_t* const dst_;

  std::size_t band_ = 0;       // output rows per band
  std::size_t stride_ = 0;     // floats per column of the transposed intermediate
  std::size_t tile_rows_ = 0;  // 0: bands read bytes directly
  OwnedBuffer columns_buf_;
  OwnedBuffer tile_buf_;
  OwnedBuffer sums_tile_buf_;
  OwnedBuffer row_buf_;
  OwnedBuffer sums_buf_;
  OwnedBuffer bytes_buf_;
};

}  // namespace

bool resample_fused_avx2(const RgbRows& source, const AxisWindows& vertical,
                         const AxisWindows& horizontal, std::uint32_t width, std::uint8_t* dst) {
  return FusedResampler(source, vertical, horizontal, width, dst).run();
}

}  // namespace batchaugmentor::resampling::internal
