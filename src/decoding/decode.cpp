#include "decoding/decode.h"

#include <cstring>

#include "decoding/internal/formats.h"
#include "platform/pages.h"

namespace batchaugmentor::decoding {

Outcome<Format> sniff(Content c) {
  static constexpr std::uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (c.size >= 3 && c.data[0] == 0xff && c.data[1] == 0xd8 && c.data[2] == 0xff) return Format::kJpeg;
  if (c.size >= 8 && std::memcmp(c.data, kPng, 8) == 0) return Format::kPng;
  if (c.size >= 12 && std::memcmp(c.data, "RIFF", 4) == 0 && std::memcmp(c.data + 8, "WEBP", 4) == 0) {
    return Format::kWebp;
  }
  return OperationError::refused("not a JPEG, PNG or WebP image");
}

Outcome<ImageInfo> read_header(Content content, const DecodeOptions& options) {
  auto format = sniff(content);
  if (!format.ok()) return format.error();
  switch (format.value()) {
    case Format::kJpeg: return internal::jpeg_header(content, options);
    case Format::kPng: return internal::png_header(content, options);
    case Format::kWebp: return internal::webp_header(content, options);
  }
  return OperationError::refused("not a JPEG, PNG or WebP image");
}

Outcome<> decode_into(Content content, const ImageInfo& info, const DecodeOptions& options, std::uint8_t* pixels) {
  // A fresh result faulted in page by page by the decoder's writes costs
  // as much as a fast decode itself; one call maps it all in.
  platform::prepare_for_writing(pixels, info.bytes());
  switch (info.format) {
    case Format::kJpeg: return internal::jpeg_decode(content, info, options, pixels);
    case Format::kPng: return internal::png_decode(content, info, options, pixels);
    case Format::kWebp: return internal::webp_decode(content, info, options, pixels);
  }
  return OperationError::refused("not a JPEG, PNG or WebP image");
}

}  // namespace batchaugmentor::decoding
