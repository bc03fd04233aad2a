// The two re-checks that keep an idle worker from sleeping through work
// posted while it was getting ready to sleep. Each case drives one worker's
// Sleep by hand on one thread, in the order that loses the wake-up if the
// re-check is missing: then the worker blocks with nobody left to wake it,
// and the deadline ends the test binary.
#include "parallel/sleep.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "deadline.h"

namespace batchaugmentor::parallel {
namespace {

// Idle rounds until the worker has announced itself sleepy; the next
// fruitless search goes to sleep.
void become_sleepy(Sleep& sleep, IdleState& idle, CoreLatch& latch) {
  while (idle.rounds <= Sleep::kRoundsUntilSleepy) sleep.no_work_found(idle, latch);
}

TEST(SleepRecheck, WorkPostedAfterTheAnnouncementKeepsTheWorkerAwake) {
  testing::run_with_deadline(std::chrono::seconds(20), [] {
    Sleep sleep(1);
    CoreLatch latch;
    IdleState idle = sleep.start_looking(0);
    become_sleepy(sleep, idle, latch);
    // A job is posted now. Nobody sleeps yet, so the poster wakes nobody:
    // only the jobs-event counter tells the worker.
    sleep.notify_jobs(true);
    sleep.no_work_found(idle, latch);  // must see the counter moved, not block
    EXPECT_EQ(Sleep::sleeping(sleep.counters()), 0u);
    EXPECT_EQ(idle.rounds, Sleep::kRoundsUntilSleepy);  // searches, announces afresh
    sleep.work_found();
  });
}

TEST(SleepRecheck, LatchSetAfterTheAnnouncementKeepsTheWorkerAwake) {
  testing::run_with_deadline(std::chrono::seconds(20), [] {
    Sleep sleep(1);
    CoreLatch latch;
    IdleState idle = sleep.start_looking(0);
    become_sleepy(sleep, idle, latch);
    EXPECT_FALSE(latch.set());  // the waiter is not asleep: no wake-up owed
    sleep.no_work_found(idle, latch);
    EXPECT_TRUE(latch.probe());
    EXPECT_EQ(Sleep::sleeping(sleep.counters()), 0u);
    sleep.work_found();
  });
}

TEST(SleepRecheck, WithNothingPostedTheWorkerSleepsUntilWoken) {
  // The counterpart: the re-checks must not keep a worker spinning when
  // nothing happened.
  testing::run_with_deadline(std::chrono::seconds(20), [] {
    Sleep sleep(1);
    CoreLatch latch;
    IdleState idle = sleep.start_looking(0);
    become_sleepy(sleep, idle, latch);
    std::thread waker([&] {
      while (Sleep::sleeping(sleep.counters()) == 0) std::this_thread::yield();
      sleep.notify_jobs(true);
    });
    sleep.no_work_found(idle, latch);  // blocks until the waker's post
    waker.join();
    EXPECT_EQ(idle.rounds, 0u);
    sleep.work_found();
  });
}

}  // namespace
}  // namespace batchaugmentor::parallel
