#include "resize/resize.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "parallel/map.h"
#include "parallel/worker_pool.h"
#include "pixels/gather.h"
#include "platform/large_pages.h"
#include "platform/pages.h"
#include "resampling/resample.h"

namespace batchaugmentor::resize {
namespace {

constexpr char kImageChannels[] = "Only RGB images (3 channels) are supported";
constexpr char kVideoChannels[] = "Only RGB videos (3 channels) are supported";
constexpr char kTargetZero[] = "Target dimensions must be greater than zero";
// The kernel counts pixels in 32 bits; a larger axis is refused rather than
// silently truncated to a different image.
constexpr char kImageTooLarge[] = "Image height and width must be below 2^32";
constexpr char kVideoTooLarge[] = "Video frame height and width must be below 2^32";

constexpr std::size_t kMaxAxis = std::numeric_limits<std::uint32_t>::max();

// The pixels of an RGB view as rows the kernel can read: in place when the
// kernel gathers the layout itself (packed, reversed, four-byte or planar
// pixels, any row stride), else through a packed copy held in `packed`.
Outcome<resampling::RgbRows> rows_of(const ImageView& image, resampling::RgbRaster& packed,
                                     platform::LargePageRequest& large) {
  auto width = static_cast<std::uint32_t>(image.shape[1]);
  auto height = static_cast<std::uint32_t>(image.shape[0]);
  if (width == 0 || height == 0) return resampling::RgbRows{nullptr, 0, width, height};
  const resampling::RgbRows in_place{image.data, image.strides[0], width, height, image.strides[1],
                                     image.strides[2]};
  if (in_place.readable()) return in_place;
  auto raster = resampling::RgbRaster::allocate(width, height);
  if (!raster.ok()) return raster.error();
  packed = std::move(raster).value();
  // A fresh packed copy in small pages spends as long on page faults as on
  // the gather itself.
  large.add(packed.pixels(), packed.size());
  pixels::RgbGather(image).block(0, height, 0, width, packed.pixels(), static_cast<std::size_t>(width) * 3);
  return packed.rows();
}

// Below this many multiply-adds (a few milliseconds on one core) an image is
// made in one piece: splitting costs redundant work at the cuts and buffers
// per piece, and buys nothing when other items keep every worker busy, as in
// a batch of 1920x1080 photos shrunk to 224x224 (45 million each).
constexpr std::uint64_t kSplitMultiplyAdds = 64'000'000;
// Pieces of at least this many output rows: each piece converts the source
// rows its first band shares with the piece before it once more.
constexpr std::uint32_t kMinPieceRows = 64;
// Pieces per worker, so that a worker that finishes early can take one.
constexpr std::uint32_t kPiecesPerWorker = 3;

// Results are fresh arrays whose pages the kernel maps in on first write,
// one fault per page, which for a large result takes about as long as the
// resize itself. Mapping them in one call first costs markedly less. Each
// piece of a split image and each video frame maps in its own rows, on its
// own worker. Below a few dozen pages the call is not worth making.
constexpr std::size_t kPrepareBytes = 64 << 10;

void prepare(std::uint8_t* dst, std::size_t bytes) {
  if (bytes >= kPrepareBytes) platform::prepare_for_writing(dst, bytes);
}

// Resizes a checked RGB image into dst (height * width * 3 bytes, row-major).
// A large image is cut into ranges of output rows run across the pool; rows
// are made independently, so the bytes are those of one whole run.
Outcome<> resize_into(const ImageView& image, const resampling::ResizePlan& plan,
                      std::uint8_t* dst) {
  resampling::RgbRaster packed;
  platform::LargePageRequest large(platform::kLargePage);  // taken back before the copy is freed
  auto rows = rows_of(image, packed, large);
  if (!rows.ok()) return rows.error();
  const std::uint32_t height = plan.height();
  const std::size_t workers = parallel::WorkerPool::thread_count();
  const std::size_t row_bytes = static_cast<std::size_t>(plan.width()) * 3;
  if (workers < 2 || plan.multiply_adds() < kSplitMultiplyAdds || height < 2 * kMinPieceRows) {
    prepare(dst, row_bytes * height);
    return plan.run(rows.value(), dst);
  }
  const std::uint64_t wanted = static_cast<std::uint64_t>(workers) * kPiecesPerWorker;
  std::uint32_t piece = static_cast<std::uint32_t>((height + wanted - 1) / wanted);
  if (piece < kMinPieceRows) piece = kMinPieceRows;
  const std::size_t pieces = (height + piece - 1) / piece;
  const auto& kernel = resampling::selected_kernel();
  auto done = map_batch_until_error(pieces, [&](std::size_t i) -> Outcome<> {
    auto begin = static_cast<std::uint32_t>(i * piece);
    std::uint32_t end = begin + piece < height ? begin + piece : height;
    prepare(dst + begin * row_bytes, (end - begin) * row_bytes);
    return plan.run_rows(rows.value(), dst, kernel, begin, end);
  });
  if (!done.ok()) return done.error();
  return Done{};
}

// The checks, in order, before anything is allocated.
Outcome<> check_image(const ImageView& image, std::uint32_t width, std::uint32_t height) {
  if (image.shape[2] != 3) return OperationError::refused(kImageChannels);
  if (width == 0 || height == 0) return OperationError::refused(kTargetZero);
  if (image.shape[0] > kMaxAxis || image.shape[1] > kMaxAxis) return OperationError::refused(kImageTooLarge);
  return Done{};
}

Outcome<> check_video(const VideoView& video, std::uint32_t width, std::uint32_t height) {
  if (video.shape[3] != 3) return OperationError::refused(kVideoChannels);
  if (width == 0 || height == 0) return OperationError::refused(kTargetZero);
  if (video.shape[1] > kMaxAxis || video.shape[2] > kMaxAxis) return OperationError::refused(kVideoTooLarge);
  return Done{};
}

// The items of a batch mostly share their sizes, and a plan's windows (two
// sines per tap) cost a noticeable share of a resize to make. Each thread
// keeps the last plan it used. A plan is taken out while in use and put back
// after, so that an item this thread runs while it waits for a split (the
// pool may hand it one) makes its own rather than replacing one in use.
struct PlanCache {
  std::uint32_t key[4] = {0, 0, 0, 0};
  std::optional<resampling::ResizePlan> plan;
};
thread_local PlanCache plan_cache;

Outcome<resampling::ResizePlan> take_plan(std::uint32_t source_width, std::uint32_t source_height,
                                          std::uint32_t width, std::uint32_t height) {
  const std::uint32_t key[4] = {source_width, source_height, width, height};
  PlanCache& cache = plan_cache;
  if (cache.plan && std::equal(key, key + 4, cache.key)) {
    resampling::ResizePlan plan = std::move(*cache.plan);
    cache.plan.reset();
    return plan;
  }
  return resampling::ResizePlan::make(source_width, source_height, width, height);
}

void return_plan(std::uint32_t source_width, std::uint32_t source_height,
                 resampling::ResizePlan&& plan) {
  PlanCache& cache = plan_cache;
  cache.key[0] = source_width;
  cache.key[1] = source_height;
  cache.key[2] = plan.width();
  cache.key[3] = plan.height();
  cache.plan = std::move(plan);
}

}  // namespace

Outcome<> resize_image(const ImageView& image, std::uint32_t width, std::uint32_t height,
                       std::uint8_t* destination) {
  Outcome<> checked = check_image(image, width, height);
  if (!checked.ok()) return checked;
  if (destination == nullptr) return OperationError::out_of_memory();
  const auto source_width = static_cast<std::uint32_t>(image.shape[1]);
  const auto source_height = static_cast<std::uint32_t>(image.shape[0]);
  auto plan = take_plan(source_width, source_height, width, height);
  if (!plan.ok()) return plan.error();
  auto done = resize_into(image, plan.value(), destination);
  return_plan(source_width, source_height, std::move(plan).value());
  return done;
}

Outcome<> resize_video(const VideoView& video, std::uint32_t width, std::uint32_t height,
                       std::uint8_t* destination) {
  Outcome<> checked = check_video(video, width, height);
  if (!checked.ok()) return checked;
  if (destination == nullptr) return OperationError::out_of_memory();
  if (video.shape[0] == 0) return Done{};  // nothing to filter, however large the target
  // All frames share one size, so they share the filter windows; each frame
  // is resized straight into its place in the result.
  const auto source_width = static_cast<std::uint32_t>(video.shape[2]);
  const auto source_height = static_cast<std::uint32_t>(video.shape[1]);
  auto plan = take_plan(source_width, source_height, width, height);
  if (!plan.ok()) return plan.error();
  const std::size_t frame_bytes = static_cast<std::size_t>(width) * height * 3;
  auto frames = map_batch_until_error(video.shape[0], [&](std::size_t i) {
    return resize_into(frame_view(video, i), plan.value(), destination + i * frame_bytes);
  });
  return_plan(source_width, source_height, std::move(plan).value());
  if (!frames.ok()) return frames.error();
  return Done{};
}

}  // namespace batchaugmentor::resize
