// Lanczos-3 resampling of packed 8-bit RGB pixels, reproducible value for
// value.
//
//   RgbRows src{pixels, row_stride, w, h};            // read in place
//   Outcome<> r = resample_rgb(src, 224, 224, dst);   // dst: 224 * 224 * 3 bytes
//
// resample_rgb makes the filter windows for one resize and throws them away;
// a ResizePlan keeps them for many sources of one size (see below).
//
// The filter runs separably: first down the columns (height), then along the
// rows (width), with unrounded single-precision sums in between. Every float
// operation is rounded on its own, in a fixed order (see resample.cpp); the
// instruction set only decides how many output samples are computed at once,
// never the order of the operations behind one sample, so every path gives
// the same bytes. BATCHAUGMENTOR_KERNEL names a path of kernel_paths()
// exactly ("scalar", "avx2"); unset, unknown or unsupported picks the widest
// path the processor runs.
//
// Failures are only out-of-memory: every buffer here is sized by the caller's
// image and target, so a size that overflows or cannot be allocated is an
// OperationError, never the end of the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/buffer.h"
#include "common/outcome.h"

namespace batchaugmentor::resampling {

// Rows of RGB pixels read in place: row y starts at data + y * row_stride,
// which may be negative or zero, and sample c of pixel x lies at
// x * pixel_stride + c * channel_stride from there. Packed rows (3, 1) are
// read as they are; a reversed (3, -1), four-byte (4, +-1) or planar
// (1, any) layout is gathered into packed bytes a run of pixels at a time as
// the kernel converts them, and a column layout (rows one or a few bytes
// apart) a tile at a time. Other layouts are packed by the caller first.
struct RgbRows {
  const std::uint8_t* data = nullptr;
  std::ptrdiff_t row_stride = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::ptrdiff_t pixel_stride = 3;
  std::ptrdiff_t channel_stride = 1;

  const std::uint8_t* row(std::size_t y) const {
    return data + static_cast<std::ptrdiff_t>(y) * row_stride;
  }
  bool packed() const { return pixel_stride == 3 && channel_stride == 1; }
  // Rows that are not runs of pixels (Fortran order, a transpose): tiles of
  // them are transposed into packed bytes before they are converted.
  bool columns() const {
    const auto magnitude = [](std::ptrdiff_t s) { return s < 0 ? -s : s; };
    return magnitude(row_stride) <= 4 && magnitude(pixel_stride) > 4;
  }
  // The layouts the kernel reads in place.
  bool readable() const {
    return packed() || (pixel_stride == 3 && channel_stride == -1) ||
           (pixel_stride == 4 && (channel_stride == 1 || channel_stride == -1)) || pixel_stride == 1 || columns();
  }
};

// An owned, contiguous, row-major RGB raster: channel c of pixel (x, y) is
// byte (y * width + x) * 3 + c.
class RgbRaster {
 public:
  static Outcome<RgbRaster> allocate(std::uint32_t width, std::uint32_t height);

  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  std::uint8_t* pixels() { return bytes_.data(); }
  const std::uint8_t* pixels() const { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  RgbRows rows() const {
    return {bytes_.data(), static_cast<std::ptrdiff_t>(width_) * 3, width_, height_};
  }

 private:
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  OwnedBuffer bytes_;
};

// The windowed sinc, zero outside |x| < 3 and for NaN.
float lanczos3_weight(float x);

// The source samples [left, left + count) behind one output position, with
// their normalised weights.
struct SampleWindow {
  std::uint64_t left = 0;
  std::uint64_t count = 0;
  const float* weights = nullptr;
};

// The windows of every output position of one axis, computed once per pass.
class AxisWindows {
 public:
  // n_src >= 1, n_dst >= 1.
  static Outcome<AxisWindows> compute(std::uint32_t n_src, std::uint32_t n_dst);

  std::size_t size() const { return n_dst_; }
  // The sum of every window's count.
  std::uint64_t taps() const { return taps_; }
  SampleWindow operator[](std::size_t o) const {
    const std::uint64_t* e = entries() + 3 * o;  // left, count, weight offset
    return {e[0], e[1], weights() + e[2]};
  }

 private:
  const std::uint64_t* entries() const {
    return reinterpret_cast<const std::uint64_t*>(entries_.data());
  }
  const float* weights() const { return reinterpret_cast<const float*>(weights_.data()); }

  std::size_t n_dst_ = 0;
  std::uint64_t taps_ = 0;
  OwnedBuffer entries_;
  OwnedBuffer weights_;
};

// One instruction-set path of the kernel: it fills output rows
// [row_begin, row_end) of dst (the whole image's first byte, width * 3 bytes
// per row) from the source and the plan's windows. Out of memory when a
// temporary cannot be allocated.
using KernelRun = Outcome<> (*)(const RgbRows& source, const AxisWindows& vertical,
                                const AxisWindows& horizontal, std::uint32_t width,
                                std::uint32_t row_begin, std::uint32_t row_end, std::uint8_t* dst);

struct KernelPath {
  const char* name;
  bool (*supported)();  // whether this processor runs it
  KernelRun run;
};

// Every path built for this architecture, narrowest first; the first is the
// portable one and always supported.
std::span<const KernelPath> kernel_paths();
// The path with exactly this name, or null.
const KernelPath* find_kernel(std::string_view name);
// The path chosen for this process (environment and processor), read once.
const KernelPath& selected_kernel();

// One resize from a source size to a target size with its windows computed
// once, so that many images of that size (the frames of a video) share them.
// Read-only after make(): any number of threads may run it at once.
//
//   auto plan = ResizePlan::make(src_w, src_h, 224, 224);   // out-of-memory or a plan
//   Outcome<> r = plan.value().run(rows, dst);              // dst: 224 * 224 * 3 bytes
class ResizePlan {
 public:
  // width >= 1, height >= 1.
  static Outcome<ResizePlan> make(std::uint32_t source_width, std::uint32_t source_height,
                                  std::uint32_t width, std::uint32_t height);

  // Writes the resized source into dst (width * height * 3 bytes, row-major)
  // on the given path, which must be supported. The source must have the
  // plan's source size. Out of memory when a temporary cannot be allocated;
  // dst is then left unspecified.
  Outcome<> run(const RgbRows& source, std::uint8_t* dst,
                const KernelPath& kernel = selected_kernel()) const;
  // As run, for output rows [row_begin, row_end) only: disjoint row ranges
  // may run on different threads into one dst, and give the bytes of a
  // whole run.
  Outcome<> run_rows(const RgbRows& source, std::uint8_t* dst, const KernelPath& kernel,
                     std::uint32_t row_begin, std::uint32_t row_end) const;

  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  // Multiply-adds of one run (both passes); how much a split can win.
  std::uint64_t multiply_adds() const { return multiply_adds_; }

 private:
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  bool filtered_ = false;  // neither empty nor same-size
  std::uint64_t multiply_adds_ = 0;
  AxisWindows vertical_;
  AxisWindows horizontal_;
};

// `source` resized to width x height (both >= 1) into dst (width * height *
// 3 bytes, row-major), through a plan of its own. An empty source gives
// black; a source of the target size is copied unchanged.
Outcome<> resample_rgb(const RgbRows& source, std::uint32_t width, std::uint32_t height,
                       std::uint8_t* dst, const KernelPath& kernel = selected_kernel());

}  // namespace batchaugmentor::resampling
