#include "luminance/luminance.h"

#include <array>
#include <cstring>
#include <utility>

#include "common/buffer.h"
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

// Runs of pixels small enough to sit in the first-level cache while they are
// summed, and small on the stack: workers may run with 64 KiB stacks.
constexpr std::size_t kRunPixels = 128;
// Column layouts are gathered a strip of rows at a time (a blocked
// transpose, tiles of kTilePixels columns), within this many bytes (two
// strips); wider images walk the view directly.
constexpr std::size_t kStripRows = 32;
constexpr std::size_t kTilePixels = 16;
constexpr std::size_t kMaxStripBytes = std::size_t{4} << 20;

// The one running sum, in row-major pixel order, over packed R G B bytes.
// Kept out of line: inlined into a caller that also copies, the sum was
// kept in memory, a store and a reload added to every pixel's addition.
[[gnu::noinline]] double add_packed(double sum, const WeightTables& t, const std::uint8_t* p, std::size_t pixels) {
  for (std::size_t x = 0; x < pixels; ++x, p += 3) sum += (t.r[p[0]] + t.g[p[1]]) + t.b[p[2]];
  return sum;
}

// Packed rows that lie further away than the first-level cache, a run at a
// time through a copy that does: the sum's chain of additions leaves the
// processor too few loads in flight to hide a farther cache's latency.
double add_packed_far(double sum, const WeightTables& t, const std::uint8_t* p, std::size_t pixels) {
  std::uint8_t run[kRunPixels * 3];
  for (std::size_t x0 = 0; x0 < pixels; x0 += kRunPixels) {
    const std::size_t n = pixels - x0 < kRunPixels ? pixels - x0 : kRunPixels;
    std::memcpy(run, p + 3 * x0, 3 * n);
    sum = add_packed(sum, t, run, n);
  }
  return sum;
}

// Shuffled layouts (BGR, RGBA, planes) gathered a run at a time: the
// gather's loads and shuffles are independent of the sum, so they fill the
// time the sum's chain of additions waits anyway.
double add_gathered(const pixels::RgbGather& gather, const WeightTables& t, std::size_t h, std::size_t w) {
  std::uint8_t run[kRunPixels * 3];
  double sum = 0.0;
  for (std::size_t y = 0; y < h; ++y) {
    for (std::size_t x0 = 0; x0 < w; x0 += kRunPixels) {
      const std::size_t n = w - x0 < kRunPixels ? w - x0 : kRunPixels;
      gather.row(y, x0, n, run);
      sum = add_packed(sum, t, run, n);
    }
  }
  return sum;
}

// Column layouts (Fortran order, transposes): strips of rows gathered by
// transposing tiles, the next strip's tiles interleaved with the sum over
// this one. The sum is a chain of additions that leaves most of the
// processor idle; a tile's shuffles, issued right after a run's additions,
// run while the chain is still draining. False when the strips cannot be
// allocated.
bool add_columns(const pixels::RgbGather& gather, const WeightTables& t, std::size_t h, std::size_t w,
                 double* sum) {
  const std::size_t strip_bytes = kStripRows * w * 3;
  auto strips = OwnedBuffer::allocate(2 * strip_bytes);
  if (!strips.ok()) return false;
  std::uint8_t* current = strips.value().data();
  std::uint8_t* next = current + strip_bytes;
  auto rows_in = [&](std::size_t y0) { return h - y0 < kStripRows ? h - y0 : kStripRows; };
  gather.block(0, rows_in(0), 0, w, current, w * 3);
  for (std::size_t y0 = 0; y0 < h; y0 += kStripRows) {
    const std::size_t n = rows_in(y0);
    const std::size_t y1 = y0 + kStripRows;
    const std::size_t next_rows = y1 < h ? rows_in(y1) : 0;
    std::size_t tile = 0;  // the next strip's tiles gathered so far, kTilePixels wide
    auto gather_tile = [&] {
      const std::size_t x0 = tile * kTilePixels;
      gather.block(y1, next_rows, x0, w - x0 < kTilePixels ? w - x0 : kTilePixels, next + 3 * x0, w * 3);
      ++tile;
    };
    const std::size_t tiles = next_rows == 0 ? 0 : (w + kTilePixels - 1) / kTilePixels;
    for (std::size_t r = 0; r < n; ++r) {
      const std::uint8_t* row = current + r * w * 3;
      for (std::size_t x0 = 0; x0 < w; x0 += kRunPixels) {
        const std::size_t m = w - x0 < kRunPixels ? w - x0 : kRunPixels;
        *sum = add_packed_far(*sum, t, row + 3 * x0, m);
        if (tile < tiles) gather_tile();
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
    case pixels::Layout::kPacked: {
      double sum = 0.0;
      for (std::size_t y = 0; y < h; ++y) sum = add_packed_far(sum, t, image.data + static_cast<std::ptrdiff_t>(y) * s0, w);
      return sum / count;
    }
    case pixels::Layout::kReversed:
    case pixels::Layout::kSpaced:
    case pixels::Layout::kPlanar:
      return add_gathered(gather, t, h, w) / count;
    case pixels::Layout::kColumns:
      if (double sum = 0.0; w <= kMaxStripBytes / (6 * kStripRows) && add_columns(gather, t, h, w, &sum)) {
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
