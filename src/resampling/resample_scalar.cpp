// The portable path: the shared schedule over plain float arithmetic. Four
// lanes rather than one let the compiler use whatever short vectors the
// target has (SSE2, NEON) without changing a single operation.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "resampling/internal/banded.h"
#include "resampling/internal/kernels.h"

namespace batchaugmentor::resampling::internal {
namespace {

struct ScalarOps {
  static constexpr std::size_t kLanes = 4;
  struct F {
    float v[kLanes];
  };

  static F load(const float* p) {
    F r;
    for (std::size_t i = 0; i < kLanes; ++i) r.v[i] = p[i];
    return r;
  }
  static F load(const std::uint8_t* p) {
    F r;
    for (std::size_t i = 0; i < kLanes; ++i) r.v[i] = static_cast<float>(p[i]);
    return r;
  }
  static void store(float* p, F a) {
    for (std::size_t i = 0; i < kLanes; ++i) p[i] = a.v[i];
  }
  static F splat(float w) {
    F r;
    for (std::size_t i = 0; i < kLanes; ++i) r.v[i] = w;
    return r;
  }
  static F mul(F a, F b) {
    for (std::size_t i = 0; i < kLanes; ++i) a.v[i] = a.v[i] * b.v[i];
    return a;
  }
  static F add(F a, F b) {
    for (std::size_t i = 0; i < kLanes; ++i) a.v[i] = a.v[i] + b.v[i];
    return a;
  }
  template <std::size_t V, TileOrder kOrder>
  static void to_columns(const F* v, float* column, std::size_t stride) {
    float samples[V * kLanes];
    for (std::size_t j = 0; j < V; ++j) store(samples + j * kLanes, v[j]);
    for (std::size_t x = 0; x < V * kLanes / 3; ++x) {
      for (std::size_t c = 0; c < 3; ++c) {
        std::size_t i = 3 * x + c;
        if constexpr (kOrder == TileOrder::kReversed) i = 3 * x + 2 - c;
        if constexpr (kOrder == TileOrder::kPlanar) i = 3 * kLanes * (x / kLanes) + kLanes * c + x % kLanes;
        column[x * stride + c] = samples[i];
      }
    }
  }
  template <std::size_t V>
  static void to_bytes(const F* v, std::uint8_t* out) {
    for (std::size_t j = 0; j < V; ++j) {
      for (std::size_t i = 0; i < kLanes; ++i) out[j * kLanes + i] = to_byte(v[j].v[i]);
    }
  }
  static constexpr std::size_t kGroup = 16;
  static void columns_to_rows(const std::uint8_t* tile, std::size_t samples, std::size_t rows,
                              std::uint8_t* out, std::size_t out_row) {
    for (std::size_t j = 0; j < rows; ++j) {
      for (std::size_t g = 0; g < kGroup; ++g) std::memcpy(out + j * out_row + g * 3, tile + g * samples + j * 3, 3);
    }
  }
};

}  // namespace

Outcome<> run_scalar(const RgbRows& source, const AxisWindows& vertical, const AxisWindows& horizontal,
                     std::uint32_t width, std::uint32_t row_begin, std::uint32_t row_end,
                     std::uint8_t* dst) {
  return run_banded<ScalarOps>(source, vertical, horizontal, width, row_begin, row_end, dst);
}

}  // namespace batchaugmentor::resampling::internal
