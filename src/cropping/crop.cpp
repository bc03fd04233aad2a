#include "cropping/crop.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace batchaugmentor::cropping {
namespace {

// A selection is one gap-free block when, in some order of its axes, every
// axis longer than 1 steps by exactly the size of the axes before it.
bool is_gap_free(const std::array<std::size_t, 3>& shape, const std::array<std::ptrdiff_t, 3>& strides) {
  std::array<int, 3> order{0, 1, 2};
  do {
    std::size_t before = 1;
    bool ok = true;
    for (int axis : order) {
      std::size_t len = shape[axis];
      if (len > 1) {
        std::ptrdiff_t s = strides[axis];
        std::size_t magnitude = static_cast<std::size_t>(s < 0 ? -s : s);
        if (magnitude != before) {
          ok = false;
          break;
        }
        before *= len;
      }
    }
    if (ok) return true;
  } while (std::next_permutation(order.begin(), order.end()));
  return false;
}

void copy_elementwise(const ImageView& sel, std::uint8_t* out) {
  const std::size_t h = sel.shape[0], w = sel.shape[1], k = sel.shape[2];
  const std::ptrdiff_t s0 = sel.strides[0], s1 = sel.strides[1], s2 = sel.strides[2];
  const bool pixel_contiguous = s2 == 1 || k == 1;
  const bool row_contiguous = pixel_contiguous && (static_cast<std::size_t>(s1) == k || w == 1);
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

}  // namespace

Outcome<ImageArray> crop_image(const ImageView& image, const CropBox& box) {
  if (box.width == 0 || box.height == 0) {
    return OperationError::refused("Crop dimensions must be greater than zero");
  }
  // Compared as exact integers: a sum past 2^64 exceeds every image.
  std::uint64_t right = 0, bottom = 0;
  if (__builtin_add_overflow(box.x, box.width, &right) || right > image.shape[1]) {
    return OperationError::refused("Crop bounds exceed image dimensions");
  }
  if (__builtin_add_overflow(box.y, box.height, &bottom) || bottom > image.shape[0]) {
    return OperationError::refused("Crop bounds exceed image dimensions");
  }

  ImageView sel = image;
  sel.data = image.data + static_cast<std::ptrdiff_t>(box.y) * image.strides[0] +
             static_cast<std::ptrdiff_t>(box.x) * image.strides[1];
  sel.shape = {static_cast<std::size_t>(box.height), static_cast<std::size_t>(box.width), image.shape[2]};

  if (sel.count() != 0 && is_gap_free(sel.shape, sel.strides)) {
    // One block: copy it whole and keep the selection's own layout.
    std::ptrdiff_t low = 0;
    for (std::size_t i = 0; i < 3; ++i) {
      if (sel.strides[i] < 0) low += static_cast<std::ptrdiff_t>(sel.shape[i] - 1) * sel.strides[i];
    }
    ImageArray result;
    result.bytes = OwnedBuffer::allocate(sel.count());
    if (result.bytes.failed()) return OperationError::out_of_memory();
    std::memcpy(result.bytes.data(), sel.data + low, sel.count());
    result.shape = sel.shape;
    result.strides = sel.strides;
    result.origin = static_cast<std::size_t>(-low);
    return result;
  }

  auto result = ImageArray::row_major(sel.shape);
  if (!result.ok()) return result;
  if (sel.count() != 0) copy_elementwise(sel, result.value().bytes.data());
  return result;
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
  box.x = target.width < width ? uniform_index(0, width - target.width) : 0;
  box.y = target.height < height ? uniform_index(0, height - target.height) : 0;
  box.width = std::min(target.width, width);
  box.height = std::min(target.height, height);
  return box;
}

}  // namespace batchaugmentor::cropping
