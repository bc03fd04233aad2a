// One reader per format behind decode.h's two steps. Each keeps the C
// library's error handling inside its own file: no exception and no longjmp
// leaves it.
#pragma once

#include "common/buffer.h"
#include "common/image.h"
#include "common/outcome.h"
#include "decoding/decode.h"

namespace batchaugmentor::decoding::internal {

Outcome<ImageInfo> jpeg_header(Content content, const DecodeOptions& options);
Outcome<> jpeg_decode(Content content, const ImageInfo& info, const DecodeOptions& options, std::uint8_t* out);

// The box decoded into scratch: only the part of the image around it
// where the content allows (an upright JPEG in a layout libjpeg writes).
Outcome<ImageView> jpeg_decode_box(Content content, const ImageInfo& info, const DecodeOptions& options,
                                   const Box& box, OwnedBuffer& scratch);

Outcome<ImageInfo> png_header(Content content, const DecodeOptions& options);
Outcome<> png_decode(Content content, const ImageInfo& info, const DecodeOptions& options, std::uint8_t* out);

Outcome<ImageInfo> webp_header(Content content, const DecodeOptions& options);
Outcome<> webp_decode(Content content, const ImageInfo& info, const DecodeOptions& options, std::uint8_t* out);

// The whole image decoded into scratch, and a view of the box in it.
Outcome<ImageView> decode_whole_box(Content content, const ImageInfo& info, const DecodeOptions& options,
                                    const Box& box, OwnedBuffer& scratch);

// scratch with room for at least `bytes`; its contents are not kept.
Outcome<> grow_scratch(OwnedBuffer& scratch, std::size_t bytes);

inline OperationError past_pixel_limit() { return OperationError::refused("image is larger than the pixel limit"); }

// The stored size against the call's limit, before any pixel memory exists.
inline bool within_pixel_limit(std::uint64_t width, std::uint64_t height, const DecodeOptions& options) {
  return width > 0 && height > 0 && width * height <= options.max_pixels;
}

}  // namespace batchaugmentor::decoding::internal
