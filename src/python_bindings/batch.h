// The batch map as the module functions run it: the pool is built on
// demand (a pool that cannot be built is a RuntimeError, and the next call
// tries again), and the calling thread runs signal handlers while it waits,
// so that Ctrl-C stops the batch.
//
//   CancelFlag cancel;
//   auto outcomes = run_batch(n, [&](std::size_t i) { return work(i, &cancel); }, cancel);
//   if (!outcomes) return std::move(outcomes).error();  // e.g. KeyboardInterrupt
#pragma once

#include <cstddef>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/cancel.h"
#include "parallel/map.h"
#include "parallel/worker_pool.h"
#include "python_bindings/errors.h"
#include "python_bindings/results.h"

namespace batchaugmentor::bindings {

// Runs signal handlers for a batch's waiting thread and keeps the
// exception the first failing one raised.
struct SignalCheck {
  std::optional<PyError> raised;

  static bool poll(void* self) {
    if (PyErr_CheckSignals() == 0) return false;
    static_cast<SignalCheck*>(self)->raised.emplace(PyError::fetch());
    return true;
  }
};

// map_batch for the batch functions: builds the pool if needed (a pool
// that cannot be built is a RuntimeError, and the next call tries again)
// and stops early, with the handler's exception, when a signal handler
// raises while the batch runs. `cancel` is the call's own flag; items may
// read it. Items that may wait on the outside world (a pipe) pass
// items_may_block, so that even a lone one leaves this thread to listen.
// Builds the process-wide pool if needed; a pool that cannot be built is a
// RuntimeError, and the next call tries again.
PyStatus ensure_pool();

template <class F>
auto run_batch(std::size_t count, F&& item, CancelFlag& cancel, bool items_may_block = false)
    -> PyResult<std::vector<std::invoke_result_t<F&, std::size_t>>> {
  if (PyStatus pool = ensure_pool(); !pool) return std::move(pool).error();
  SignalCheck check;
  auto out = map_batch_interruptible(count, item, cancel, {&SignalCheck::poll, &check, nullptr}, items_may_block);
  // A handler that raised wins even when every item managed to finish:
  // an item that gave up because of it has no real outcome.
  if (check.raised) return std::move(*check.raised);
  if (!out.ok()) return batch_error(BatchKind::kPlain, out.error());
  return std::move(out).value();
}

}  // namespace batchaugmentor::bindings
