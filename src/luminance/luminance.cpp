#include "luminance/luminance.h"

#include <array>
#include <utility>

#include "common/buffer.h"
#include "luminance/internal/plane_sums.h"
#include "pixels/gather.h"

namespace batchaugmentor::luminance {
namespace {

// weight * value for every byte value, each product rounded once exactly as
// the multiplication at run time would be; looking them up takes the
// multiplications off the path of the one running sum, whose additions
// must stay strictly sequential.
struct WeightTables {
  std::array<double, 256> r, g, b;
  WeightTables() {
    for (int v = 0; v < 256; ++v) {
      r[v] = 0.299 * static_cast<double>(v);
      g[v] = 0.587 * static_cast<double>(v);
      b[v] = 0.114 * static_cast<double>(v);
    }
  }
};

const WeightTables& tables() {
  static const WeightTables t;
  return t;
}

// Column layouts are gathered a strip of rows at a time (a blocked
// transpose, tiles of kTilePixels columns), within this many bytes (two
// strips); wider images walk the view directly. A strip is summed in runs
// of kRunPixels, the next strip's tiles gathered between them.
constexpr std::size_t kRunPixels = 128;
constexpr std::size_t kStripRows = 32;
constexpr std::size_t kTilePixels = 16;
constexpr std::size_t kMaxStripBytes = std::size_t{4} << 20;
// How far ahead of the sum its pixels are asked for: the chain of additions
// leaves the processor too few loads in flight to hide a farther cache's
// latency on its own, and a copy into the first-level cache first (the
// other way to hide it) costs loads the sum needs: three bytes and three
// table entries a pixel already keep the load ports as busy as the chain.
constexpr std::ptrdiff_t kAheadBytes = 2048;

// The one running sum, in row-major pixel order, over n pixels kStep bytes
// apart whose green and blue lie kChannel and 2 * kChannel bytes from their
// red. Kept out of line: inlined into a larger caller, the sum has been
// kept in memory, a store and a reload added to every pixel's addition.
template <std::ptrdiff_t kStep, std::ptrdiff_t kChannel>
[[gnu::noinline]] double add_run(double sum, const WeightTables& t, const std::uint8_t* red, std::size_t n) {
  for (std::size_t x = 0; x < n; ++x, red += kStep) {
    if (x % 16 == 0) __builtin_prefetch(red + kAheadBytes);
    sum += (t.r[red[0]] + t.g[red[kChannel]]) + t.b[red[2 * kChannel]];
  }
  return sum;
}

// Rows of pixels three or four bytes apart, channels in either order.
template <std::ptrdiff_t kStep, std::ptrdiff_t kChannel>
double add_rows(const ImageView& image, const WeightTables& t) {
  double sum = 0.0;
  for (std::size_t y = 0; y < image.shape[0]; ++y) {
    sum = add_run<kStep, kChannel>(sum, t, image.data + static_cast<std::ptrdiff_t>(y) * image.strides[0],
                                   image.shape[1]);
  }
  return sum;
}

// The same over n pixels of three planes: one byte from each a pixel.
double scalar_plane_run(double sum, const std::uint8_t* r, const std::uint8_t* g, const std::uint8_t* b,
                        std::size_t n) {
  const WeightTables& t = tables();
  for (std::size_t x = 0; x < n; ++x) {
    if (x % 64 == 0) {
      __builtin_prefetch(r + x + kAheadBytes / 4);
      __builtin_prefetch(g + x + kAheadBytes / 4);
      __builtin_prefetch(b + x + kAheadBytes / 4);
    }
    sum += (t.r[r[x]] + t.g[g[x]]) + t.b[b[x]];
  }
  return sum;
}

// The widest plane sum the processor runs, on the gathers' switch, so that
// one setting runs the whole process on one path.
internal::PlaneRun choose_plane_run() {
#if defined(__x86_64__) || defined(__i386__)
  if (pixels::selected_gather().name == "avx2") return &internal::avx2_plane_run;
#endif
  return &scalar_plane_run;
}

double add_plane_run(double sum, const std::uint8_t* r, const std::uint8_t* g, const std::uint8_t* b,
                     std::size_t n) {
  static const internal::PlaneRun run = choose_plane_run();
  return run(sum, r, g, b, n);
}

double add_planes(const ImageView& image) {
  const std::ptrdiff_t s2 = image.strides[2];
  double sum = 0.0;
  for (std::size_t y = 0; y < image.shape[0]; ++y) {
    const std::uint8_t* r = image.data + static_cast<std::ptrdiff_t>(y) * image.strides[0];
    sum = add_plane_run(sum, r, r + s2, r + 2 * s2, image.shape[1]);
  }
  return sum;
}

// Column layouts (Fortran order, transposes): strips of rows gathered as
// three planes by transposing tiles (planes need no interleaving, and their
// sum is the quickest), the next strip's tiles interleaved with the sum over
// this one. False when the strips cannot be allocated.
bool add_columns(const pixels::RgbGather& gather, std::size_t h, std::size_t w, double* sum) {
  const std::size_t plane_bytes = kStripRows * w;
  auto strips = OwnedBuffer::allocate(6 * plane_bytes);
  if (!strips.ok()) return false;
  std::uint8_t* current[3];
  std::uint8_t* next[3];
  for (std::size_t c = 0; c < 3; ++c) {
    current[c] = strips.value().data() + c * plane_bytes;
    next[c] = current[c] + 3 * plane_bytes;
  }
  auto rows_in = [&](std::size_t y0) { return h - y0 < kStripRows ? h - y0 : kStripRows; };
  gather.planes(0, rows_in(0), 0, w, current, w);
  for (std::size_t y0 = 0; y0 < h; y0 += kStripRows) {
    const std::size_t n = rows_in(y0);
    const std::size_t y1 = y0 + kStripRows;
    const std::size_t next_rows = y1 < h ? rows_in(y1) : 0;
    std::size_t tile = 0;  // the next strip's tiles gathered so far, kTilePixels wide
    const std::size_t tiles = next_rows == 0 ? 0 : (w + kTilePixels - 1) / kTilePixels;
    auto gather_tile = [&] {
      // The last tile ends at the row's end, over part of the one before
      // where the width is not a multiple of the tile's.
      std::size_t x0 = tile * kTilePixels;
      const std::size_t pixels = w < kTilePixels ? w : kTilePixels;
      if (x0 + pixels > w) x0 = w - pixels;
      std::uint8_t* const at[3] = {next[0] + x0, next[1] + x0, next[2] + x0};
      gather.planes(y1, next_rows, x0, pixels, at, w);
      ++tile;
    };
    // The tiles spread evenly over the strip's runs.
    const std::size_t runs = n * ((w + kRunPixels - 1) / kRunPixels);
    const std::size_t every = tiles == 0 || runs <= tiles ? 1 : runs / tiles;
    // The tile two on is asked for a share after each run, rather than a
    // whole tile's lines at once, which would wait for fill buffers.
    if (tiles != 0) gather.prefetch(y1, next_rows, 0, 2 * kTilePixels);
    const std::size_t share = (kTilePixels + every - 1) / every;
    std::size_t run = 0;
    for (std::size_t r = 0; r < n; ++r) {
      for (std::size_t x0 = 0; x0 < w; x0 += kRunPixels) {
        const std::size_t m = w - x0 < kRunPixels ? w - x0 : kRunPixels;
        const std::size_t at = r * w + x0;
        *sum = add_plane_run(*sum, current[0] + at, current[1] + at, current[2] + at, m);
        const std::size_t part = run % every;
        if (tile < tiles && part * share < kTilePixels) {
          const std::size_t first = (tile + 2) * kTilePixels + part * share;
          const std::size_t count = kTilePixels - part * share < share ? kTilePixels - part * share : share;
          if (first < w) gather.prefetch(y1, next_rows, first, count);
        }
        if (++run % every == 0 && tile < tiles) gather_tile();
      }
    }
    while (tile < tiles) gather_tile();
    std::swap(current, next);
  }
  return true;
}

double weighted_mean(const ImageView& image) {
  const WeightTables& t = tables();
  const std::size_t h = image.shape[0], w = image.shape[1];
  const std::ptrdiff_t s0 = image.strides[0], s1 = image.strides[1], s2 = image.strides[2];
  // An image without pixels has no rows to walk, however many it claims
  // (a (2**33, 0, 3) view): its mean is 0.0 / 0.0, NaN.
  const double count = static_cast<double>(h * w);
  if (w == 0 || h == 0) return 0.0 / count;
  const pixels::RgbGather gather(image);
  switch (gather.layout()) {
    case pixels::Layout::kPacked:
      return add_rows<3, 1>(image, t) / count;
    case pixels::Layout::kReversed:
      return add_rows<3, -1>(image, t) / count;
    case pixels::Layout::kSpaced:
      return (s2 > 0 ? add_rows<4, 1>(image, t) : add_rows<4, -1>(image, t)) / count;
    case pixels::Layout::kPlanar:
      return add_planes(image) / count;
    case pixels::Layout::kColumns:
      if (double sum = 0.0; w <= kMaxStripBytes / (6 * kStripRows) && add_columns(gather, h, w, &sum)) {
        return sum / count;
      }
      break;
    case pixels::Layout::kGeneral:
      break;
  }
  double sum = 0.0;
  for (std::size_t y = 0; y < h; ++y) {
    const std::uint8_t* p = image.data + static_cast<std::ptrdiff_t>(y) * s0;
    for (std::size_t x = 0; x < w; ++x, p += s1) sum += (t.r[p[0]] + t.g[p[s2]]) + t.b[p[2 * s2]];
  }
  return sum / count;
}

std::uint64_t flat_sum(const std::uint8_t* p, std::size_t n) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += p[i];
  return sum;
}

double sample_mean(const ImageView& image) {
  const std::size_t h = image.shape[0], w = image.shape[1], k = image.shape[2];
  const std::size_t count = h * w * k;
  std::uint64_t sum = 0;
  const bool row_major = (h <= 1 || image.strides[0] == static_cast<std::ptrdiff_t>(w * k)) &&
                         (w <= 1 || image.strides[1] == static_cast<std::ptrdiff_t>(k)) &&
                         (k <= 1 || image.strides[2] == 1);
  if (count != 0 && row_major) {
    sum = flat_sum(image.data, count);
  } else if (count != 0) {
    for (std::size_t y = 0; y < h; ++y) {
      for (std::size_t x = 0; x < w; ++x) {
        const std::uint8_t* p = image_at(image, y, x, 0);
        for (std::size_t c = 0; c < k; ++c) sum += p[static_cast<std::ptrdiff_t>(c) * image.strides[2]];
      }
    }
  }
  return static_cast<double>(sum) / static_cast<double>(count);
}

}  // namespace

double image_luminance(const ImageView& image) {
  return image.shape[2] >= 3 ? weighted_mean(image) : sample_mean(image);
}

}  // namespace batchaugmentor::luminance
