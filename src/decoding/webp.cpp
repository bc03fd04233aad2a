// WebP through libwebp: still images decode straight into the result;
// animations give their first frame, composed on the canvas by libwebp's
// animation decoder. libwebp reports failure by return value.
#include <cstddef>
#include <cstring>
#include <memory>

#include <webp/decode.h>
#include <webp/demux.h>

#include "common/buffer.h"
#include "decoding/internal/formats.h"
#include "decoding/internal/raster.h"

namespace batchaugmentor::decoding::internal {
namespace {

OperationError webp_failure(VP8StatusCode status) {
  switch (status) {
    case VP8_STATUS_OUT_OF_MEMORY: return OperationError::out_of_memory();
    case VP8_STATUS_NOT_ENOUGH_DATA: return OperationError::refused("truncated WebP data");
    case VP8_STATUS_UNSUPPORTED_FEATURE: return OperationError::refused("unsupported WebP feature");
    default: return OperationError::refused("corrupt WebP data");
  }
}

struct DemuxDeleter {
  void operator()(WebPDemuxer* d) const { WebPDemuxDelete(d); }
};
struct AnimDeleter {
  void operator()(WebPAnimDecoder* d) const { WebPAnimDecoderDelete(d); }
};

// The orientation in the EXIF chunk of an extended file; 1 without one.
int webp_orientation(Content c) {
  if (c.size < 16 || std::memcmp(c.data + 12, "VP8X", 4) != 0) return 1;
  WebPData data{c.data, c.size};
  std::unique_ptr<WebPDemuxer, DemuxDeleter> demux(WebPDemux(&data));
  if (!demux) return 1;
  if ((WebPDemuxGetI(demux.get(), WEBP_FF_FORMAT_FLAGS) & EXIF_FLAG) == 0) return 1;
  WebPChunkIterator chunk;
  if (!WebPDemuxGetChunk(demux.get(), "EXIF", 1, &chunk)) return 1;
  const int orientation = exif_orientation(chunk.chunk.bytes, chunk.chunk.size);
  WebPDemuxReleaseChunkIterator(&chunk);
  return orientation;
}

}  // namespace

Outcome<ImageInfo> webp_header(Content content, const DecodeOptions& options) {
  WebPBitstreamFeatures features;
  if (VP8StatusCode s = WebPGetFeatures(content.data, content.size, &features); s != VP8_STATUS_OK) {
    return webp_failure(s);
  }
  if (features.width <= 0 || features.height <= 0) return OperationError::refused("corrupt WebP data");
  if (!within_pixel_limit(static_cast<std::uint64_t>(features.width), static_cast<std::uint64_t>(features.height),
                          options)) {
    return past_pixel_limit();
  }
  ImageInfo info;
  info.format = Format::kWebp;
  info.orientation = options.apply_exif ? webp_orientation(content) : 1;
  info.channels = channels_of(options.mode);
  info.width = static_cast<std::uint32_t>(features.width);
  info.height = static_cast<std::uint32_t>(features.height);
  if (swaps_sides(info.orientation)) std::swap(info.width, info.height);
  return info;
}

Outcome<> webp_decode(Content content, const ImageInfo& info, const DecodeOptions& options, std::uint8_t* out) {
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) return OperationError::refused("unsupported WebP version");
  if (VP8StatusCode s = WebPGetFeatures(content.data, content.size, &config.input); s != VP8_STATUS_OK) {
    return webp_failure(s);
  }
  const auto width = static_cast<std::uint32_t>(config.input.width);
  const auto height = static_cast<std::uint32_t>(config.input.height);
  const bool swap = swaps_sides(info.orientation);
  if ((swap ? height : width) != info.width || (swap ? width : height) != info.height) {
    return OperationError::refused("WebP changed between its header and its decoding");
  }
  std::size_t pixels = 0;
  if (!checked_mul(width, height, &pixels)) return OperationError::out_of_memory();

  if (config.input.has_animation) {
    WebPAnimDecoderOptions anim_options;
    if (!WebPAnimDecoderOptionsInit(&anim_options)) return OperationError::refused("unsupported WebP version");
    anim_options.color_mode = MODE_RGBA;
    anim_options.use_threads = 0;
    WebPData data{content.data, content.size};
    std::unique_ptr<WebPAnimDecoder, AnimDeleter> anim(WebPAnimDecoderNew(&data, &anim_options));
    if (!anim) return OperationError::refused("corrupt WebP data");
    std::uint8_t* frame = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetNext(anim.get(), &frame, &timestamp)) return OperationError::refused("corrupt WebP data");
    convert_oriented({frame, Layout::kRgba, width, height}, options.mode, info.orientation, out);
    return Done{};
  }

  // libwebp writes RGB or RGBA itself; L goes through RGB.
  const bool rgba = options.mode == Mode::kRgba;
  const Layout layout = rgba ? Layout::kRgba : Layout::kRgb;
  const std::size_t channels = rgba ? 4 : 3;
  const bool direct = info.orientation == 1 && options.mode != Mode::kL;
  OwnedBuffer scratch;
  std::uint8_t* target = out;
  if (!direct) {
    auto made = OwnedBuffer::allocate(pixels * channels);
    if (!made.ok()) return made.error();
    scratch = std::move(made).value();
    target = scratch.data();
  }
  config.output.colorspace = rgba ? MODE_RGBA : MODE_RGB;
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = target;
  config.output.u.RGBA.stride = static_cast<int>(width * channels);
  config.output.u.RGBA.size = pixels * channels;
  config.options.use_threads = 0;
  const VP8StatusCode s = WebPDecode(content.data, content.size, &config);
  WebPFreeDecBuffer(&config.output);  // frees nothing of ours: the memory is external
  if (s != VP8_STATUS_OK) return webp_failure(s);
  if (!direct) convert_oriented({target, layout, width, height}, options.mode, info.orientation, out);
  return Done{};
}

}  // namespace batchaugmentor::decoding::internal
