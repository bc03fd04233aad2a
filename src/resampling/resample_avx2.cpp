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

// Eight clamped, rounded bytes: max with 0 first (which also maps NaN to 0),
// then min with 255, then round half away from zero. The fraction v - trunc(v)
// is exact in this range, so the comparison with 0.5 decides the rounding
// exactly where v + 0.5 would round first.
inline void store_bytes(__m256 v, std::uint8_t* out) {
  v = _mm256_min_ps(_mm256_max_ps(v, _mm256_setzero_ps()), _mm256_set1_ps(255.0f));
  __m256i t = _mm256_cvttps_epi32(v);
  __m256 frac = _mm256_sub_ps(v, _mm256_cvtepi32_ps(t));
  __m256 up = _mm256_cmp_ps(frac, _mm256_set1_ps(0.5f), _CMP_GE_OQ);
  t = _mm256_sub_epi32(t, _mm256_castps_si256(up));
  __m128i words = _mm_packus_epi32(_mm256_castsi256_si128(t), _mm256_extracti128_si256(t, 1));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(words, words));
}

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

}  // namespace

bool resample_fused_avx2(const RgbRows& source, const AxisWindows& vertical,
                         const AxisWindows& horizontal, std::uint32_t width, std::uint8_t* dst) {
  const std::size_t src_w = source.width;
  const std::size_t height = vertical.size();
  const std::size_t row_samples = src_w * 3;

  std::size_t band = kBandBudgetBytes / (src_w * 3 * sizeof(float) + 1);
  band = std::clamp<std::size_t>(band / kLanes * kLanes, kLanes, kMaxBandRows);
  band = std::min(band, round_up(height, kLanes));
  // Room for whole vectors past the band's samples and for the one float
  // that a pixel's 16-byte store spills past the band's last row.
  const std::size_t stride = round_up(band * 3 + 1, kLanes);

  // Sizes: the row below fits because the whole source fits in memory; the
  // intermediate is checked.
  std::size_t columns_bytes;
  if (!checked_mul(src_w, stride * sizeof(float), &columns_bytes)) return false;
  OwnedBuffer columns_buf = OwnedBuffer::allocate_zeroed(columns_bytes);
  OwnedBuffer row_buf = OwnedBuffer::allocate_zeroed((row_samples + kLanes) * sizeof(float));
  OwnedBuffer sums_buf = OwnedBuffer::allocate(stride * sizeof(float));
  OwnedBuffer bytes_buf = OwnedBuffer::allocate(stride + kLanes);
  if (columns_buf.failed() || row_buf.failed() || sums_buf.failed() || bytes_buf.failed()) {
    return false;
  }
  float* columns = reinterpret_cast<float*>(columns_buf.data());
  float* row = reinterpret_cast<float*>(row_buf.data());
  float* sums = reinterpret_cast<float*>(sums_buf.data());
  std::uint8_t* bytes = bytes_buf.data();
  const std::size_t out_row = static_cast<std::size_t>(width) * 3;

  for (std::size_t y0 = 0; y0 < height; y0 += band) {
    const std::size_t rows = std::min(band, height - y0);

    for (std::size_t j = 0; j < rows; ++j) {
      vertical_row(source, vertical[y0 + j], row_samples, row);
      // Transpose into the columns. Each store carries one float too many;
      // rows go in ascending order, so the extra float is overwritten by the
      // next row's red sample or lands in the column's spare slot.
      float* slot = columns + j * 3;
      for (std::size_t x = 0; x < src_w; ++x) {
        std::memcpy(slot + x * stride, row + x * 3, 4 * sizeof(float));
      }
    }

    const std::size_t samples = rows * 3;
    const std::size_t vectors = (samples + kLanes - 1) / kLanes;
    std::uint8_t* out = dst + y0 * out_row;
    for (std::size_t ox = 0; ox < width; ++ox) {
      SampleWindow win = horizontal[ox];
      const float* first = columns + win.left * stride;
      // Lanes past the band's samples combine the spare slots, which hold
      // finite values, and are never stored as output.
      for (std::size_t v0 = 0; v0 < vectors; v0 += kBlockVectors) {
        with_vectors(std::min(kBlockVectors, vectors - v0), [&]<std::size_t V>() {
          combine_floats<V>(first + v0 * kLanes, stride, win.weights, win.count,
                            sums + v0 * kLanes);
        });
      }
      for (std::size_t v = 0; v < vectors; ++v) {
        store_bytes(_mm256_loadu_ps(sums + v * kLanes), bytes + v * kLanes);
      }
      std::uint8_t* pixel = out + ox * 3;
      if (ox + 1 < width) {
        // Four bytes per store; the fourth is the next pixel's red, written
        // when that column comes.
        for (std::size_t j = 0; j < rows; ++j) std::memcpy(pixel + j * out_row, bytes + j * 3, 4);
      } else {
        for (std::size_t j = 0; j < rows; ++j) std::memcpy(pixel + j * out_row, bytes + j * 3, 3);
      }
    }
  }
  return true;
}

}  // namespace batchaugmentor::resampling::internal
