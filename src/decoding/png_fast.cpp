// The fast PNG path (see png_fast.h). It walks the chunks itself, inflates
// the image data in one libdeflate call into a buffer the thread keeps, and
// reverses the filters row by row into the result.
//
// Why each condition below matches libpng's path (png.cpp), which reads the
// chunks up to the image data with png_read_info, then the rows, and never
// what follows the zlib stream:
//   - libpng refuses a critical chunk with a bad CRC and drops an ancillary
//     one with a warning (a dropped tRNS or eXIf would change the pixels):
//     any bad CRC declines.
//   - libpng refuses chunk types that are not four letters, lengths past
//     2^31 - 1 and chunks over its malloc limit, unknown critical chunks, a
//     second IHDR and misplaced PLTE or IEND; unknown ancillary chunks it
//     skips. Ancillary chunks that change nothing here (text, gamma, ICC
//     profiles...) are skipped too; those that do are read like libpng reads
//     them, and any irregular case of them declines.
//   - libpng reads the IDAT chunks that follow the first one for as long as
//     the zlib stream needs them, and only warns about data left over after
//     the stream (taken here too). It also only warns about inflated bytes
//     past the last row, but reads on to the end of the stream for them,
//     and refuses when that end is missing; libdeflate stops at the end of
//     the buffer, so the fast path declines such a stream.
//   - zlib keeps a window of the size the stream's header declares and, in
//     libpng's row-by-row calls, may or may not refuse a distance past it;
//     libdeflate allows any distance back to the start. A stream that
//     declares less than 32 KiB is taken only when the whole image fits in
//     that window, as libpng's own writer ensures.
// libdeflate accepts a few malformed deflate streams that zlib refuses (a
// dynamic block declaring more than 286 literal/length or 30 distance codes,
// a code-length repeat running past the end, the unused codeword of a
// one-code table, literal/length symbols 286 and 287): such a stream still
// has to inflate to exactly the right size with a correct Adler-32 in
// chunks with correct CRCs, which random damage would have to keep right.
#include <libdeflate.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/buffer.h"
#include "decoding/internal/formats.h"
#include "decoding/internal/png_fast.h"
#include "decoding/internal/raster.h"

namespace batchaugmentor::decoding::internal {
namespace {

constexpr std::uint32_t chunk_type(const char (&name)[5]) {
  return (std::uint32_t{static_cast<std::uint8_t>(name[0])} << 24) |
         (std::uint32_t{static_cast<std::uint8_t>(name[1])} << 16) |
         (std::uint32_t{static_cast<std::uint8_t>(name[2])} << 8) | std::uint32_t{static_cast<std::uint8_t>(name[3])};
}

constexpr std::uint32_t kIHDR = chunk_type("IHDR");
constexpr std::uint32_t kPLTE = chunk_type("PLTE");
constexpr std::uint32_t kIDAT = chunk_type("IDAT");
constexpr std::uint32_t kTRNS = chunk_type("tRNS");
constexpr std::uint32_t kEXIF = chunk_type("eXIf");
constexpr std::uint32_t kBKGD = chunk_type("bKGD");
constexpr std::uint32_t kHIST = chunk_type("hIST");

// libpng's own limits (pnglibconf.h of libpng 1.6): the largest chunk it
// reads, and the largest image side it accepts. An IDAT chunk may be larger,
// up to about the size of the inflated rows; the fast path takes one up to
// exactly that size. Past them it declines and libpng decides.
constexpr std::uint32_t kMaxChunk = 8000000;
constexpr std::uint32_t kMaxSide = 1000000;

// Deflate turns a byte into at most 1032 (a 258-byte match coded in two
// bits); a stream too short for the rows cannot fill them.
constexpr std::size_t kMaxInflation = 1032;

// Buffers the thread keeps between images; larger ones go back after use.
constexpr std::size_t kKeptBytes = std::size_t{16} << 20;

inline std::uint32_t be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

struct Chunk {
  std::uint32_t type;
  const std::uint8_t* data;
  std::uint32_t size;
  std::size_t next;  // offset of the chunk after it
};

bool is_letter(std::uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The chunk at `at` when it is whole, its length and type are ones libpng
// reads (`idat_limit`: the largest IDAT taken), and its CRC is right.
bool read_chunk(Content c, std::size_t at, std::size_t idat_limit, Chunk* out) {
  if (at > c.size || c.size - at < 12) return false;
  const std::uint8_t* p = c.data + at;
  const std::uint32_t size = be32(p);
  const std::uint32_t type = be32(p + 4);
  if ((size > kMaxChunk && (type != kIDAT || size > idat_limit)) || c.size - at - 12 < size) return false;
  for (int k = 4; k < 8; ++k) {
    if (!is_letter(p[k])) return false;
  }
  if (libdeflate_crc32(0, p + 4, std::size_t{size} + 4) != be32(p + 8 + size)) return false;
  *out = {type, p + 8, size, at + 12 + size};
  return true;
}

bool is_critical(std::uint32_t type) { return (type & 0x20000000u) == 0; }
bool is_reserved(std::uint32_t type) { return (type & 0x2000u) != 0; }

enum ColorType { kGrey = 0, kRgb = 2, kPalette = 3, kGreyAlpha = 4, kRgbAlpha = 6 };

int samples_of(int color_type) {
  switch (color_type) {
    case kGrey: return 1;
    case kRgb: return 3;
    case kPalette: return 1;
    case kGreyAlpha: return 2;
    case kRgbAlpha: return 4;
  }
  return 0;
}

// What the chunks say, when the fast path can take them.
struct Scan {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int color_type = 0;
  std::size_t row_bytes = 0;  // as stored, without the filter byte
  std::size_t raw_bytes = 0;  // the inflated image data: rows with their filter bytes
  const std::uint8_t* palette = nullptr;  // PLTE (only a suggestion in an RGB image)
  std::size_t palette_size = 0;           // bytes, 3 per entry
  const std::uint8_t* trns = nullptr;
  std::size_t trns_size = 0;
  int orientation = 1;
  std::size_t first_idat = 0;   // offset of the first IDAT chunk
  std::size_t idat_bytes = 0;   // data in the run of IDAT chunks from there
  std::size_t idat_pieces = 0;  // chunks of that run with any data
  const std::uint8_t* idat_single = nullptr;  // the data, when one chunk holds it all
};

bool read_header_chunk(const Chunk& k, Scan* s) {
  if (k.type != kIHDR || k.size != 13) return false;
  const std::uint8_t* d = k.data;
  s->width = be32(d);
  s->height = be32(d + 4);
  s->color_type = d[9];
  if (s->width == 0 || s->height == 0 || s->width > kMaxSide || s->height > kMaxSide) return false;
  if (d[8] != 8 || samples_of(d[9]) == 0) return false;
  // Sides of at most 10^6: no overflow.
  s->row_bytes = std::size_t{s->width} * static_cast<std::size_t>(samples_of(s->color_type));
  s->raw_bytes = (s->row_bytes + 1) * s->height;
  return d[10] == 0 && d[11] == 0 && d[12] == 0;  // deflate, adaptive filters, not interlaced
}

// tRNS as libpng keeps it without complaint: after the palette and no
// longer than it, or one 8-bit key (libpng warns about keys past 255).
bool read_transparency(const Chunk& k, Scan* s) {
  switch (s->color_type) {
    case kPalette:
      if (k.size == 0 || k.size > s->palette_size / 3) return false;  // also before PLTE
      break;
    case kGrey:
      if (k.size != 2 || k.data[0] != 0) return false;
      break;
    case kRgb:
      if (k.size != 6 || k.data[0] != 0 || k.data[2] != 0 || k.data[4] != 0) return false;
      break;
    default: return false;
  }
  s->trns = k.data;
  s->trns_size = k.size;
  return true;
}

bool scan_png(Content c, Scan* s) {
  static constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (c.size < 8 || std::memcmp(c.data, kSignature, 8) != 0) return false;
  Chunk k{};
  if (!read_chunk(c, 8, 0, &k) || !read_header_chunk(k, s)) return false;
  bool exif = false;
  bool after_palette = false;  // a chunk that must follow PLTE has been seen
  for (;;) {
    const std::size_t at = k.next;
    if (!read_chunk(c, at, s->raw_bytes, &k)) return false;
    if (k.type == kIDAT) {
      s->first_idat = at;
      break;
    }
    if (k.type == kPLTE) {
      const bool grey = (s->color_type & 2) == 0;
      if (grey || s->palette != nullptr || after_palette || k.size == 0 || k.size % 3 != 0 || k.size > 768) {
        return false;
      }
      // A suggested palette of an RGB image changes nothing; it still
      // counts as the one PLTE.
      s->palette = k.data;
      s->palette_size = k.size;
    } else if (k.type == kTRNS) {
      if (s->trns != nullptr || !read_transparency(k, s)) return false;
      after_palette = true;
    } else if (k.type == kEXIF) {
      // One, with the byte-order mark libpng insists on; libpng keeps only
      // some of the others, and they decline.
      if (exif || k.size < 2 || k.data[0] != k.data[1] || (k.data[0] != 'I' && k.data[0] != 'M')) return false;
      exif = true;
      s->orientation = exif_orientation(k.data, k.size);
    } else if (is_critical(k.type) || is_reserved(k.type)) {
      return false;
    } else if (k.type == kBKGD || k.type == kHIST) {
      after_palette = true;
    }
  }
  if (s->color_type == kPalette && s->palette == nullptr) return false;
  // The run of IDAT chunks; the first chunk that is not a sound IDAT ends it.
  for (std::size_t at = s->first_idat; read_chunk(c, at, s->raw_bytes, &k) && k.type == kIDAT; at = k.next) {
    if (k.size == 0) continue;
    s->idat_bytes += k.size;
    s->idat_single = k.data;
    ++s->idat_pieces;
  }
  return s->idat_bytes > 0;
}

// The thread's inflater and buffers, made on first use and kept for the
// thread's life (buffers up to kKeptBytes).
struct FastState {
  libdeflate_decompressor* inflater = nullptr;
  OwnedBuffer rows;    // a zero row, then the inflated rows
  OwnedBuffer joined;  // the data of several IDAT chunks end to end
  FastState() = default;
  FastState(const FastState&) = delete;
  FastState& operator=(const FastState&) = delete;
  ~FastState() { libdeflate_free_decompressor(inflater); }
};

thread_local FastState t_state;

// Gives back the buffers too large to keep when the decode ends, however it ends.
struct TrimOnExit {
  FastState* state;
  ~TrimOnExit() {
    if (state->rows.size() > kKeptBytes) state->rows = OwnedBuffer{};
    if (state->joined.size() > kKeptBytes) state->joined = OwnedBuffer{};
  }
};

// The zlib header: deflate, no preset dictionary, and a window libdeflate's
// unbounded one cannot differ from (see the top of the file).
bool window_suffices(const std::uint8_t* stream, std::size_t raw_bytes) {
  const unsigned cmf = stream[0], flg = stream[1];
  if ((cmf & 0x0f) != 8 || (cmf * 256 + flg) % 31 != 0 || (flg & 0x20) != 0) return false;
  const unsigned window_bits = (cmf >> 4) + 8;
  return window_bits == 15 || (window_bits < 15 && raw_bytes <= (std::size_t{1} << window_bits));
}

// How one stored row becomes one row of the result.
struct RowConverter {
  const Scan* scan;
  Mode mode;
  std::uint8_t colours[256][4];  // a palette image's entries as RGBA
  std::uint8_t key[3];           // the tRNS key of a grey or RGB image
  bool keyed;                    // whether that key makes alpha (RGBA results only)
  std::uint8_t* rgb_row;         // room for one RGB row (palette to L)

  void prepare(const Scan& s, Mode m, std::uint8_t* scratch_row) {
    scan = &s;
    mode = m;
    rgb_row = scratch_row;
    keyed = m == Mode::kRgba && s.trns != nullptr && s.color_type != kPalette;
    if (keyed) {
      for (int k = 0; k < 3; ++k) key[k] = s.trns[s.color_type == kGrey ? 1 : 2 * k + 1];
    }
    if (s.color_type == kPalette) {
      // libpng's palette has 256 entries, zero past PLTE's; an index past
      // tRNS is opaque.
      std::memset(colours, 0, sizeof colours);
      for (std::size_t i = 0; i < 256; ++i) {
        if (i < s.palette_size / 3) std::memcpy(colours[i], s.palette + 3 * i, 3);
        colours[i][3] = i < s.trns_size ? s.trns[i] : 255;
      }
    }
  }

  void run(const std::uint8_t* src, std::uint8_t* dst) const {
    const std::uint32_t w = scan->width;
    switch (scan->color_type) {
      case kGrey:
        if (keyed) {
          for (std::uint32_t x = 0; x < w; ++x, dst += 4) {
            dst[0] = dst[1] = dst[2] = src[x];
            dst[3] = src[x] == key[0] ? 0 : 255;
          }
          return;
        }
        return convert_oriented({src, Layout::kGray, w, 1}, mode, 1, dst);
      case kRgb:
        if (keyed) {
          for (std::uint32_t x = 0; x < w; ++x, src += 3, dst += 4) {
            dst[0] = src[0];
            dst[1] = src[1];
            dst[2] = src[2];
            dst[3] = src[0] == key[0] && src[1] == key[1] && src[2] == key[2] ? 0 : 255;
          }
          return;
        }
        return convert_oriented({src, Layout::kRgb, w, 1}, mode, 1, dst);
      case kRgbAlpha:
        return convert_oriented({src, Layout::kRgba, w, 1}, mode, 1, dst);
      case kGreyAlpha:
        for (std::uint32_t x = 0; x < w; ++x, src += 2) {
          if (mode == Mode::kL) {
            *dst++ = src[0];
            continue;
          }
          dst[0] = dst[1] = dst[2] = src[0];
          if (mode == Mode::kRgba) dst[3] = src[1];
          dst += channels_of(mode);
        }
        return;
      case kPalette:
        if (mode == Mode::kRgba) {
          for (std::uint32_t x = 0; x < w; ++x, dst += 4) std::memcpy(dst, colours[src[x]], 4);
          return;
        }
        {
          // L is the luma of the RGB result, as on libpng's path.
          std::uint8_t* rgb = mode == Mode::kRgb ? dst : rgb_row;
          for (std::uint32_t x = 0; x < w; ++x) std::memcpy(rgb + 3 * x, colours[src[x]], 3);
          if (mode == Mode::kL) convert_oriented({rgb_row, Layout::kRgb, w, 1}, Mode::kL, 1, dst);
        }
        return;
    }
  }
};

// Whether the stored row is already the result's row: the filters can then
// be reversed straight into the result.
bool stored_as_result(int color_type, Mode mode) {
  return (color_type == kGrey && mode == Mode::kL) || (color_type == kRgb && mode == Mode::kRgb) ||
         (color_type == kRgbAlpha && mode == Mode::kRgba);
}

Layout layout_of(Mode mode) {
  return mode == Mode::kRgb ? Layout::kRgb : mode == Mode::kRgba ? Layout::kRgba : Layout::kGray;
}

}  // namespace

Outcome<FastPng> png_fast_decode(Content content, const ImageInfo& info, const DecodeOptions& options,
                                 std::uint8_t* out) {
  Scan s;
  if (!scan_png(content, &s)) return FastPng::kDeclined;
  // What png_header reported must be what these chunks say.
  const int orientation = options.apply_exif ? s.orientation : 1;
  const bool swap = swaps_sides(orientation);
  if (orientation != info.orientation || info.channels != channels_of(options.mode) ||
      (swap ? s.height : s.width) != info.width || (swap ? s.width : s.height) != info.height) {
    return FastPng::kDeclined;
  }
  const std::size_t bpp = static_cast<std::size_t>(samples_of(s.color_type));
  const std::size_t row_bytes = s.row_bytes;
  const std::size_t stride = row_bytes + 1;
  const std::size_t raw_bytes = s.raw_bytes;
  if (raw_bytes / kMaxInflation > s.idat_bytes) return FastPng::kDeclined;

  FastState* state = &t_state;
  TrimOnExit trim{state};
  if (state->inflater == nullptr) {
    state->inflater = libdeflate_alloc_decompressor();
    if (state->inflater == nullptr) return OperationError::out_of_memory();
  }
  const std::uint8_t* stream = s.idat_single;
  if (s.idat_pieces > 1) {
    auto joined = grow_scratch(state->joined, s.idat_bytes);
    if (!joined.ok()) return joined.error();
    std::uint8_t* to = state->joined.data();
    // The chunks scan_png has checked, one after another.
    for (std::size_t at = s.first_idat, left = s.idat_bytes; left > 0;) {
      const std::uint32_t size = be32(content.data + at);
      std::memcpy(to, content.data + at + 8, size);
      to += size;
      left -= size;
      at += 12 + std::size_t{size};
    }
    stream = state->joined.data();
  }
  if (s.idat_bytes < 2 || !window_suffices(stream, raw_bytes)) return FastPng::kDeclined;

  // A zero row first: the row above the first one. One spare row for an L
  // result of a palette image, which goes through RGB.
  const std::size_t spare = std::size_t{s.width} * 3;
  auto room = grow_scratch(state->rows, stride + raw_bytes + spare);
  if (!room.ok()) return room.error();
  std::uint8_t* const zero_row = state->rows.data();
  std::uint8_t* const raw = zero_row + stride;
  std::memset(zero_row, 0, stride);
  if (libdeflate_zlib_decompress(state->inflater, stream, s.idat_bytes, raw, raw_bytes, nullptr) !=
      LIBDEFLATE_SUCCESS) {
    return FastPng::kDeclined;
  }
  for (std::uint32_t y = 0; y < s.height; ++y) {
    if (raw[y * stride] > 4) return FastPng::kDeclined;  // libpng refuses it when it gets there
  }

  // The rows go straight into the result unless it is turned.
  const std::size_t out_row = std::size_t{s.width} * static_cast<std::size_t>(channels_of(options.mode));
  OwnedBuffer upright;
  std::uint8_t* target = out;
  if (orientation != 1) {
    auto made = OwnedBuffer::allocate(out_row * s.height);
    if (!made.ok()) return made.error();
    upright = std::move(made).value();
    target = upright.data();
  }
  const UnfilterPath& unfilter = selected_unfilter();
  const bool direct = stored_as_result(s.color_type, options.mode);
  RowConverter converter;
  converter.prepare(s, options.mode, raw + raw_bytes);
  // Rows are unfiltered in place, or straight into the result when it
  // holds them as stored; two Paeth rows in a row go together.
  auto unfiltered = [&](std::uint32_t y) { return direct ? target + y * out_row : raw + y * stride + 1; };
  const std::uint8_t* prior = zero_row;
  for (std::uint32_t y = 0; y < s.height;) {
    const std::uint8_t* row = raw + y * stride;
    const std::uint32_t count = y + 1 < s.height && row[0] == 4 && row[stride] == 4 ? 2 : 1;
    if (count == 2) {
      unfilter.paeth_pair(bpp, row + 1, row + stride + 1, prior, unfiltered(y), unfiltered(y + 1), row_bytes);
    } else {
      unfilter.run(row[0], bpp, row + 1, prior, unfiltered(y), row_bytes);
    }
    for (std::uint32_t k = y; k < y + count && !direct; ++k) converter.run(unfiltered(k), target + k * out_row);
    prior = unfiltered(y + count - 1);
    y += count;
  }
  if (orientation != 1) {
    convert_oriented({target, layout_of(options.mode), s.width, s.height}, options.mode, orientation, out);
  }
  return FastPng::kDecoded;
}

}  // namespace batchaugmentor::decoding::internal
