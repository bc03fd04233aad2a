#include "fitting/fit.h"

#include <utility>

#include "common/buffer.h"
#include "resize/resize.h"

namespace batchaugmentor::fitting {
namespace {

// What a worker keeps between images: enough for the box of a 12 MP
// photograph. A larger one is given back after its image.
constexpr std::size_t kKeptScratchBytes = std::size_t{64} << 20;

thread_local OwnedBuffer t_scratch;

// round(a * b / c), half up; a, b and c (> 0) are 32-bit, so nothing overflows.
std::uint64_t rounded_ratio(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  const std::uint64_t product = a * b;
  return product / c + (product % c >= c - product % c ? 1 : 0);
}

std::uint32_t clamped(std::uint64_t value, std::uint32_t limit) {
  if (value < 1) return 1;
  return value > limit ? limit : static_cast<std::uint32_t>(value);
}

}  // namespace

decoding::Box fitted_box(std::uint32_t width, std::uint32_t height, const FitTarget& target) {
  decoding::Box box{0, 0, width, height};
  if (target.fit != Fit::kCrop) return box;
  const std::uint64_t wide = std::uint64_t{width} * target.height;
  const std::uint64_t tall = std::uint64_t{height} * target.width;
  if (wide > tall) {
    box.width = clamped(rounded_ratio(height, target.width, target.height), width);
  } else if (wide < tall) {
    box.height = clamped(rounded_ratio(width, target.height, target.width), height);
  }
  box.x = (width - box.width) / 2;
  box.y = (height - box.height) / 2;
  return box;
}

Outcome<> decode_fitted(decoding::Content content, const decoding::ImageInfo& info,
                        const decoding::DecodeOptions& options, const FitTarget& target, std::uint8_t* destination) {
  if (destination == nullptr) return OperationError::out_of_memory();
  const decoding::Box box = fitted_box(info.width, info.height, target);
  // Taken out while in use: while its resize waits, this worker may be
  // handed another image, which then makes a scratch of its own.
  OwnedBuffer scratch = std::move(t_scratch);
  auto view = decoding::decode_box(content, info, options, box, scratch);
  Outcome<> done = view.ok() ? resize::resize_image(view.value(), target.width, target.height, destination)
                             : Outcome<>(view.error());
  if (scratch.size() <= kKeptScratchBytes && scratch.size() > t_scratch.size()) t_scratch = std::move(scratch);
  return done;
}

}  // namespace batchaugmentor::fitting
