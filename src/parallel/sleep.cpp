#include "parallel/sleep.h"

#include "platform/thread.h"

namespace batchaugmentor::parallel {

Sleep::Sleep(std::size_t workers) : workers_(workers), slots_(std::make_unique<Slot[]>(workers)) {}

IdleState Sleep::start_looking(std::size_t worker) {
  counters_.fetch_add(kOneInactive, std::memory_order_seq_cst);
  return IdleState{worker};
}

void Sleep::work_found() { counters_.fetch_sub(kOneInactive, std::memory_order_seq_cst); }

void Sleep::no_work_found(IdleState& idle, CoreLatch& latch) {
  if (idle.rounds < kRoundsUntilSleepy) {
    platform::yield_now();
    ++idle.rounds;
  } else if (idle.rounds == kRoundsUntilSleepy) {
    announce_sleepy(idle);
    ++idle.rounds;
    platform::yield_now();
  } else {
    sleep(idle, latch);
  }
}

void Sleep::announce_sleepy(IdleState& idle) {
  std::uint64_t c = counters_.load(std::memory_order_seq_cst);
  for (;;) {
    if (jobs_event(c) % 2 == 0) break;
    if (counters_.compare_exchange_weak(c, c + kOneJobsEvent, std::memory_order_seq_cst)) {
      c += kOneJobsEvent;
      break;
    }
  }
  idle.jobs_counter = jobs_event(c);
}

void Sleep::sleep(IdleState& idle, CoreLatch& latch) {
  if (!latch.get_sleepy()) return;  // set meanwhile: the caller's loop sees it
  Slot& slot = slots_[idle.worker];
  std::unique_lock<std::mutex> guard(slot.lock);
  if (!latch.fall_asleep()) return;

  // Commit to sleeping only if no job was posted since the announcement.
  std::uint64_t c = counters_.load(std::memory_order_seq_cst);
  for (;;) {
    if (jobs_event(c) != idle.jobs_counter) {
      // Work arrived: search again, announcing afresh before the next sleep.
      idle.rounds = kRoundsUntilSleepy;
      guard.unlock();
      latch.wake_up();
      return;
    }
    if (counters_.compare_exchange_weak(c, c + kOneSleeping, std::memory_order_seq_cst)) break;
  }

  // The slot lock is held from before the CAS until wait() releases it, so a
  // waker that counted us as sleeping finds `blocked` already true.
  slot.blocked = true;
  while (slot.blocked) slot.wake.wait(guard);
  guard.unlock();

  // The waker has taken us off the sleeping count.
  idle.rounds = 0;
  latch.wake_up();
}

void Sleep::notify_jobs(bool queue_was_empty) {
  std::uint64_t c = counters_.load(std::memory_order_seq_cst);
  while (jobs_event(c) % 2 == 0) {
    if (counters_.compare_exchange_weak(c, c + kOneJobsEvent, std::memory_order_seq_cst)) {
      c += kOneJobsEvent;
      break;
    }
  }
  std::uint32_t asleep = sleeping(c);
  if (asleep == 0) return;
  std::uint32_t idle_awake = inactive(c) - asleep;
  if (queue_was_empty && idle_awake > 0) return;  // that worker will find the job
  for (std::size_t i = 0; i < workers_; ++i) {
    if (wake_worker(i)) return;
  }
}

bool Sleep::wake_worker(std::size_t index) {
  Slot& slot = slots_[index];
  std::lock_guard<std::mutex> guard(slot.lock);
  if (!slot.blocked) return false;
  slot.blocked = false;
  counters_.fetch_sub(kOneSleeping, std::memory_order_seq_cst);
  slot.wake.notify_one();
  return true;
}

}  // namespace batchaugmentor::parallel
