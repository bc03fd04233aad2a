// Resizing of one RGB image and of one RGB video with the Lanczos-3 kernel.
//
//   Outcome<ImageArray> r = resize_image(view, 224, 224);   // (224, 224, 3)
//   Outcome<VideoArray> v = resize_video(video, 320, 240);  // (F, 240, 320, 3)
//
// Refusals carry "Only RGB images (3 channels) are supported",
// "Only RGB videos (3 channels) are supported" or
// "Target dimensions must be greater than zero"; an input dimension of 2^32
// or more is refused too. Sizes that cannot be allocated give out-of-memory.
#pragma once

#include <cstdint>

#include "common/image.h"
#include "common/outcome.h"

namespace batchaugmentor::resize {

Outcome<ImageArray> resize_image(const ImageView& image, std::uint32_t width, std::uint32_t height);
Outcome<VideoArray> resize_video(const VideoView& video, std::uint32_t width, std::uint32_t height);

}  // namespace batchaugmentor::resize
