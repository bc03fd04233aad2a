// Cutting a rectangle out of an image.
//
//   Outcome<ImageArray> r = crop_image(view, CropBox{x, y, w, h});
//   CropBox centre = center_crop_box(h, w, TargetSize{224, 224});
//   CropBox random = random_crop_box(h, w, TargetSize{224, 224});
//
// crop_image refuses a zero-sized box ("Crop dimensions must be greater than
// zero") and one reaching past the image ("Crop bounds exceed image
// dimensions"). When the selected region is one gap-free block of the
// source's memory, the result keeps the region's strides over a copy of that
// block; otherwise it is row-major.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/image.h"
#include "common/outcome.h"

namespace batchaugmentor::cropping {

Outcome<ImageArray> crop_image(const ImageView& image, const CropBox& box);

CropBox center_crop_box(std::uint64_t height, std::uint64_t width, const TargetSize& target);

// Draws x (if the target is narrower than the image), then y, from the
// calling thread's generator.
CropBox random_crop_box(std::uint64_t height, std::uint64_t width, const TargetSize& target);

// Uniform in [low, high] (inclusive) from the calling thread's wyrand state,
// seeded on the thread's first draw.
std::uint64_t uniform_index(std::uint64_t low, std::uint64_t high);

// 64-bit SipHash-1-3 under the given key; exposed for tests.
std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const std::uint8_t* data, std::size_t size);

}  // namespace batchaugmentor::cropping

namespace batchaugmentor::cropping {
// SipHash with C compression and D finalisation rounds (2-4 has published
// test vectors, so tests check the shared code through it).
template <int C, int D>
std::uint64_t siphash(std::uint64_t k0, std::uint64_t k1, const std::uint8_t* data, std::size_t size);
}  // namespace batchaugmentor::cropping
