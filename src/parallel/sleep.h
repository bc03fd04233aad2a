// Sleep: how idle workers wait for work and how posting work wakes them.
//
//   Sleep sleep(n);
//   IdleState idle = sleep.start_looking(w);      // worker w found nothing
//   while (!found) sleep.no_work_found(idle, latch);   // yields, then sleeps
//   sleep.work_found();
//   sleep.notify_jobs(queue_was_empty);            // after posting one job
//
// One 64-bit counter word holds, from the low bits up: the number of
// sleeping workers (16 bits), the number of inactive workers, idle or
// sleeping (16 bits), and the jobs-event counter (32 bits). A worker that is
// about to sleep first announces itself sleepy by making the jobs-event
// counter even and remembering it; posting work makes it odd again. A
// sleepy worker searches once more, then commits to sleep with a CAS that
// succeeds only if the jobs-event counter is still the one it remembered.
// So either the poster's counter update comes first and the CAS fails (the
// worker searches again), or the worker is counted as sleeping before the
// poster reads the counters and the poster wakes someone.
//
// Every access to the counter word is sequentially consistent: the poster
// writes its job (a seq_cst store in the deque or queue) and then reads the
// counters, while the worker writes the counters and then reads the deques
// and the queue. Without a single total order each side could miss the
// other's write and the job would sit unrun while everyone sleeps.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace batchaugmentor::parallel {

// The state word of a latch that a worker waits for: unset -> (sleepy ->
// sleeping, only while its owner waits idle) -> set.
class CoreLatch {
 public:
  static constexpr std::uint32_t kUnset = 0;
  static constexpr std::uint32_t kSleepy = 1;
  static constexpr std::uint32_t kSleeping = 2;
  static constexpr std::uint32_t kSet = 3;

  // Acquire pairs with the release in set(): whoever sees the latch set also
  // sees the result written before it.
  bool probe() const { return state_.load(std::memory_order_acquire) == kSet; }

  // Returns true when the waiter was sleeping and must be woken.
  bool set() { return state_.exchange(kSet, std::memory_order_acq_rel) == kSleeping; }

  // The waiter's own transitions. They fail only when the latch was set
  // meanwhile; relaxed is enough because a set latch is re-read with probe().
  bool get_sleepy() { return transition(kUnset, kSleepy); }
  bool fall_asleep() { return transition(kSleepy, kSleeping); }
  void wake_up() {
    if (!probe()) transition(kSleeping, kUnset);
  }

 private:
  bool transition(std::uint32_t from, std::uint32_t to) {
    return state_.compare_exchange_strong(from, to, std::memory_order_relaxed,
                                          std::memory_order_relaxed);
  }
  std::atomic<std::uint32_t> state_{kUnset};
};

struct IdleState {
  std::size_t worker;
  std::uint32_t rounds = 0;
  std::uint32_t jobs_counter = 0;  // remembered when announcing sleepy
};

class Sleep {
 public:
  static constexpr std::uint32_t kRoundsUntilSleepy = 32;

  explicit Sleep(std::size_t workers);

  IdleState start_looking(std::size_t worker);
  void work_found();

  // One fruitless search: yield for the first rounds, announce sleepiness at
  // round 32, then sleep on the worker's slot unless work was posted since
  // the announcement or `latch` has been set.
  void no_work_found(IdleState& idle, CoreLatch& latch);

  // Called after one job was posted to a deque or the injection queue.
  void notify_jobs(bool queue_was_empty);

  // Wakes worker `index` if it is blocked on its slot.
  bool wake_worker(std::size_t index);

  std::uint64_t counters() const { return counters_.load(std::memory_order_seq_cst); }
  static std::uint32_t sleeping(std::uint64_t c) { return static_cast<std::uint32_t>(c & 0xFFFF); }
  static std::uint32_t inactive(std::uint64_t c) {
    return static_cast<std::uint32_t>((c >> 16) & 0xFFFF);
  }
  static std::uint32_t jobs_event(std::uint64_t c) { return static_cast<std::uint32_t>(c >> 32); }

 private:
  static constexpr std::uint64_t kOneSleeping = 1;
  static constexpr std::uint64_t kOneInactive = std::uint64_t{1} << 16;
  static constexpr std::uint64_t kOneJobsEvent = std::uint64_t{1} << 32;

  struct alignas(64) Slot {
    std::mutex lock;
    std::condition_variable wake;
    bool blocked = false;
  };

  void announce_sleepy(IdleState& idle);
  void sleep(IdleState& idle, CoreLatch& latch);

  std::size_t workers_;
  std::unique_ptr<Slot[]> slots_;
  alignas(64) std::atomic<std::uint64_t> counters_{0};
};

}  // namespace batchaugmentor::parallel
