// Cutting a rectangle out of an image, straight into the result's memory.
//
//   CropBox box = center_crop_box(h, w, TargetSize{224, 224});
//   CropLayout layout = crop_layout(view, box.height, box.width);  // before the batch
//   ... make a (h, w, k) array, Fortran-ordered when layout.fortran ...
//   Outcome<> r = crop_into(view, box, layout, destination);          // any thread
//
// crop_into refuses a zero-sized box ("Crop dimensions must be greater than
// zero") and one reaching past the image ("Crop bounds exceed image
// dimensions"), then reports a null destination as out of memory, so that
// the caller's first refusal in input order wins over a failed allocation.
//
// A result is C-ordered, except where the selected region is one gap-free,
// Fortran-ordered block of its source: that keeps its order. The layout
// depends only on the box's size and the source's strides, never on where
// the box lies, so random crops know theirs before a box is drawn.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/image.h"
#include "common/outcome.h"

namespace batchaugmentor::cropping {

struct CropLayout {
  std::size_t height = 0;
  std::size_t width = 0;
  std::size_t channels = 0;
  bool fortran = false;
};

CropLayout crop_layout(const ImageView& image, std::uint64_t height, std::uint64_t width);

// The refusals crop_into would give, without touching pixels.
Outcome<> check_crop_box(const ImageView& image, const CropBox& box);

Outcome<> crop_into(const ImageView& image, const CropBox& box, const CropLayout& layout,
                    std::uint8_t* destination);

CropBox center_crop_box(std::uint64_t height, std::uint64_t width, const TargetSize& target);

// Draws x (if the target is narrower than the image), then y, from the
// generator of the thread that calls it.
CropBox random_crop_box(std::uint64_t height, std::uint64_t width, const TargetSize& target);

}  // namespace batchaugmentor::cropping
