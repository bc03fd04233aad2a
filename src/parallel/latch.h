// The two latches a finished job sets.
//
//   JoinLatch latch(sleep, worker_index);   // a worker waits, running other jobs
//   latch.set();                            // wakes that worker if it sleeps
//
//   CallerLatch latch;                      // a thread outside the pool
//   latch.wait();                           // blocks until set
//   while (!latch.wait_for(50ms)) poll();   // or wakes up now and then
//   latch.set();
//
// Both live in the waiting thread's stack frame, at least as long as the
// wait for them. A CallerLatch per job (not per thread) lets a signal
// handler that the waiting thread runs between slices start a batch of its
// own without the two batches sharing one latch.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "parallel/sleep.h"

namespace batchaugmentor::parallel {

class JoinLatch {
 public:
  JoinLatch(Sleep& sleep, std::size_t waiter) : sleep_(&sleep), waiter_(waiter) {}

  bool probe() const { return core_.probe(); }
  CoreLatch& core() { return core_; }

  void set() {
    // The waiter may return and pop this latch off its stack as soon as the
    // state reads set, so copy what the wake-up needs first.
    Sleep* sleep = sleep_;
    std::size_t waiter = waiter_;
    if (core_.set()) sleep->wake_worker(waiter);
  }

 private:
  CoreLatch core_;
  Sleep* sleep_;
  std::size_t waiter_;
};

// A mutex-protected flag with a condition variable: the calling thread
// blocks without spinning while the pool works.
class CallerLatch {
 public:
  void set() {
    std::lock_guard<std::mutex> guard(lock_);
    set_ = true;
    // Notify under the lock: the waiter cannot return, and pop the latch
    // off its stack, before we are done with it.
    wake_.notify_all();
  }

  void wait() {
    std::unique_lock<std::mutex> guard(lock_);
    while (!set_) wake_.wait(guard);
  }

  // True once set; false when `slice` passed first.
  bool wait_for(std::chrono::milliseconds slice) {
    std::unique_lock<std::mutex> guard(lock_);
    return wake_.wait_for(guard, slice, [this] { return set_; });
  }

 private:
  std::mutex lock_;
  std::condition_variable wake_;
  bool set_ = false;
};

}  // namespace batchaugmentor::parallel
