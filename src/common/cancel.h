// A request, made by the thread that started a batch, that the batch stop
// early (the user pressed Ctrl-C). The batch map stops starting items once
// it is set; an item that can wait on the outside world (a read from a pipe)
// polls it while it waits, so that no item outlives the interrupt for long.
//
//   CancelFlag cancel;
//   ... workers: if (cancel.requested()) return early;
//   ... caller:  cancel.request();
#pragma once

#include <atomic>

namespace batchaugmentor {

class CancelFlag {
 public:
  // Relaxed is enough: the flag only asks items to stop sooner; every result
  // they wrote is published by the batch's own completion latch.
  void request() noexcept { requested_.store(true, std::memory_order_relaxed); }
  bool requested() const noexcept { return requested_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> requested_{false};
};

}  // namespace batchaugmentor
