// Resizing of one RGB image and of one RGB video with the Lanczos-3 kernel,
// written into memory the caller owns: row-major, height * width * 3 bytes
// per image, frames one after another. The caller makes the result before the
// batch runs (its shape follows from the target), so each result is written
// once; a null destination stands for memory the caller could not get.
//
//   Outcome<> r = resize_image(view, 224, 224, dst);   // dst: 224*224*3 bytes
//   Outcome<> v = resize_video(video, 320, 240, dst);  // dst: F*240*320*3 bytes
//
// The checks come first: "Only RGB images (3 channels) are supported" (or
// "Only RGB videos (3 channels) are supported"), then "Target dimensions must
// be greater than zero", then an input axis of 2^32 or more; only an accepted
// item reports out-of-memory, for a null destination or a kernel buffer that
// cannot be had.
#pragma once

#include <cstdint>

#include "common/image.h"
#include "common/outcome.h"

namespace batchaugmentor::resize {

Outcome<> resize_image(const ImageView& image, std::uint32_t width, std::uint32_t height,
                       std::uint8_t* destination);
Outcome<> resize_video(const VideoView& video, std::uint32_t width, std::uint32_t height,
                       std::uint8_t* destination);

}  // namespace batchaugmentor::resize
