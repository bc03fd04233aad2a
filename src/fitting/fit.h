// Decoded images fitted to one size on the worker that decodes them: the
// whole image, or its largest centred box of the target's shape, resized
// (Lanczos, as resize_image) straight into the caller's result. Only the
// box is decoded where the format allows, into memory the worker keeps
// for its next image, so a large photograph never becomes a fresh
// full-size array that the resize then reads back from main memory.
//
//   FitTarget t{224, 224, Fit::kCrop};
//   Outcome<> r = decode_fitted(content, info, options, t, dst);  // dst: 224*224*3 bytes
#pragma once

#include <cstdint>

#include "common/outcome.h"
#include "decoding/decode.h"

namespace batchaugmentor::fitting {

enum class Fit {
  kStretch,  // the whole image, to the target's width and height
  kCrop,     // the largest centred box of the target's shape
};

struct FitTarget {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  Fit fit = Fit::kStretch;
};

// The box of a width x height image that `target` resizes. For kCrop: the
// full height and round(height * target.width / target.height) columns
// when the image is wider than the target's shape (else the full width and
// the rounded rows), never less than 1 nor more than the image, starting
// at (width - box width) / 2 and (height - box height) / 2, rounded down.
decoding::Box fitted_box(std::uint32_t width, std::uint32_t height, const FitTarget& target);

// Decodes the content (RGB: info.channels must be 3) and writes the fitted
// box resized to target.height * target.width * 3 bytes at `destination`.
// A null destination stands for memory the caller could not get.
Outcome<> decode_fitted(decoding::Content content, const decoding::ImageInfo& info,
                        const decoding::DecodeOptions& options, const FitTarget& target, std::uint8_t* destination);

}  // namespace batchaugmentor::fitting
