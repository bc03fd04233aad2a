// Resizing of one RGB image and of one RGB video with the Lanczos-3 kernel.
//
//   Outcome<ImageArray> r = resize_image(view, 224, 224);   // (224, 224, 3)
//   Outcome<VideoArray> v = resize_video(video, 320, 240);  // (F, 240, 320, 3)
//
//   // The same results written into memory the caller owns (row-major,
//   // height * width * 3 bytes per image, frames one after another); a null
//   // destination stands for memory the caller could not get.
//   Outcome<Resized> w = resize_image_into(view, 224, 224, dst);
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

struct Resized {};

Outcome<ImageArray> resize_image(const ImageView& image, std::uint32_t width, std::uint32_t height);
Outcome<VideoArray> resize_video(const VideoView& video, std::uint32_t width, std::uint32_t height);

// The checks come first, in the same order as above; only an accepted item
// with a null destination reports out-of-memory.
Outcome<Resized> resize_image_into(const ImageView& image, std::uint32_t width, std::uint32_t height,
                                   std::uint8_t* destination);
Outcome<Resized> resize_video_into(const VideoView& video, std::uint32_t width, std::uint32_t height,
                                   std::uint8_t* destination);

}  // namespace batchaugmentor::resize
