#include "cropping/crop.h"

#include <algorithm>
#include <cstring>

#include "cropping/internal/random.h"
#include "pixels/gather.h"

namespace batchaugmentor::cropping {
namespace {

// Contiguity in NumPy's sense: axes of length 1 may have any stride.
bool is_contiguous(const ImageView& v, bool fortran) {
  std::ptrdiff_t expected = 1;
  for (std::size_t n = 0; n < 3; ++n) {
    const std::size_t axis = fortran ? n : 2 - n;
    if (v.shape[axis] != 1 && v.strides[axis] != expected) return false;
    expected *= static_cast<std::ptrdiff_t>(v.shape[axis]);
  }
  return true;
}

// Rows of the selection, written one after another in C order.
void copy_rows(const ImageView& sel, std::uint8_t* out) {
  const std::size_t h = sel.shape[0], w = sel.shape[1], k = sel.shape[2];
  if (k == 3) {
    const pixels::RgbGather gather(sel);
    if (gather.layout() == pixels::Layout::kColumns) {
      gather.block(0, h, 0, w, out, w * 3);
      return;
    }
    if (!gather.packed() && gather.layout() != pixels::Layout::kGeneral) {
      for (std::size_t y = 0; y < h; ++y) gather.row(y, 0, w, out + y * w * 3);
      return;
    }
  }
  const std::ptrdiff_t s0 = sel.strides[0], s1 = sel.strides[1], s2 = sel.strides[2];
  const bool pixel_contiguous = s2 == 1 || k == 1;
  const bool row_contiguous = pixel_contiguous && (s1 == static_cast<std::ptrdiff_t>(k) || w == 1);
  for (std::size_t y = 0; y < h; ++y) {
    const std::uint8_t* row = sel.data + static_cast<std::ptrdiff_t>(y) * s0;
    if (row_contiguous) {
      std::memcpy(out, row, w * k);
      out += w * k;
      continue;
    }
    for (std::size_t x = 0; x < w; ++x) {
      const std::uint8_t* pixel = row + static_cast<std::ptrdiff_t>(x) * s1;
      if (pixel_contiguous) {
        std::memcpy(out, pixel, k);
        out += k;
      } else {
        for (std::size_t c = 0; c < k; ++c) *out++ = pixel[static_cast<std::ptrdiff_t>(c) * s2];
      }
    }
  }
}

ImageView selection(const ImageView& image, const CropBox& box) {
  ImageView sel = image;
  sel.data = image.data + static_cast<std::ptrdiff_t>(box.y) * image.strides[0] +
             static_cast<std::ptrdiff_t>(box.x) * image.strides[1];
  sel.shape = {static_cast<std::size_t>(box.height), static_cast<std::size_t>(box.width), image.shape[2]};
  return sel;
}

}  // namespace

CropLayout crop_layout(const ImageView& image, std::uint64_t height, std::uint64_t width) {
  ImageView sel = image;
  sel.shape = {static_cast<std::size_t>(height), static_cast<std::size_t>(width), image.shape[2]};
  const bool fortran = sel.count() != 0 && is_contiguous(sel, true) && !is_contiguous(sel, false);
  return {sel.shape[0], sel.shape[1], sel.shape[2], fortran};
}

Outcome<> check_crop_box(const ImageView& image, const CropBox& box) {
  if (box.width == 0 || box.height == 0) {
    return OperationError::refused("Crop dimensions must be greater than zero");
  }
  // Compared as exact integers: a sum past 2^64 exceeds every image.
  std::uint64_t right = 0, bottom = 0;
  if (__builtin_add_overflow(box.x, box.width, &right) || right > image.shape[1] ||
      __builtin_add_overflow(box.y, box.height, &bottom) || bottom > image.shape[0]) {
    return OperationError::refused("Crop bounds exceed image dimensions");
  }
  return Done{};
}

Outcome<> crop_into(const ImageView& image, const CropBox& box, const CropLayout& layout,
                    std::uint8_t* destination) {
  if (auto checked = check_crop_box(image, box); !checked.ok()) return checked;
  if (destination == nullptr) return OperationError::out_of_memory();
  const ImageView sel = selection(image, box);
  if (sel.count() == 0) return Done{};
  // A block contiguous in the result's own order is copied whole.
  if (layout.fortran || is_contiguous(sel, false)) {
    std::memcpy(destination, sel.data, sel.count());
  } else {
    copy_rows(sel, destination);
  }
  return Done{};
}

CropBox center_crop_box(std::uint64_t height, std::uint64_t width, const TargetSize& target) {
  CropBox box;
  box.x = target.width < width ? (width - target.width) / 2 : 0;
  box.width = std::min(target.width, width);
  box.y = target.height < height ? (height - target.height) / 2 : 0;
  box.height = std::min(target.height, height);
  return box;
}

CropBox random_crop_box(std::uint64_t height, std::uint64_t width, const TargetSize& target) {
  CropBox box;
  box.x = target.width < width ? internal::uniform_index(0, width - target.width) : 0;
  box.y = target.height < height ? internal::uniform_index(0, height - target.height) : 0;
  box.width = std::min(target.width, width);
  box.height = std::min(target.height, height);
  return box;
}

}  // namespace batchaugmentor::cropping
