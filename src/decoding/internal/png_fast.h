// PNG's two paths behind png_decode: a fast one for the files datasets are
// made of, and libpng for everything else.
//
//   Outcome<FastPng> fast = png_fast_decode(content, info, options, pixels);
//   if (!fast.ok()) return fast.error();                 // out of memory
//   if (fast.value() == FastPng::kDeclined) return png_libpng_decode(content, info, options, pixels);
//
// The fast path takes 8-bit, non-interlaced grey, grey+alpha, RGB, RGBA and
// palette images whose chunks are all sound. It inflates the image data in
// one call with libdeflate (the file is in memory, so nothing needs
// streaming) and unfilters and converts each row straight into the result.
// It decodes a file only when libpng's path would give exactly the same
// pixels (but for the malformed deflate streams listed at the top of
// png_fast.cpp, which zlib refuses); anything it is not sure of (damage of any kind, chunks libpng only
// tolerates, sizes near libpng's limits) it declines before writing to the
// result, and libpng's verdict, pixels or refusal, is the answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/outcome.h"
#include "decoding/decode.h"

namespace batchaugmentor::decoding::internal {

enum class FastPng { kDecoded, kDeclined };

// `out` is written only when the result is kDecoded.
Outcome<FastPng> png_fast_decode(Content content, const ImageInfo& info, const DecodeOptions& options,
                                 std::uint8_t* out);

// libpng alone; png_decode runs it when the fast path declines, and the
// tests run it to compare the two.
Outcome<> png_libpng_decode(Content content, const ImageInfo& info, const DecodeOptions& options,
                            std::uint8_t* out);

// Reverses PNG filter `filter` (0 None, 1 Sub, 2 Up, 3 Average, 4 Paeth) on
// one row of `size` bytes with `bpp` (1-4) bytes per pixel: `src` is the
// filtered row, `prior` the unfiltered row above (zeros for the first), and
// the result goes to `dst`, which is either `src` itself or does not overlap
// it. Reads and writes only those `size` bytes of each.
using UnfilterRow = void (*)(int filter, std::size_t bpp, const std::uint8_t* src, const std::uint8_t* prior,
                             std::uint8_t* dst, std::size_t size);

// Reverses Paeth on two consecutive rows: `src0` and `src1` filtered,
// `prior` the row above the first; the results go to `dst0` and `dst1`
// (each its own source or apart from everything else), and the first row's
// result is the second row's row above.
using UnfilterPaethPair = void (*)(std::size_t bpp, const std::uint8_t* src0, const std::uint8_t* src1,
                                   const std::uint8_t* prior, std::uint8_t* dst0, std::uint8_t* dst1,
                                   std::size_t size);

struct UnfilterPath {
  const char* name;
  UnfilterRow run;
  UnfilterPaethPair paeth_pair;
};

// Every path built here, the portable one ("scalar") first; each gives the
// same bytes.
std::span<const UnfilterPath> unfilter_paths();
const UnfilterPath* find_unfilter(std::string_view name);
// The widest path, or the scalar one when BATCHAUGMENTOR_KERNEL=scalar
// (the switch that also forces the resampling and gathering kernels); read once.
const UnfilterPath& selected_unfilter();

}  // namespace batchaugmentor::decoding::internal
