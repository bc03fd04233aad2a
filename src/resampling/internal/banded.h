// The schedule every resampling path runs, written once over a small layer of
// vector operations, so that a path is only the width of its vectors.
//
// Ops supplies, for vectors F of kLanes floats (kLanes divides 48 and is at
// most 16):
//   F load(const float* p)          kLanes floats
//   F load(const std::uint8_t* p)   kLanes bytes, each converted exactly
//   void store(float* p, F v)
//   F splat(float w)  F mul(F a, F b)  F add(F a, F b)   one rounding each
//   template <std::size_t V> void to_bytes(const F* v, std::uint8_t* out)
//                                   to_byte() of V vectors, V * kLanes bytes
//   template <std::size_t V, TileOrder O> void to_columns(const F* v, float* col, std::size_t stride)
//                                   V vectors of sums of pixels in order O:
//                                   pixel x's three to col + x * stride; may
//                                   write one further finite float after each
//   kGroup                          output columns per byte tile
//   void columns_to_rows(const std::uint8_t* tile, std::size_t samples,
//                        std::size_t rows, std::uint8_t* out, std::size_t out_row)
//                                   a byte tile of kGroup columns (column g's
//                                   row j at tile + g * samples + j * 3) to
//                                   rows [0, rows) of out, kGroup * 3 bytes
//                                   each, writing nothing else
//
// The sums are those of the plain two-pass definition: for each output
// sample, w0 * x0 first, then each further tap added in window order. What
// the schedule changes is only where and when each sum is made:
//  - Output rows are made in bands of 8 to 32. For a band, the vertical sums
//    go into a transposed intermediate (one short column of the band's rows
//    and channels per source pixel), which the horizontal pass then combines
//    whole columns at a time, the way the vertical pass combines whole rows:
//    vectors always run across samples, never across taps, and a column's
//    sums go from registers straight to bytes.
//  - The band is sized so that its intermediate stays in the core's
//    second-level cache. Taller bands would read each source row for fewer
//    bands, but the first-level misses they add cost more than the
//    instructions they save.
//  - The vertical pass walks the source in tiles of 16 pixels (48 samples):
//    each tile's bytes, from every source row the band reads, are converted
//    to float once, and every output row whose window covers them combines
//    them from that small tile, which stays in the first-level cache.
//    Shrinking, each source row serves several output rows, so conversion
//    costs a fraction of what converting per tap would. Wider tiles overflow
//    the first-level cache.
//  - Output rows of a tile, and the horizontal pass's output columns of a
//    band of 8 rows, are combined two at a time: each sum stays a chain of
//    dependent adds, and one window alone keeps too few of them in flight
//    (three vectors, in an 8-row band) to cover the add's latency, while two
//    side by side keep every adder busy and halve the loop exits, whose tap
//    counts vary from window to window.
//  - A tile's samples are converted in the order the source holds them
//    where that order is a fixed permutation of packed R G B (a BGR view's
//    reversed pixels, a planar source's runs of one channel), with no
//    shuffle: the vertical sums of a sample do not depend on where it sits
//    in the tile, and the path's to_columns puts each sum in its channel's
//    place as it writes the columns anyway.
//  - The horizontal pass makes sixteen output columns of the band at once
//    (as many rows as the band has), rounds them to bytes into a small tile,
//    and the path transposes the tile into the output rows, rather than
//    copying it out pixel by pixel with a load and a store for every three
//    bytes.
// Where the time goes, and the variants that were measured and dropped, are
// recorded in docs/performance.md ("Resize: where the time goes and what was
// tried"); a change to this schedule is judged against those figures.
//
// Rows of one output image are independent, so any range of them can be made
// on its own and give the same bytes (a large image is split across threads
// this way).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/buffer.h"
#include "common/outcome.h"
#include "pixels/gather.h"
#include "resampling/internal/kernels.h"

namespace batchaugmentor::resampling::internal {

template <class Ops>
class BandedResampler {
  using F = typename Ops::F;
  static constexpr std::size_t kLanes = Ops::kLanes;

  static constexpr std::size_t kTilePixels = 16;
  static constexpr std::size_t kTileSamples = kTilePixels * 3;
  static constexpr std::size_t kTileVectors = kTileSamples / kLanes;
  // Band rows come in groups whose samples fill whole vectors; a band holds
  // one to four groups, and the horizontal pass combines exactly its groups.
  static constexpr std::size_t kRowGroup = kLanes > 8 ? kLanes : 8;
  static constexpr std::size_t kGroupSamples = kRowGroup * 3;
  static constexpr std::size_t kMaxGroups = 32 / kRowGroup > 0 ? 32 / kRowGroup : 1;
  static constexpr std::size_t kColumnGroup = Ops::kGroup;  // output columns per byte tile
  // The core's second-level cache is 512 KiB on current desktop and server
  // parts; half of it for the intermediate leaves room for the source tiles.
  static constexpr std::size_t kBandBudgetBytes = 256 * 1024;
  // A band whose windows span more source rows than this tile holds (extreme
  // shrinks, where a tile could not stay in any cache) reads bytes straight
  // from the source instead.
  static constexpr std::size_t kMaxTileBytes = 256 * 1024;
  // Dozens of rows are read side by side, more streams than the hardware
  // prefetcher follows; each row's next lines are asked for this far ahead,
  // into the second-level cache: this far ahead in every row of a band
  // would overflow the first-level one before the lines are used.
  static constexpr std::size_t kPrefetchBytes = 512;
  // Tiles of a column layout whose lines are asked for ahead of their turn.
  static constexpr std::size_t kAheadTiles = 2;

  static_assert(kTileSamples % kLanes == 0 && kGroupSamples % kLanes == 0 && kLanes <= 16);

 public:
  BandedResampler(const RgbRows& source, const AxisWindows& vertical,
                  const AxisWindows& horizontal, std::uint32_t width, std::uint8_t* dst)
      : source_(source), vertical_(vertical), horizontal_(horizontal), width_(width), dst_(dst) {
    if (source.columns()) {
      gather_ = &pixels::selected_gather();
      layout_ = pixels::classify(column_view());
    }
  }

  Outcome<> run(std::uint32_t row_begin, std::uint32_t row_end) {
    if (row_begin >= row_end) return Done{};
    Outcome<> buffers = allocate(row_begin, row_end);
    if (!buffers.ok()) return buffers;
    for (std::size_t y0 = row_begin; y0 < row_end; y0 += band_) {
      const std::size_t rows = smaller(band_, row_end - y0);
      vertical_band(y0, rows);
      horizontal_band(y0, rows);
    }
    return Done{};
  }

 private:
  // V vectors of sums over the taps of one window, handed to sink while still
  // in registers; the first product starts each sum (adding it to 0.0 could
  // only change the sign of a zero, which no output byte can see).
  template <std::size_t V, class T, class Sink>
  static void combine(const T* first, std::ptrdiff_t stride, const float* w, std::uint64_t taps,
                      Sink&& sink) {
    F acc[V];
    F wk = Ops::splat(w[0]);
    for (std::size_t v = 0; v < V; ++v) acc[v] = Ops::mul(wk, Ops::load(first + v * kLanes));
    const T* p = first;
    for (std::uint64_t k = 1; k < taps; ++k) {
      p += stride;
      wk = Ops::splat(w[k]);
      for (std::size_t v = 0; v < V; ++v) {
        acc[v] = Ops::add(acc[v], Ops::mul(wk, Ops::load(p + v * kLanes)));
      }
    }
    sink(acc);
  }

  // Two windows' sums side by side, each in its own window order, so that
  // twice as many independent sums are in flight: a band of 8 rows gives
  // only three vectors per window, too few to cover the add's latency.
  template <std::size_t V, class SinkA, class SinkB>
  static void combine_pair(const float* a, const float* wa, std::uint64_t na, const float* b,
                           const float* wb, std::uint64_t nb, std::ptrdiff_t stride, SinkA&& sink_a,
                           SinkB&& sink_b) {
    F acc_a[V], acc_b[V];
    F ka = Ops::splat(wa[0]);
    F kb = Ops::splat(wb[0]);
    for (std::size_t v = 0; v < V; ++v) {
      acc_a[v] = Ops::mul(ka, Ops::load(a + v * kLanes));
      acc_b[v] = Ops::mul(kb, Ops::load(b + v * kLanes));
    }
    const std::uint64_t both = na < nb ? na : nb;
    std::uint64_t k = 1;
    for (; k < both; ++k) {
      a += stride;
      b += stride;
      ka = Ops::splat(wa[k]);
      kb = Ops::splat(wb[k]);
      for (std::size_t v = 0; v < V; ++v) {
        acc_a[v] = Ops::add(acc_a[v], Ops::mul(ka, Ops::load(a + v * kLanes)));
        acc_b[v] = Ops::add(acc_b[v], Ops::mul(kb, Ops::load(b + v * kLanes)));
      }
    }
    for (std::uint64_t j = k; j < na; ++j) {
      a += stride;
      ka = Ops::splat(wa[j]);
      for (std::size_t v = 0; v < V; ++v) acc_a[v] = Ops::add(acc_a[v], Ops::mul(ka, Ops::load(a + v * kLanes)));
    }
    for (std::uint64_t j = k; j < nb; ++j) {
      b += stride;
      kb = Ops::splat(wb[j]);
      for (std::size_t v = 0; v < V; ++v) acc_b[v] = Ops::add(acc_b[v], Ops::mul(kb, Ops::load(b + v * kLanes)));
    }
    sink_a(acc_a);
    sink_b(acc_b);
  }

  template <std::size_t V, class T>
  static void combine_into(const T* first, std::ptrdiff_t stride, const float* w,
                           std::uint64_t taps, float* out) {
    combine<V>(first, stride, w, taps, [out](const F* acc) {
      for (std::size_t v = 0; v < V; ++v) Ops::store(out + v * kLanes, acc[v]);
    });
  }

  // One output row of a whole tile, from its sums in registers straight
  // into the tile's columns: a pixel's three sums go to its column at the
  // row's place. Rows go in ascending order, so whatever a store writes past
  // its three sums is overwritten by the next row's or lands in the spare
  // slot. Storing the row first and copying it over pixel by pixel would
  // cost a second pass over every sum.
  template <TileOrder kOrder = TileOrder::kPacked, class T>
  void combine_into_columns(const T* first, std::ptrdiff_t stride, const SampleWindow& win,
                            std::size_t p0, std::size_t j) {
    combine<kTileVectors>(first, stride, win.weights, win.count, column_sink<kOrder>(p0, j));
  }

  // Where a tile row's sums go: output row j's place in the columns of the
  // tile's pixels from p0 on.
  template <TileOrder kOrder>
  auto column_sink(std::size_t p0, std::size_t j) {
    float* col = columns() + p0 * stride_ + j * 3;
    const std::size_t col_stride = stride_;
    return [col, col_stride](const F* acc) { Ops::template to_columns<kTileVectors, kOrder>(acc, col, col_stride); };
  }

  template <class Fn>
  static void with_groups(std::size_t groups, Fn&& fn) {
    switch (groups) {
      case 1: fn.template operator()<1>(); break;
      case 2: if constexpr (kMaxGroups >= 2) fn.template operator()<2>(); break;
      case 3: if constexpr (kMaxGroups >= 3) fn.template operator()<3>(); break;
      default: if constexpr (kMaxGroups >= 4) fn.template operator()<4>(); break;
    }
  }

  // Local helpers rather than std::min and friends: this header is compiled
  // once per instruction set, and a shared out-of-line copy of a library
  // template could be taken from a file built for a wider one.
  static std::size_t smaller(std::size_t a, std::size_t b) { return a < b ? a : b; }
  static std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

  // The source rows a band of output rows reads: [lo, hi).
  struct RowSpan {
    std::uint64_t lo, hi;
  };

  RowSpan span_of(std::size_t y0, std::size_t rows) const {
    RowSpan s{vertical_[y0].left, vertical_[y0].left + vertical_[y0].count};
    for (std::size_t j = 1; j < rows; ++j) {
      SampleWindow w = vertical_[y0 + j];
      s.lo = w.left < s.lo ? w.left : s.lo;
      s.hi = w.left + w.count > s.hi ? w.left + w.count : s.hi;
    }
    return s;
  }

  Outcome<> allocate(std::uint32_t row_begin, std::uint32_t row_end) {
    const std::size_t src_w = source_.width;
    // Column layouts take bands twice as tall: each band transposes its
    // source rows anew, and rows that neighbouring bands' windows share are
    // transposed once for each (over 40% of them in a halving from 1080
    // rows with bands of 8). Measured against contiguous, 1080p -> 540p
    // went from 1.56x to 1.28x; four times as tall, 1.23x, but 1080p -> 224
    // lost more than that gained (1.39x -> 1.46x).
    band_ = (source_.columns() ? 2 : 1) * kBandBudgetBytes / (src_w * 3 * sizeof(float) + 1);
    band_ = band_ / kRowGroup * kRowGroup;
    if (band_ < kRowGroup) band_ = kRowGroup;
    band_ = smaller(band_, kRowGroup * kMaxGroups);
    band_ = smaller(band_, round_up(row_end - row_begin, kRowGroup));
    // Room for the one float that a pixel's 16-byte store spills past the
    // band's last row, and whole vectors after it.
    stride_ = round_up(band_ * 3 + 1, 8);

    std::uint64_t widest = 0;
    for (std::size_t y0 = row_begin; y0 < row_end; y0 += band_) {
      RowSpan s = span_of(y0, smaller(band_, row_end - y0));
      if (s.hi - s.lo > widest) widest = s.hi - s.lo;
    }
    tiled_ = widest <= kMaxTileBytes / (kTileSamples * sizeof(float));

    BandBuffers::Sizes sizes;
    if (!checked_mul(src_w, stride_ * sizeof(float), &sizes.columns)) return OperationError::out_of_memory();
    // The other sizes are bounded by the constants above.
    sizes.tile = tiled_ ? widest * kTileSamples * sizeof(float) : 0;
    sizes.sums = (band_ * kTileSamples + kLanes) * sizeof(float);
    // The 8 spare bytes: a path may read a little past the last column.
    sizes.bytes = kColumnGroup * round_up(band_ * 3, kGroupSamples) + 8;
    sizes.gathered = tiled_ && source_.columns() ? widest * kTileSamples : 0;
    return buffers_.allocate(sizes);
  }

  float* columns() { return reinterpret_cast<float*>(buffers_.columns.data()); }

  // One tile's bytes from every row of the span, converted to floats. Only
  // locals in the loop: the compiler cannot keep members in registers across
  // the float stores, and this loop runs once per source row per tile.
  static void convert_tile(const std::uint8_t* first, std::ptrdiff_t row_stride, std::size_t rows, float* tile) {
    for (std::size_t r = 0; r < rows; ++r) {
      const std::uint8_t* in = first + static_cast<std::ptrdiff_t>(r) * row_stride;
      float* t = tile + r * kTileSamples;
      __builtin_prefetch(in + kPrefetchBytes, 0, 2);  // past the row's end is harmless
      for (std::size_t v = 0; v < kTileVectors; ++v) Ops::store(t + v * kLanes, Ops::load(in + v * kLanes));
    }
  }

  // Four-byte pixels, which the path converts to planar order itself.
  static constexpr bool kConvertsSpaced = requires(const std::uint8_t* p, float* t) { Ops::template spaced16<false>(p, t); };
  static bool spaced(const RgbRows& s) { return s.pixel_stride == 4 && (s.channel_stride == 1 || s.channel_stride == -1); }

  // The tile order a source is converted in directly, if any: packed rows,
  // reversed pixels, and planes without shuffles; four-byte pixels with
  // fewer than packing them takes, where the path can.
  static bool direct_order(const RgbRows& s, TileOrder* order) {
    if (s.packed()) {
      *order = TileOrder::kPacked;
    } else if (s.pixel_stride == 3 && s.channel_stride == -1) {
      *order = TileOrder::kReversed;
    } else if (s.pixel_stride == 1 || (kConvertsSpaced && spaced(s))) {
      *order = TileOrder::kPlanar;
    } else {
      return false;
    }
    return true;
  }

  // One tile's samples from every row of the span, in tile order kOrder.
  template <TileOrder kOrder>
  void convert_in_order(std::uint64_t first_row, std::size_t rows, std::size_t p0, float* tile) const {
    const std::uint8_t* red = source_.row(first_row) + static_cast<std::ptrdiff_t>(p0) * source_.pixel_stride;
    if constexpr (kOrder == TileOrder::kPacked) {
      convert_tile(red, source_.row_stride, rows, tile);
    } else if constexpr (kOrder == TileOrder::kReversed) {
      convert_tile(red - 2, source_.row_stride, rows, tile);  // from the first pixel's blue
    } else if (spaced(source_)) {
      if constexpr (kConvertsSpaced) {
        const bool reversed = source_.channel_stride < 0;
        const std::uint8_t* lowest = reversed ? red - 2 : red;
        for (std::size_t r = 0; r < rows; ++r, lowest += source_.row_stride) {
          __builtin_prefetch(lowest + kPrefetchBytes / 3 * 2, 0, 2);
          if (reversed) {
            Ops::template spaced16<true>(lowest, tile + r * kTileSamples);
          } else {
            Ops::template spaced16<false>(lowest, tile + r * kTileSamples);
          }
        }
      }
    } else {
      const std::ptrdiff_t plane = source_.channel_stride;
      // Each tile reads a quarter of a line of each plane: one plane's
      // line is asked for per tile and row, the planes in turn, which
      // reaches every line (a plane moves on 48 bytes in three tiles) with
      // as few requests in flight as a packed row makes.
      const std::ptrdiff_t asked = static_cast<std::ptrdiff_t>(p0 / kTilePixels % 3) * plane + kPrefetchBytes / 3;
      for (std::size_t r = 0; r < rows; ++r, red += source_.row_stride) {
        float* t = tile + r * kTileSamples;
        __builtin_prefetch(red + asked, 0, 2);
        for (std::size_t h = 0; h < kTilePixels / kLanes; ++h) {
          for (std::size_t c = 0; c < 3; ++c) {
            Ops::store(t + (3 * h + c) * kLanes,
                       Ops::load(red + static_cast<std::ptrdiff_t>(c) * plane + static_cast<std::ptrdiff_t>(h * kLanes)));
          }
        }
      }
    }
  }

  // The same, in planar order, for a column layout: the tile's rows
  // transposed into three planes by the gather's blocked transpose (called
  // through its table, which holds no code built for this path's
  // instruction set), then converted like a planar source's runs.
  void convert_column_tile(std::uint64_t first_row, std::size_t rows, std::size_t p0, float* tile) {
    // The first tiles of a band have had no earlier tile to ask for them.
    if (p0 == 0) pixels::prefetch_block(column_view(), layout_, first_row, rows, 0, kAheadTiles * kTilePixels);
    std::uint8_t* bytes = buffers_.gathered.data();
    std::uint8_t* const planes[3] = {bytes, bytes + rows * kTilePixels, bytes + 2 * rows * kTilePixels};
    gather_->planes(column_view(), layout_, first_row, rows, p0, kTilePixels, planes, kTilePixels);
    for (std::size_t r = 0; r < rows; ++r) {
      float* t = tile + r * kTileSamples;
      for (std::size_t h = 0; h < kTilePixels / kLanes; ++h) {
        for (std::size_t c = 0; c < 3; ++c) {
          Ops::store(t + (3 * h + c) * kLanes, Ops::load(planes[c] + r * kTilePixels + h * kLanes));
        }
      }
    }
  }

  ImageView column_view() const {
    return ImageView{source_.data,
                     {source_.height, source_.width, 3},
                     {source_.row_stride, source_.pixel_stride, source_.channel_stride}};
  }

  // The same, packed, for any other layout the kernel reads in place: each
  // row's sixteen pixels are gathered as packed bytes (by Ops::gather16
  // where the path has shuffles for the layout, else one sample at a time)
  // and converted, so the floats, and every sum after them, are those of
  // the packed image.
  void convert_gathered_tile(std::uint64_t first_row, std::size_t rows, std::size_t p0, float* tile) const {
    const std::ptrdiff_t ps = source_.pixel_stride, cs = source_.channel_stride;
    for (std::size_t r = 0; r < rows; ++r) {
      const std::uint8_t* red = source_.row(first_row + r) + static_cast<std::ptrdiff_t>(p0) * ps;
      float* t = tile + r * kTileSamples;
      // As far ahead in pixels as the packed path asks for.
      __builtin_prefetch(red + static_cast<std::ptrdiff_t>(kPrefetchBytes / 3) * ps);
      if constexpr (requires { Ops::gather16(red, ps, cs, t); }) {
        if (Ops::gather16(red, ps, cs, t)) continue;
      }
      std::uint8_t run[kTileSamples];
      for (std::size_t i = 0; i < kTilePixels; ++i) {
        for (std::size_t c = 0; c < 3; ++c) {
          run[3 * i + c] = red[static_cast<std::ptrdiff_t>(i) * ps + static_cast<std::ptrdiff_t>(c) * cs];
        }
      }
      for (std::size_t v = 0; v < kTileVectors; ++v) Ops::store(t + v * kLanes, Ops::load(run + v * kLanes));
    }
  }

  // Sample i of a row's run of pixels from p0 (i = 3 * pixel + channel).
  const std::uint8_t* sample(std::uint64_t row, std::size_t p0, std::size_t i) const {
    return source_.row(row) + static_cast<std::ptrdiff_t>(p0 + i / 3) * source_.pixel_stride +
           static_cast<std::ptrdiff_t>(i % 3) * source_.channel_stride;
  }

  // Vertical sums of a band into the transposed intermediate.
  void vertical_band(std::size_t y0, std::size_t rows) {
    TileOrder order = TileOrder::kPacked;
    if (!direct_order(source_, &order)) {
      // Column layouts are transposed into planes, others gathered packed.
      if (source_.columns()) {
        vertical_band<TileOrder::kPlanar, true>(y0, rows, false);
      } else {
        vertical_band<TileOrder::kPacked>(y0, rows, false);
      }
      return;
    }
    switch (order) {
      case TileOrder::kPacked: vertical_band<TileOrder::kPacked>(y0, rows, true); break;
      case TileOrder::kReversed: vertical_band<TileOrder::kReversed>(y0, rows, true); break;
      case TileOrder::kPlanar: vertical_band<TileOrder::kPlanar>(y0, rows, true); break;
    }
  }

  // The same with whole tiles in order kOrder: converted that way when
  // `in_order`, else transposed into planes (kColumns) or gathered into
  // packed order.
  template <TileOrder kOrder, bool kColumns = false>
  void vertical_band(std::size_t y0, std::size_t rows, bool in_order) {
    const RowSpan span = span_of(y0, rows);
    auto* tile = reinterpret_cast<float*>(buffers_.tile.data());
    auto* sums = reinterpret_cast<float*>(buffers_.sums.data());
    for (std::size_t p0 = 0; p0 < source_.width; p0 += kTilePixels) {
      const std::size_t pixels = smaller(kTilePixels, source_.width - p0);
      if (pixels == kTilePixels && tiled_) {
        if (in_order) {
          convert_in_order<kOrder>(span.lo, span.hi - span.lo, p0, tile);
        } else if constexpr (kColumns) {
          convert_column_tile(span.lo, span.hi - span.lo, p0, tile);
        } else {
          convert_gathered_tile(span.lo, span.hi - span.lo, p0, tile);
        }
        // A column layout's tile kAheadTiles on is asked for a few columns
        // at a time between this tile's sums: its columns lie far from
        // these and from each other (a column's rows are one run per
        // channel, or one of all three), no hardware prefetcher follows
        // them, and a whole tile's lines asked for at once would wait for
        // fill buffers.
        std::size_t asked = 0;
        auto ask = [&](std::size_t until) {
          if constexpr (kColumns) {
            const std::size_t x = p0 + kAheadTiles * kTilePixels + asked;
            if (until > asked && x < source_.width) {
              pixels::prefetch_block(column_view(), layout_, span.lo, span.hi - span.lo, x, until - asked);
            }
            asked = until;
          }
        };
        const std::size_t pairs = rows / 2;
        std::size_t j = 0;
        for (; j + 2 <= rows; j += 2) {
          ask((j / 2 + 1) * kTilePixels / pairs);
          SampleWindow wa = vertical_[y0 + j];
          SampleWindow wb = vertical_[y0 + j + 1];
          // Row j's sink runs first: its stores' spare float lands in row
          // j + 1's place, which that row's own stores then overwrite.
          combine_pair<kTileVectors>(tile + (wa.left - span.lo) * kTileSamples, wa.weights, wa.count,
                                     tile + (wb.left - span.lo) * kTileSamples, wb.weights, wb.count,
                                     kTileSamples, column_sink<kOrder>(p0, j), column_sink<kOrder>(p0, j + 1));
        }
        for (; j < rows; ++j) {
          SampleWindow win = vertical_[y0 + j];
          combine_into_columns<kOrder>(tile + (win.left - span.lo) * kTileSamples, kTileSamples, win, p0, j);
        }
        ask(kTilePixels);
        continue;
      } else if (pixels == kTilePixels && source_.packed()) {
        for (std::size_t j = 0; j < rows; ++j) {
          SampleWindow win = vertical_[y0 + j];
          combine_into_columns(source_.row(win.left) + p0 * 3, source_.row_stride, win, p0, j);
        }
        continue;
      } else {
        // The row's last pixels (no vector load may pass its end), or the
        // pixels of rows not packed that no tile can hold: the same
        // operations one sample at a time.
        for (std::size_t j = 0; j < rows; ++j) {
          SampleWindow win = vertical_[y0 + j];
          float* s = sums + j * kTileSamples;
          for (std::size_t i = 0; i < pixels * 3; ++i) {
            const std::uint8_t* p = sample(win.left, p0, i);
            float t = win.weights[0] * static_cast<float>(*p);
            for (std::uint64_t k = 1; k < win.count; ++k) {
              p += source_.row_stride;
              t = t + win.weights[k] * static_cast<float>(*p);
            }
            s[i] = t;
          }
        }
      }
      // The row's last pixels: transpose into the columns. Each 16-byte copy carries one float too
      // many; rows go in ascending order, so the extra float is overwritten
      // by the next row's red sum or lands in the column's spare slot.
      for (std::size_t j = 0; j < rows; ++j) {
        float* col = columns() + p0 * stride_ + j * 3;
        const float* s = sums + j * kTileSamples;
        for (std::size_t x = 0; x < pixels; ++x) std::memcpy(col + x * stride_, s + x * 3, 4 * sizeof(float));
      }
    }
  }

  // Horizontal sums of a band, kColumnGroup output columns at a time, rounded
  // into a small byte tile straight from the registers, then written out row
  // by row. Reading the tile only after the whole group keeps the 4-byte
  // reads clear of stores still in flight, and makes the writes sequential.
  void horizontal_band(std::size_t y0, std::size_t rows) {
    with_groups((rows + kRowGroup - 1) / kRowGroup, [&]<std::size_t G>() { horizontal_band<G>(y0, rows); });
  }

  template <std::size_t G>
  void horizontal_band(std::size_t y0, std::size_t rows) {
    constexpr std::size_t samples = G * kGroupSamples;
    constexpr std::size_t V = samples / kLanes;
    std::uint8_t* tile = buffers_.bytes.data();
    const std::size_t out_row = static_cast<std::size_t>(width_) * 3;
    std::uint8_t* out = dst_ + y0 * out_row;
    const auto stride = static_cast<std::ptrdiff_t>(stride_);
    for (std::size_t ox0 = 0; ox0 < width_; ox0 += kColumnGroup) {
      const std::size_t group = smaller(kColumnGroup, width_ - ox0);
      // The band's output rows are written side by side, more streams than
      // the hardware prefetcher follows: ask for the lines two groups ahead
      // while this one is computed. An enlarge's result is too large for any
      // cache, so its lines come from memory.
      if (ox0 + 2 * kColumnGroup < width_) {
        for (std::size_t j = 0; j < rows; ++j) __builtin_prefetch(out + j * out_row + (ox0 + 2 * kColumnGroup) * 3, 1);
      }
      std::size_t g = 0;
      if constexpr (V < 6) {  // see combine_pair
        for (; g + 2 <= group; g += 2) {
          SampleWindow wa = horizontal_[ox0 + g];
          SampleWindow wb = horizontal_[ox0 + g + 1];
          std::uint8_t* ba = tile + g * samples;
          std::uint8_t* bb = ba + samples;
          combine_pair<V>(columns() + wa.left * stride_, wa.weights, wa.count,
                          columns() + wb.left * stride_, wb.weights, wb.count, stride,
                          [ba](const F* acc) { Ops::template to_bytes<V>(acc, ba); },
                          [bb](const F* acc) { Ops::template to_bytes<V>(acc, bb); });
        }
      }
      for (; g < group; ++g) {
        SampleWindow win = horizontal_[ox0 + g];
        std::uint8_t* bytes = tile + g * samples;
        combine<V>(columns() + win.left * stride_, stride, win.weights, win.count,
                   [bytes](const F* acc) { Ops::template to_bytes<V>(acc, bytes); });
      }
      // A whole group is transposed by the path (the enlarge case writes
      // many pixels and does little else). Otherwise four bytes per copy,
      // the fourth being the next pixel's red, which its own copy
      // overwrites; only the row's very last pixel takes three.
      if (group == kColumnGroup) {
        Ops::columns_to_rows(tile, samples, rows, out + ox0 * 3, out_row);
        continue;
      }
      const bool row_end = ox0 + group == width_;
      const std::size_t wide = row_end ? group - 1 : group;
      for (std::size_t j = 0; j < rows; ++j) {
        std::uint8_t* o = out + j * out_row + ox0 * 3;
        const std::uint8_t* t = tile + j * 3;
        for (std::size_t g = 0; g < wide; ++g) std::memcpy(o + g * 3, t + g * samples, 4);
        if (row_end) std::memcpy(o + wide * 3, t + wide * samples, 3);
      }
    }
  }

  const RgbRows& source_;
  const AxisWindows& vertical_;
  const AxisWindows& horizontal_;
  const std::uint32_t width_;
  std::uint8_t* const dst_;

  std::size_t band_ = 0;    // output rows per band
  std::size_t stride_ = 0;  // floats per column of the transposed intermediate
  bool tiled_ = false;      // false: bands read bytes straight from the source
  BandBuffers buffers_;
  // A column layout's transposing gather, and the layout it classified.
  const pixels::GatherPath* gather_ = nullptr;
  pixels::Layout layout_ = pixels::Layout::kGeneral;
};

// The entry every path exports: the schedule over its operations.
template <class Ops>
Outcome<> run_banded(const RgbRows& source, const AxisWindows& vertical, const AxisWindows& horizontal,
                     std::uint32_t width, std::uint32_t row_begin, std::uint32_t row_end,
                     std::uint8_t* dst) {
  return BandedResampler<Ops>(source, vertical, horizontal, width, dst).run(row_begin, row_end);
}

}  // namespace batchaugmentor::resampling::internal
