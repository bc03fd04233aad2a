#include "resampling/resample.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <string_view>
#include <utility>

#include "platform/process.h"
#include "resampling/internal/kernels.h"
#include "resampling/internal/sine.h"

namespace batchaugmentor::resampling {
namespace {

constexpr float kSupport = 3.0f;
constexpr float kPi = 3.14159274f;  // bits 0x40490FDB
constexpr float kCentreOffset = 0.5f;
constexpr char kKernelVariable[] = "BATCHAUGMENTOR_KERNEL";

// Truncation into a signed 64-bit index that saturates: NaN gives 0. Only the
// extremes matter, since floor or ceiling has been applied before.
std::int64_t to_index(float f) {
  if (std::isnan(f)) return 0;
  if (f >= 9.22337204e18f) return std::numeric_limits<std::int64_t>::max();
  if (f <= -9.22337204e18f) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(f);
}

// Exact conversions: an index below 2^33 fits a signed 64-bit integer, whose
// conversion rounds to nearest.
float to_float(std::uint64_t i) { return static_cast<float>(static_cast<std::int64_t>(i)); }

struct Scale {
  float ratio;
  float stretch;
  float support;
};

Scale scale_of(std::uint32_t n_src, std::uint32_t n_dst) {
  float ratio = to_float(n_src) / to_float(n_dst);
  float stretch = 1.0f > ratio ? 1.0f : ratio;
  return {ratio, stretch, kSupport * stretch};
}

struct Bounds {
  std::uint64_t left;
  std::uint64_t right;
  float centre;
};

Bounds bounds_of(const Scale& scale, std::uint32_t n_src, std::uint64_t o) {
  float c = (to_float(o) + kCentreOffset) * scale.ratio;
  std::int64_t left = to_index(std::floor(c - scale.support));
  std::uint64_t l = left < 0 ? 0 : static_cast<std::uint64_t>(left);
  if (l > n_src - 1u) l = n_src - 1u;
  std::int64_t right = to_index(std::ceil(scale.support + c));
  std::uint64_t r;
  if (right <= static_cast<std::int64_t>(l)) {
    r = l + 1;
  } else {
    r = static_cast<std::uint64_t>(right) < n_src ? static_cast<std::uint64_t>(right) : n_src;
  }
  return {l, r, c};
}

// Fills w[0, count) for one window. The sum runs in tap order over the raw
// weights and each weight is then divided by it; both orders are part of the
// result.
void fill_weights(const Scale& scale, const Bounds& b, float* w) {
  float centre = b.centre - kCentreOffset;
  std::uint64_t count = b.right - b.left;
  float sum = 0.0f;
  for (std::uint64_t k = 0; k < count; ++k) {
    float x = (to_float(b.left + k) - centre) / scale.stretch;
    w[k] = lanczos3_weight(x);
    sum = sum + w[k];
  }
  if (!(sum > 0.0f)) {
    // Past 2^24 samples an axis's float positions are coarser than a pixel,
    // and the clamped window at the far edge can miss the filter's main lobe
    // entirely; dividing by a zero or negative sum would turn the pixels into
    // NaN or noise. Take the nearest source sample instead.
    std::uint64_t nearest = 0;
    float best = std::numeric_limits<float>::infinity();
    for (std::uint64_t k = 0; k < count; ++k) {
      float d = std::fabs(to_float(b.left + k) - centre);
      if (d < best) {
        best = d;
        nearest = k;
      }
      w[k] = 0.0f;
    }
    w[nearest] = 1.0f;
    return;
  }
  for (std::uint64_t k = 0; k < count; ++k) w[k] = w[k] / sum;
}

bool checked_add(std::size_t a, std::size_t b, std::size_t* out) {
  return !__builtin_add_overflow(a, b, out);
}

// The sums of one vertical window over a whole source row: out[i] for every
// sample i of the row. Taps run outer so that each sample keeps its own
// order of operations; the first product starts the sum (adding it to 0.0
// could only change the sign of a zero, which no output byte can see).
void vertical_row(const RgbRows& source, const SampleWindow& win, float* out) {
  std::size_t n = static_cast<std::size_t>(source.width) * 3;
  const std::uint8_t* first = source.row(win.left);
  float w0 = win.weights[0];
  for (std::size_t i = 0; i < n; ++i) out[i] = w0 * static_cast<float>(first[i]);
  for (std::uint64_t k = 1; k < win.count; ++k) {
    const std::uint8_t* row = source.row(win.left + k);
    float w = win.weights[k];
    for (std::size_t i = 0; i < n; ++i) out[i] = out[i] + w * static_cast<float>(row[i]);
  }
}

// The unrounded result of the reference's vertical pass, three floats per
// pixel, row-major. The filtered constant alpha lane of the classic four-lane
// layout is left out: it never reaches an output byte.
class FloatRaster {
 public:
  static Outcome<FloatRaster> allocate(std::uint32_t width, std::uint32_t height) {
    std::size_t samples, bytes;
    if (!checked_mul(static_cast<std::size_t>(width) * 3, height, &samples) ||
        !checked_mul(samples, sizeof(float), &bytes)) {
      return OperationError::out_of_memory();
    }
    auto buffer = OwnedBuffer::allocate(bytes);
    if (!buffer.ok()) return buffer.error();
    FloatRaster r;
    r.bytes_ = std::move(buffer).value();
    r.width_ = width;
    r.height_ = height;
    return r;
  }

  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  float* samples() { return reinterpret_cast<float*>(bytes_.data()); }
  const float* samples() const { return reinterpret_cast<const float*>(bytes_.data()); }

 private:
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  OwnedBuffer bytes_;
};

Outcome<FloatRaster> vertical_pass_with(const RgbRows& source, const AxisWindows& windows) {
  auto raster = FloatRaster::allocate(source.width, static_cast<std::uint32_t>(windows.size()));
  if (!raster.ok()) return raster.error();
  FloatRaster& out = raster.value();
  std::size_t row_floats = static_cast<std::size_t>(source.width) * 3;
  for (std::size_t oy = 0; oy < windows.size(); ++oy) {
    vertical_row(source, windows[oy], out.samples() + oy * row_floats);
  }
  return raster;
}

void horizontal_pass_into(const FloatRaster& in, const AxisWindows& windows, std::uint8_t* dst) {
  std::size_t in_row = static_cast<std::size_t>(in.width()) * 3;
  std::size_t out_row = windows.size() * 3;
  for (std::size_t y = 0; y < in.height(); ++y) {
    const float* row = in.samples() + y * in_row;
    std::uint8_t* out = dst + y * out_row;
    for (std::size_t ox = 0; ox < windows.size(); ++ox) {
      SampleWindow win = windows[ox];
      const float* p = row + win.left * 3;
      float t0 = win.weights[0] * p[0];
      float t1 = win.weights[0] * p[1];
      float t2 = win.weights[0] * p[2];
      for (std::uint64_t k = 1; k < win.count; ++k) {
        float w = win.weights[k];
        t0 = t0 + w * p[3 * k];
        t1 = t1 + w * p[3 * k + 1];
        t2 = t2 + w * p[3 * k + 2];
      }
      out[3 * ox] = internal::to_byte(t0);
      out[3 * ox + 1] = internal::to_byte(t1);
      out[3 * ox + 2] = internal::to_byte(t2);
    }
  }
}

// Narrowest first; the portable path first of all. A new instruction set is
// one file exporting its run (and support test) plus one line here.
constexpr KernelPath kPaths[] = {
    {"scalar", [] { return true; }, internal::run_scalar},
#if defined(__x86_64__) || defined(__i386__)
    {"avx2", internal::avx2_supported, internal::run_avx2},
#endif
};

const KernelPath& widest_supported() {
  for (std::size_t i = std::size(kPaths); i-- > 1;) {
    if (kPaths[i].supported()) return kPaths[i];
  }
  return kPaths[0];
}

// A named path the processor runs; anything else gets the widest it runs.
const KernelPath& read_kernel_choice() {
  auto forced = platform::get_env(kKernelVariable);
  if (forced) {
    const KernelPath* named = find_kernel(*forced);
    if (named != nullptr && named->supported()) return *named;
  }
  return widest_supported();
}

}  // namespace

Outcome<> internal::BandBuffers::allocate(const Sizes& sizes) {
  auto made_columns = OwnedBuffer::allocate_zeroed(sizes.columns);
  if (!made_columns.ok()) return made_columns.error();
  auto made_tile = OwnedBuffer::allocate(sizes.tile);
  if (!made_tile.ok()) return made_tile.error();
  auto made_sums = OwnedBuffer::allocate_zeroed(sizes.sums);
  if (!made_sums.ok()) return made_sums.error();
  auto made_bytes = OwnedBuffer::allocate_zeroed(sizes.bytes);
  if (!made_bytes.ok()) return made_bytes.error();
  auto made_gathered = OwnedBuffer::allocate(sizes.gathered);
  if (!made_gathered.ok()) return made_gathered.error();
  columns = std::move(made_columns).value();
  tile = std::move(made_tile).value();
  sums = std::move(made_sums).value();
  bytes = std::move(made_bytes).value();
  gathered = std::move(made_gathered).value();
  return Done{};
}

Outcome<RgbRaster> RgbRaster::allocate(std::uint32_t width, std::uint32_t height) {
  std::size_t bytes;
  if (!checked_mul(static_cast<std::size_t>(width) * 3, height, &bytes)) {
    return OperationError::out_of_memory();
  }
  auto buffer = OwnedBuffer::allocate(bytes);
  if (!buffer.ok()) return buffer.error();
  RgbRaster r;
  r.bytes_ = std::move(buffer).value();
  r.width_ = width;
  r.height_ = height;
  return r;
}

float lanczos3_weight(float x) {
  if (!(std::fabs(x) < kSupport)) return 0.0f;
  float first = 1.0f;
  if (x != 0.0f) {
    float p = x * kPi;
    first = sine(p) / p;
  }
  float y = x / kSupport;
  float second = 1.0f;
  if (y != 0.0f) {
    float q = y * kPi;
    second = sine(q) / q;
  }
  return first * second;
}

Outcome<AxisWindows> AxisWindows::compute(std::uint32_t n_src, std::uint32_t n_dst) {
  Scale scale = scale_of(n_src, n_dst);
  AxisWindows w;
  std::size_t entry_bytes;
  if (!checked_mul(static_cast<std::size_t>(n_dst) * 3, sizeof(std::uint64_t), &entry_bytes)) {
    return OperationError::out_of_memory();
  }
  auto entry_buffer = OwnedBuffer::allocate(entry_bytes);
  if (!entry_buffer.ok()) return entry_buffer.error();
  w.entries_ = std::move(entry_buffer).value();
  auto* entries = reinterpret_cast<std::uint64_t*>(w.entries_.data());

  // Sizes first, so the weight table is one allocation checked up front.
  std::size_t total = 0;
  for (std::uint64_t o = 0; o < n_dst; ++o) {
    Bounds b = bounds_of(scale, n_src, o);
    entries[3 * o] = b.left;
    entries[3 * o + 1] = b.right - b.left;
    entries[3 * o + 2] = total;
    if (!checked_add(total, b.right - b.left, &total)) return OperationError::out_of_memory();
  }
  std::size_t weight_bytes;
  if (!checked_mul(total, sizeof(float), &weight_bytes)) return OperationError::out_of_memory();
  auto weight_buffer = OwnedBuffer::allocate(weight_bytes);
  if (!weight_buffer.ok()) return weight_buffer.error();
  w.weights_ = std::move(weight_buffer).value();
  auto* weights = reinterpret_cast<float*>(w.weights_.data());
  // Taps at a window's edges whose weight is exactly zero (samples 3 or
  // more filter units from the centre: when enlarging, most windows span
  // seven samples and one of them lies that far) are left out. Every sum
  // keeps its value: a trailing
  // zero tap adds +-0, and a leading one only puts a +-0 before the first
  // real product; either can at most change the sign of a zero, which no
  // output byte can see.
  std::uint64_t kept = 0;
  for (std::uint64_t o = 0; o < n_dst; ++o) {
    std::uint64_t* e = entries + 3 * o;
    float* wo = weights + e[2];
    fill_weights(scale, bounds_of(scale, n_src, o), wo);
    std::uint64_t first = 0, end = e[1];
    while (end - first > 1 && wo[first] == 0.0f) ++first;
    while (end - first > 1 && wo[end - 1] == 0.0f) --end;
    e[0] += first;
    e[1] = end - first;
    e[2] += first;
    kept += e[1];
  }
  w.taps_ = kept;
  w.n_dst_ = n_dst;
  return w;
}

Outcome<> internal::resample_reference(const RgbRows& source, std::uint32_t width,
                                       std::uint32_t height, std::uint8_t* dst) {
  std::size_t row_bytes = static_cast<std::size_t>(width) * 3;
  if (source.width == 0 || source.height == 0) {
    std::memset(dst, 0, row_bytes * height);
    return Done{};
  }
  if (source.width == width && source.height == height) {
    for (std::size_t y = 0; y < height; ++y) std::memcpy(dst + y * row_bytes, source.row(y), row_bytes);
    return Done{};
  }
  auto vertical = AxisWindows::compute(source.height, height);
  if (!vertical.ok()) return vertical.error();
  auto horizontal = AxisWindows::compute(source.width, width);
  if (!horizontal.ok()) return horizontal.error();
  auto intermediate = vertical_pass_with(source, vertical.value());
  if (!intermediate.ok()) return intermediate.error();
  horizontal_pass_into(intermediate.value(), horizontal.value(), dst);
  return Done{};
}

std::span<const KernelPath> kernel_paths() { return kPaths; }

const KernelPath* find_kernel(std::string_view name) {
  for (const KernelPath& path : kPaths) {
    if (name == path.name) return &path;
  }
  return nullptr;
}

const KernelPath& selected_kernel() {
  static const KernelPath& kernel = read_kernel_choice();
  return kernel;
}

Outcome<ResizePlan> ResizePlan::make(std::uint32_t source_width, std::uint32_t source_height,
                                     std::uint32_t width, std::uint32_t height) {
  ResizePlan plan;
  plan.width_ = width;
  plan.height_ = height;
  plan.filtered_ = source_width != 0 && source_height != 0 &&
                   (source_width != width || source_height != height);
  if (!plan.filtered_) return plan;
  auto vertical = AxisWindows::compute(source_height, height);
  if (!vertical.ok()) return vertical.error();
  auto horizontal = AxisWindows::compute(source_width, width);
  if (!horizontal.ok()) return horizontal.error();
  plan.vertical_ = std::move(vertical).value();
  plan.horizontal_ = std::move(horizontal).value();
  // Window counts are bounded by the source axes, so neither product can
  // overflow 64 bits for an image that fits in memory.
  plan.multiply_adds_ = 3 * (plan.vertical_.taps() * source_width + plan.horizontal_.taps() * height);
  return plan;
}

Outcome<> ResizePlan::run(const RgbRows& source, std::uint8_t* dst, const KernelPath& kernel) const {
  return run_rows(source, dst, kernel, 0, height_);
}

Outcome<> ResizePlan::run_rows(const RgbRows& source, std::uint8_t* dst, const KernelPath& kernel,
                               std::uint32_t row_begin, std::uint32_t row_end) const {
  if (row_end > height_) row_end = height_;
  if (row_begin >= row_end) return Done{};
  std::size_t row_bytes = static_cast<std::size_t>(width_) * 3;
  if (!filtered_) {
    for (std::size_t y = row_begin; y < row_end; ++y) {
      if (source.width == 0 || source.height == 0) {
        std::memset(dst + y * row_bytes, 0, row_bytes);
      } else {
        std::memcpy(dst + y * row_bytes, source.row(y), row_bytes);
      }
    }
    return Done{};
  }
  // Both passes run even when one axis keeps its length: a pass at ratio 1 is
  // not an identity in single precision (sinf of a multiple of pi is not 0),
  // and its unrounded output feeds the other pass.
  return kernel.run(source, vertical_, horizontal_, width_, row_begin, row_end, dst);
}

Outcome<> resample_rgb(const RgbRows& source, std::uint32_t width, std::uint32_t height,
                       std::uint8_t* dst, const KernelPath& kernel) {
  auto plan = ResizePlan::make(source.width, source.height, width, height);
  if (!plan.ok()) return plan.error();
  return plan.value().run(source, dst, kernel);
}

}  // namespace batchaugmentor::resampling
