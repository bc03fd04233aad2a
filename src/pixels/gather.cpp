#include "pixels/gather.h"

#include "platform/cpu.h"
#include "platform/process.h"

namespace batchaugmentor::pixels {
namespace {

std::ptrdiff_t magnitude(std::ptrdiff_t s) { return s < 0 ? -s : s; }

// The reference every path is held to: one sample at a time.
void scalar_row(const ImageView& image, Layout, std::size_t y, std::size_t x0, std::size_t n,
                std::uint8_t* out) {
  for (std::size_t x = x0; x < x0 + n; ++x) {
    for (std::size_t c = 0; c < 3; ++c) *out++ = *image_at(image, y, x, c);
  }
}

void scalar_block(const ImageView& image, Layout layout, std::size_t y0, std::size_t rows, std::size_t x0,
                  std::size_t n, std::uint8_t* out, std::size_t out_stride) {
  for (std::size_t r = 0; r < rows; ++r) scalar_row(image, layout, y0 + r, x0, n, out + r * out_stride);
}

void scalar_planes(const ImageView& image, Layout, std::size_t y0, std::size_t rows, std::size_t x0,
                   std::size_t n, std::uint8_t* const out[3], std::size_t out_stride) {
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t x = 0; x < n; ++x) {
      for (std::size_t c = 0; c < 3; ++c) out[c][r * out_stride + x] = *image_at(image, y0 + r, x0 + x, c);
    }
  }
}

constexpr GatherPath kScalar{"scalar", &scalar_row, &scalar_block, &scalar_planes};
#if defined(__x86_64__) || defined(__i386__)
constexpr GatherPath kAvx2{"avx2", &internal::avx2_row, &internal::avx2_block, &internal::avx2_planes};
#endif

const GatherPath& read_choice() {
  // The same switch as the resampling kernel's, so that one setting runs the
  // whole process on one path.
  if (auto forced = platform::get_env("BATCHAUGMENTOR_KERNEL"); forced && *forced == "scalar") return kScalar;
  if (const GatherPath* wide = avx2_gather()) return *wide;
  return kScalar;
}

}  // namespace

Layout classify(const ImageView& image) {
  const std::ptrdiff_t s0 = image.strides[0], s1 = image.strides[1], s2 = image.strides[2];
  if (s1 == 3 && s2 == 1) return Layout::kPacked;
  if (s1 == 3 && s2 == -1) return Layout::kReversed;
  if (s1 == 4 && (s2 == 1 || s2 == -1)) return Layout::kSpaced;
  if (s1 == 1) return Layout::kPlanar;
  if (magnitude(s0) <= 4 && magnitude(s1) > 4) return Layout::kColumns;
  return Layout::kGeneral;
}

void prefetch_block(const ImageView& image, Layout layout, std::size_t y0, std::size_t rows, std::size_t x0,
                    std::size_t n) {
  if (layout != Layout::kColumns || rows == 0) return;
  const std::ptrdiff_t s0 = image.strides[0], s2 = image.strides[2];
  // The bytes of one column's rows: one run per channel, or, where the
  // channels lie within a row's few bytes, one run holding all three.
  const std::ptrdiff_t down = static_cast<std::ptrdiff_t>(rows - 1) * s0;
  const bool one_run = magnitude(s2) <= magnitude(s0);
  const std::ptrdiff_t across = one_run ? 2 * s2 : 0;
  const std::ptrdiff_t lo = (down < 0 ? down : 0) + (across < 0 ? across : 0);
  const std::ptrdiff_t hi = (down > 0 ? down : 0) + (across > 0 ? across : 0);
  // Each line once: a prefetch waits for a free fill buffer like a load.
  constexpr std::uintptr_t kLine = 64;
  for (std::size_t x = x0; x < x0 + n && x < image.shape[1]; ++x) {
    for (std::size_t c = 0; c < (one_run ? 1 : 3); ++c) {
      const std::uint8_t* p = image_at(image, y0, x, c);
      const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(p + lo) / kLine;
      const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(p + hi) / kLine;
      for (std::uintptr_t line = first; line <= last; ++line) {
        __builtin_prefetch(p + lo + static_cast<std::ptrdiff_t>((line - first) * kLine));
      }
    }
  }
}

const GatherPath& scalar_gather() { return kScalar; }

const GatherPath* avx2_gather() {
#if defined(__x86_64__) || defined(__i386__)
  if (platform::cpu_runs_avx2()) return &kAvx2;
#endif
  return nullptr;
}

const GatherPath& selected_gather() {
  static const GatherPath& path = read_choice();
  return path;
}

}  // namespace batchaugmentor::pixels
