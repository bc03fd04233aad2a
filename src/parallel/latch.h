// The two latches a finished job sets.
//
//   JoinLatch latch(sleep, worker_index);   // a worker waits, running other jobs
//   latch.set();                            // wakes that worker if it sleeps
//
//   CallerLatch& latch = caller_latch();    // a thread outside the pool
//   latch.wait();                           // blocks; re-arms itself on return
//   latch.set();
//
// Both live at least as long as the wait for them: a JoinLatch in the
// waiting worker's stack frame, a CallerLatch for the life of its thread.
#pragma once

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
    // Notify under the lock: the waiter cannot return, and its next call
    // cannot reuse the latch, before we are done with it.
    wake_.notify_all();
  }

  void wait() {
    std::unique_lock<std::mutex> guard(lock_);
    while (!set_) wake_.wait(guard);
    set_ = false;  // ready for this thread's next call
  }

 private:
  std::mutex lock_;
  std::condition_variable wake_;
  bool set_ = false;
};

}  // namespace batchaugmentor::parallel
