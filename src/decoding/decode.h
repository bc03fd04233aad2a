// Decoding JPEG, PNG and WebP content from memory straight into memory the
// caller made, in two steps so that the caller can make that memory in
// between:
//
//   Outcome<ImageInfo> info = decoding::read_header(content, options);
//   // ... make info->height * info->width * info->channels bytes at `pixels`
//   Outcome<> done = decoding::decode_into(content, info.value(), options, pixels);
//
// The format is found from the content. Both steps run on any thread; each
// thread keeps one decoder state per format for its life and reuses it.
// Every failure is an OperationError: refused (the content is not an image
// this layer reads, is corrupt or truncated, or is past a limit; the message
// is a literal naming the reason) or out of memory. A failed decode_into may
// have written part of the pixels: the caller must not use them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/buffer.h"
#include "common/image.h"
#include "common/outcome.h"

namespace batchaugmentor::decoding {

enum class Format { kJpeg, kPng, kWebp };

// What the pixels come out as: RGB (alpha dropped, grey repeated), L (one
// grey channel, BT.601 luma of RGB content) or RGBA (opaque where the
// content has no alpha).
enum class Mode { kRgb, kL, kRgba };

inline constexpr int channels_of(Mode m) { return m == Mode::kRgb ? 3 : m == Mode::kL ? 1 : 4; }

// Pillow refuses images of more than twice its MAX_IMAGE_PIXELS.
inline constexpr std::uint64_t kDefaultMaxPixels = 2 * std::uint64_t{89478485};

// Progressive JPEGs of ordinary encoders have about ten scans; thousands of
// tiny scans are a known way to make decoding take minutes.
inline constexpr std::uint32_t kMaxScans = 100;

struct DecodeOptions {
  Mode mode = Mode::kRgb;
  // reduce: a JPEG decodes at the smallest of 1/8, 1/4, 1/2 and 1 that
  // keeps both result sides at or above (min_width, min_height).
  bool reduce = false;
  std::uint32_t min_width = 0;
  std::uint32_t min_height = 0;
  bool apply_exif = true;  // turn the result upright by the EXIF orientation
  std::uint64_t max_pixels = kDefaultMaxPixels;  // of the stored full-size image
};

// What read_header found: enough to make the result and to decode into it.
struct ImageInfo {
  Format format = Format::kJpeg;
  std::uint32_t width = 0;   // of the result, after scaling and orientation
  std::uint32_t height = 0;
  int channels = 3;
  int orientation = 1;       // EXIF 1-8 still to apply (1 when not applied)
  int scale_denom = 1;       // JPEG: 1, 2, 4 or 8
  std::size_t bytes() const { return std::size_t{width} * height * static_cast<std::size_t>(channels); }
};

struct Content {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

// The format of the content, from its first bytes; refused when none.
Outcome<Format> sniff(Content content);

Outcome<ImageInfo> read_header(Content content, const DecodeOptions& options);

// Writes info.bytes() bytes at `pixels`, rows of info.width * info.channels
// bytes, top to bottom. `info` must be what read_header returned for the
// same content and options.
Outcome<> decode_into(Content content, const ImageInfo& info, const DecodeOptions& options,
                      std::uint8_t* pixels);

// A part of the result: columns [x, x + width), rows [y, y + height), in
// result coordinates (after scaling and orientation).
struct Box {
  std::uint32_t x = 0, y = 0, width = 0, height = 0;
};

// Decodes at least `box` into `scratch`, which grows when too small and is
// meant to be reused from call to call, and returns a view of the box in it
// (the bytes decode_into would have written there). An upright JPEG whose
// layout libjpeg writes itself decodes only the rows and columns around the
// box, less colour work for the rest; everything else decodes whole. The box
// must lie inside the result; the view is valid until scratch changes.
Outcome<ImageView> decode_box(Content content, const ImageInfo& info, const DecodeOptions& options, const Box& box,
                              OwnedBuffer& scratch);

}  // namespace batchaugmentor::decoding
