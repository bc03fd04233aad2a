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

Outcome<ImageView> decode_box(Content content, const ImageInfo& info, const DecodeOptions& options, const Box& box,
                              OwnedBuffer& scratch) {
  if (info.format == Format::kJpeg) return internal::jpeg_decode_box(content, info, options, box, scratch);
  return internal::decode_whole_box(content, info, options, box, scratch);
}

namespace internal {

Outcome<> grow_scratch(OwnedBuffer& scratch, std::size_t bytes) {
  if (scratch.size() >= bytes) return Done{};
  scratch = OwnedBuffer();  // the old block goes first: never both at once
  auto made = OwnedBuffer::allocate(bytes);
  if (!made.ok()) return made.error();
  scratch = std::move(made).value();
  return Done{};
}

Outcome<ImageView> decode_whole_box(Content content, const ImageInfo& info, const DecodeOptions& options,
                                    const Box& box, OwnedBuffer& scratch) {
  auto room = grow_scratch(scratch, info.bytes());
  if (!room.ok()) return room.error();
  auto done = decode_into(content, info, options, scratch.data());
  if (!done.ok()) return done.error();
  const auto channels = static_cast<std::size_t>(info.channels);
  const std::size_t stride = std::size_t{info.width} * channels;
  return ImageView{scratch.data() + box.y * stride + box.x * channels,
                   {box.height, box.width, channels},
                   {static_cast<std::ptrdiff_t>(stride), static_cast<std::ptrdiff_t>(channels), 1}};
}

}  // namespace internal
}  // namespace batchaugmentor::decoding
