#include "luminance/luminance.h"

#include <array>

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

double weighted_mean(const ImageView& image) {
  const WeightTables& t = tables();
  const std::size_t h = image.shape[0], w = image.shape[1];
  const std::ptrdiff_t s0 = image.strides[0], s1 = image.strides[1], s2 = image.strides[2];
  double sum = 0.0;
  // An image without pixels has no rows to walk, however many it claims
  // (a (2**33, 0, 3) view): its mean is 0.0 / 0.0, NaN.
  for (std::size_t y = 0; w != 0 && y < h; ++y) {
    const std::uint8_t* p = image.data + static_cast<std::ptrdiff_t>(y) * s0;
    if (s2 == 1) {
      for (std::size_t x = 0; x < w; ++x, p += s1) sum += (t.r[p[0]] + t.g[p[1]]) + t.b[p[2]];
    } else {
      for (std::size_t x = 0; x < w; ++x, p += s1) sum += (t.r[p[0]] + t.g[p[s2]]) + t.b[p[2 * s2]];
    }
  }
  return sum / static_cast<double>(h * w);
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
