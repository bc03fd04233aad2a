// Pieces shared by the resampling paths; not part of the public contract.
//
// Each instruction-set path is one source file (resample_<name>.cpp) that
// instantiates the banded schedule of banded.h over its vector operations and
// exports its run and its support check, declared below; the table in
// resample.cpp lists them.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "common/buffer.h"
#include "common/outcome.h"
#include "resampling/resample.h"

namespace batchaugmentor::resampling::internal {

// The working buffers of one banded run (banded.h). Made here, in portable
// code, rather than in the header every path compiles: an out-of-line copy
// of a library template instantiated in a file built for a wider
// instruction set could be the one copy the linker keeps for every path.
struct BandBuffers {
  struct Sizes {
    std::size_t columns = 0;  // the transposed intermediate
    std::size_t tile = 0;     // converted source tiles; 0 when bands read bytes directly
    std::size_t sums = 0;     // sums of a row's last pixels
    std::size_t bytes = 0;    // the horizontal pass's byte tile
    std::size_t gathered = 0;  // a tile's bytes transposed from a column layout
  };
  // Every buffer but the tile starts zero-filled: slots no sum has written
  // are still read (lanes past a short band's rows, a path's reads past the
  // last column) and must hold finite values; they never reach the output.
  // Out of memory leaves the buffers as they were.
  Outcome<> allocate(const Sizes& sizes);

  OwnedBuffer columns;
  OwnedBuffer tile;
  OwnedBuffer sums;
  OwnedBuffer bytes;
  OwnedBuffer gathered;
};

// Where the 48 samples of a tile of 16 pixels lie in the vertical pass's
// converted rows, by which the path's to_columns finds each pixel's sums.
// Sample c of pixel x lies at:
enum class TileOrder {
  kPacked,    // 3x + c: packed R G B, or any layout gathered into it
  kReversed,  // 3x + 2 - c: a BGR buffer seen as RGB, as it lies in memory
  kPlanar,    // 3L * (x / L) + L * c + x % L, L the path's lanes: runs of L
              // samples of one channel, as L bytes of each plane are read
};

// One output byte from an unrounded sum: negative gives 0, otherwise the
// value clamped to 255 and rounded half away from zero. NaN cannot come out
// of valid windows; it gives 0 rather than an undefined conversion.
inline std::uint8_t to_byte(float t) {
  if (!(t > 0.0f)) return 0;
  return static_cast<std::uint8_t>(std::roundf(t < 255.0f ? t : 255.0f));
}

Outcome<> run_scalar(const RgbRows& source, const AxisWindows& vertical, const AxisWindows& horizontal,
                     std::uint32_t width, std::uint32_t row_begin, std::uint32_t row_end,
                     std::uint8_t* dst);

#if defined(__x86_64__) || defined(__i386__)
bool avx2_supported();
Outcome<> run_avx2(const RgbRows& source, const AxisWindows& vertical, const AxisWindows& horizontal,
                   std::uint32_t width, std::uint32_t row_begin, std::uint32_t row_end,
                   std::uint8_t* dst);
#endif

// The plain two passes, one sample at a time with a full intermediate: the
// definition every path's bytes must match. Slow; for tests.
Outcome<> resample_reference(const RgbRows& source, std::uint32_t width, std::uint32_t height,
                             std::uint8_t* dst);

}  // namespace batchaugmentor::resampling::internal
