// Gathering the pixels of an (h, w, 3) view into packed R G B rows, at
// memory speed for the layouts users hand over most: BGR views
// (a[..., ::-1]), RGBA slices (a[..., :3]), channel planes seen as HWC
// (a CHW tensor's .transpose(1, 2, 0)), and views whose rows are not runs of
// pixels (Fortran order, a.transpose(1, 0, 2)).
//
//   RgbGather g(view);                       // the layout, classified once
//   g.row(y, x0, n, out);                    // 3n bytes: pixels [x0, x0+n) of row y
//   g.block(y0, rows, x0, n, out, stride);   // rows [y0, y0+rows), row r at out + r*stride
//   g.planes(y0, rows, x0, n, out3, stride); // the same block as three planes
//   g.prefetch(y0, rows, x0, n);             // the next block's lines, asked for early
//
// Every path gives exactly the bytes the one-sample-at-a-time walk gives
// (the scalar path is that walk); only how they are fetched differs. Vector
// loads never touch a byte outside the view's own extent, so a view ending
// at the last byte of its buffer is read safely. block() is the call for
// column layouts: it reads down the columns a tile at a time (a cache-blocked
// transpose) instead of walking a row with a stride of a whole column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/image.h"

namespace batchaugmentor::pixels {

enum class Layout {
  kPacked,    // rows are runs of R G B: strides (any, 3, 1)
  kReversed,  // a BGR buffer seen as RGB: strides (any, 3, -1)
  kSpaced,    // four bytes a pixel (RGBA or BGRA): strides (any, 4, +-1)
  kPlanar,    // one plane a channel: strides (any, 1, any)
  kColumns,   // rows are not runs of pixels: |row stride| <= 4 < |pixel stride|
  kGeneral,   // anything else, one sample at a time
};

Layout classify(const ImageView& image);

// One instruction-set path of the gathers.
struct GatherPath {
  std::string_view name;
  void (*row)(const ImageView& image, Layout layout, std::size_t y, std::size_t x0, std::size_t n,
              std::uint8_t* out);
  void (*block)(const ImageView& image, Layout layout, std::size_t y0, std::size_t rows, std::size_t x0,
                std::size_t n, std::uint8_t* out, std::size_t out_stride);
  void (*planes)(const ImageView& image, Layout layout, std::size_t y0, std::size_t rows, std::size_t x0,
                 std::size_t n, std::uint8_t* const out[3], std::size_t out_stride);
};

// Asks for the lines of a block of a column layout about to be gathered,
// without waiting for them: down a column its rows are one short run per
// channel (or one of all three), far from the next column's, and no
// hardware prefetcher follows such runs. Does nothing for other layouts.
void prefetch_block(const ImageView& image, Layout layout, std::size_t y0, std::size_t rows, std::size_t x0,
                    std::size_t n);

// The scalar path, and the widest one the processor runs (chosen once, by
// the same rule and BATCHAUGMENTOR_KERNEL setting as the resampling kernel).
const GatherPath& scalar_gather();
const GatherPath& selected_gather();
// The AVX2 path where this build has it and the processor runs it, else null.
const GatherPath* avx2_gather();

class RgbGather {
 public:
  // `image` has 3 channels.
  explicit RgbGather(const ImageView& image, const GatherPath& path = selected_gather())
      : image_(image), layout_(classify(image)), path_(&path) {}

  Layout layout() const { return layout_; }
  bool packed() const { return layout_ == Layout::kPacked; }

  void row(std::size_t y, std::size_t x0, std::size_t n, std::uint8_t* out) const {
    path_->row(image_, layout_, y, x0, n, out);
  }
  void block(std::size_t y0, std::size_t rows, std::size_t x0, std::size_t n, std::uint8_t* out,
             std::size_t out_stride) const {
    path_->block(image_, layout_, y0, rows, x0, n, out, out_stride);
  }
  // The same block as three planes: channel c's row r at out[c] + r*stride.
  void planes(std::size_t y0, std::size_t rows, std::size_t x0, std::size_t n, std::uint8_t* const out[3],
              std::size_t out_stride) const {
    path_->planes(image_, layout_, y0, rows, x0, n, out, out_stride);
  }
  void prefetch(std::size_t y0, std::size_t rows, std::size_t x0, std::size_t n) const {
    prefetch_block(image_, layout_, y0, rows, x0, n);
  }

 private:
  ImageView image_;
  Layout layout_;
  const GatherPath* path_;
};

namespace internal {
// The AVX2 path's functions, defined in gather_avx2.cpp on x86 builds.
void avx2_row(const ImageView&, Layout, std::size_t, std::size_t, std::size_t, std::uint8_t*);
void avx2_block(const ImageView&, Layout, std::size_t, std::size_t, std::size_t, std::size_t, std::uint8_t*,
                std::size_t);
void avx2_planes(const ImageView&, Layout, std::size_t, std::size_t, std::size_t, std::size_t, std::uint8_t* const[3],
                 std::size_t);
}  // namespace internal

}  // namespace batchaugmentor::pixels
