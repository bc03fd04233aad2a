// The two batch maps every batch function runs its items through.
//
//   std::vector<Outcome<ImageArray>> out =
//       map_batch(n, [&](std::size_t i) { return crop_image(views[i], boxes[i]); });
//
//   Outcome<std::vector<ImageArray>> frames = map_batch_until_error(
//       f, [&](std::size_t i) { return resize_image(frame_view(video, i), w, h); });
//
// map_batch calls item(i) exactly once for every i in [0, count) and returns
// the outcomes in index order. map_batch_until_error stops starting new items
// once one has failed and returns that error, or all values in index order.
//
// For now both run on the calling thread in index order; callers rely only on
// the contract above.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/outcome.h"

namespace batchaugmentor {

template <class F>
auto map_batch(std::size_t count, F&& item) -> std::vector<std::invoke_result_t<F&, std::size_t>> {
  std::vector<std::invoke_result_t<F&, std::size_t>> out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) out.push_back(item(i));
  return out;
}

template <class F>
auto map_batch_until_error(std::size_t count, F&& item)
    -> Outcome<std::vector<std::remove_cvref_t<decltype(item(std::size_t{0}).value())>>> {
  using Value = std::remove_cvref_t<decltype(item(std::size_t{0}).value())>;
  std::vector<Value> values;
  values.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    auto r = item(i);
    if (!r.ok()) return r.error();
    values.push_back(std::move(r).value());
  }
  return values;
}

}  // namespace batchaugmentor
