// One reader per format behind decode.h's two steps. Each keeps the C
// library's error handling inside its own file: no exception and no longjmp
// leaves it.
#pragma once

#include "common/outcome.h"
#include "decoding/decode.h"

namespace batchaugmentor::decoding::internal {

Outcome<ImageInfo> jpeg_header(Content content, const DecodeOptions& options);
Outcome<> jpeg_decode(Content content, const ImageInfo& info, const DecodeOptions& options, std::uint8_t* out);

Outcome<ImageInfo> png_header(Content content, const DecodeOptions& options);
Outcome<> png_decode(Content content, const ImageInfo& info, const DecodeOptions& options, std::uint8_t* out);

Outcome<ImageInfo> webp_header(Content content, const DecodeOptions& options);
Outcome<> webp_decode(Content content, const ImageInfo& info, const DecodeOptions& options, std::uint8_t* out);

inline OperationError past_pixel_limit() { return OperationError::refused("image is larger than the pixel limit"); }

// The stored size against the call's limit, before any pixel memory exists.
inline bool within_pixel_limit(std::uint64_t width, std::uint64_t height, const DecodeOptions& options) {
  return width > 0 && height > 0 && width * height <= options.max_pixels;
}

}  // namespace batchaugmentor::decoding::internal
