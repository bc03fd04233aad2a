#include "parallel/map.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "common/outcome.h"
#include "deadline.h"
#include "parallel/worker_pool.h"
#include "platform/thread.h"

namespace batchaugmentor {
namespace {

using parallel::WorkerPool;

WorkerPool& pool_of(std::size_t n) {
  // One pool per size for the whole test binary: pools are never torn down.
  static WorkerPool* pools[9] = {};
  if (pools[n] == nullptr) {
    pools[n] = WorkerPool::build(n, &platform::start_detached_thread).value();
  }
  return *pools[n];
}

template <class F>
auto run_on(WorkerPool& pool, F&& f) {
  return pool.join([&](bool) { return f(); }, [](bool) { return 0; }).first;
}

struct MapCase {
  std::size_t threads;  // 0: the global pool, entered from this thread
  std::size_t count;
};

class MapBatch : public ::testing::TestWithParam<MapCase> {
 protected:
  template <class F>
  auto run(F&& f) {
    if (GetParam().threads == 0) return f();
    return run_on(pool_of(GetParam().threads), f);
  }
};

TEST_P(MapBatch, RunsEveryItemOnceAndKeepsInputOrder) {
  const std::size_t count = GetParam().count;
  testing::run_with_deadline(testing::deadline(), [&] {
    auto runs = std::make_unique<std::atomic<int>[]>(count + 1);
    auto out = run([&] {
      return map_batch(count, [&](std::size_t i) {
        runs[i].fetch_add(1, std::memory_order_relaxed);
        return i * 7 + 1;
      });
    });
    ASSERT_TRUE(out.ok());
    ASSERT_EQ(out.value().size(), count);
    std::size_t wrong_value = 0, wrong_runs = 0;
    for (std::size_t i = 0; i < count; ++i) {
      wrong_value += out.value()[i] != i * 7 + 1;
      wrong_runs += runs[i].load() != 1;
    }
    EXPECT_EQ(wrong_value, 0u);
    EXPECT_EQ(wrong_runs, 0u);
  });
}

TEST_P(MapBatch, MoveOnlyOutcomesArriveIntactAndOwned) {
  const std::size_t count = GetParam().count;
  testing::run_with_deadline(testing::deadline(), [&] {
    auto out = run([&] {
      return map_batch(count, [&](std::size_t i) -> Outcome<std::unique_ptr<std::size_t>> {
        if (i % 5 == 3) return OperationError::refused("Odd one out");
        return std::make_unique<std::size_t>(i);
      });
    });
    ASSERT_TRUE(out.ok());
    ASSERT_EQ(out.value().size(), count);
    for (std::size_t i = 0; i < count; ++i) {
      const auto& outcome = out.value()[i];
      if (i % 5 == 3) {
        ASSERT_FALSE(outcome.ok());
        EXPECT_STREQ(outcome.error().message, "Odd one out");
      } else {
        ASSERT_TRUE(outcome.ok());
        EXPECT_EQ(*outcome.value(), i);
      }
    }
  });
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, MapBatch,
    ::testing::Values(MapCase{0, 0}, MapCase{0, 1}, MapCase{0, 2}, MapCase{0, 3},
                      MapCase{0, 5000}, MapCase{1, 2}, MapCase{1, 1000}, MapCase{3, 0},
                      MapCase{3, 2}, MapCase{3, 7}, MapCase{3, 20000}, MapCase{8, 1},
                      MapCase{8, 65}, MapCase{8, 20000}));

TEST(MapBatchThreads, ZeroOrOneItemRunsOnTheCallingThread) {
  auto me = std::this_thread::get_id();
  std::thread::id ran;
  map_batch(1, [&](std::size_t) { ran = std::this_thread::get_id(); return 0; });
  EXPECT_EQ(ran, me);
  auto empty = map_batch(0, [&](std::size_t) -> int { ADD_FAILURE(); return 0; });
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty.value().empty());
}

TEST(MapBatchThreads, TwoOrMoreItemsRunOnWorkers) {
  auto me = std::this_thread::get_id();
  std::atomic<int> on_caller{0};
  map_batch(64, [&](std::size_t) { on_caller += std::this_thread::get_id() == me; return 0; });
  EXPECT_EQ(on_caller.load(), 0);
}

TEST(MapBatchNesting, InnerMapsInsideItemsShareThePool) {
  for (std::size_t threads : {1u, 2u, 8u}) {
    WorkerPool& pool = pool_of(threads);
    testing::run_with_deadline(testing::deadline(), [&] {
      auto videos = run_on(pool, [&] {
        return map_batch(40, [&](std::size_t v) -> Outcome<std::vector<std::size_t>> {
          return map_batch_until_error(v + 1, [&](std::size_t f) -> Outcome<std::size_t> {
            return v * 1000 + f;
          });
        });
      });
      ASSERT_TRUE(videos.ok());
      ASSERT_EQ(videos.value().size(), 40u);
      for (std::size_t v = 0; v < videos.value().size(); ++v) {
        ASSERT_TRUE(videos.value()[v].ok());
        const auto& frames = videos.value()[v].value();
        ASSERT_EQ(frames.size(), v + 1);
        for (std::size_t f = 0; f < frames.size(); ++f) EXPECT_EQ(frames[f], v * 1000 + f);
      }
    });
  }
}

class UntilError : public ::testing::TestWithParam<std::size_t> {};

TEST_P(UntilError, AllSuccessesComeBackInOrder) {
  WorkerPool& pool = pool_of(GetParam());
  for (std::size_t count : {0u, 1u, 2u, 9u, 3000u}) {
    auto runs = std::make_unique<std::atomic<int>[]>(count + 1);
    auto result = run_on(pool, [&] {
      return map_batch_until_error(count, [&](std::size_t i) -> Outcome<std::unique_ptr<int>> {
        runs[i].fetch_add(1);
        return std::make_unique<int>(static_cast<int>(i));
      });
    });
    ASSERT_TRUE(result.ok());
    ASSERT_EQ(result.value().size(), count);
    for (std::size_t i = 0; i < count; ++i) {
      EXPECT_EQ(*result.value()[i], static_cast<int>(i));
      EXPECT_EQ(runs[i].load(), 1);
    }
  }
}

TEST_P(UntilError, ReportsOneOfTheFailuresAndSkipsLaterWork) {
  WorkerPool& pool = pool_of(GetParam());
  const std::size_t count = 4000;
  std::atomic<std::size_t> started{0};
  auto result = run_on(pool, [&] {
    return map_batch_until_error(count, [&](std::size_t i) -> Outcome<std::size_t> {
      started.fetch_add(1);
      // Slow enough that the failure is recorded long before the other
      // workers could have started everything.
      if (i > 7) std::this_thread::sleep_for(std::chrono::microseconds(50));
      if (i == 3) return OperationError::refused("Frame 3 failed");
      if (i == 7) return OperationError::refused("Frame 7 failed");
      return i;
    });
  });
  ASSERT_FALSE(result.ok());
  const char* message = result.error().message;
  EXPECT_TRUE(std::strcmp(message, "Frame 3 failed") == 0 ||
              std::strcmp(message, "Frame 7 failed") == 0)
      << message;
  if (GetParam() == 1) {
    // One worker runs the pieces left to right, so nothing after the first
    // failure is started.
    EXPECT_EQ(started.load(), 4u);
  } else {
    EXPECT_LT(started.load(), count);
  }
}

INSTANTIATE_TEST_SUITE_P(Threads, UntilError, ::testing::Values(1, 3, 8));

TEST(UntilError, OnTheCallingThreadForOneItem) {
  auto result = map_batch_until_error(1, [](std::size_t) -> Outcome<int> {
    return OperationError::refused("Only item failed");
  });
  ASSERT_FALSE(result.ok());
  EXPECT_STREQ(result.error().message, "Only item failed");
}

}  // namespace
}  // namespace batchaugmentor

namespace batchaugmentor {
namespace {

// Records the address of every live value, so that destroying a slot that
// was never constructed (or twice) shows up.
class Tracked {
 public:
  explicit Tracked(int v) : value(v) { enter(); }
  Tracked(Tracked&& other) noexcept : value(other.value) { enter(); }
  Tracked(const Tracked&) = delete;
  ~Tracked() {
    std::lock_guard<std::mutex> guard(lock());
    if (live().erase(this) != 1) ++bad_destroys();
  }
  static std::size_t live_count() {
    std::lock_guard<std::mutex> guard(lock());
    return live().size();
  }
  static std::size_t& bad_destroys() {
    static std::size_t n = 0;
    return n;
  }
  int value;

 private:
  void enter() {
    std::lock_guard<std::mutex> guard(lock());
    live().insert(this);
  }
  static std::mutex& lock() {
    static std::mutex m;
    return m;
  }
  static std::set<const void*>& live() {
    static std::set<const void*> s;
    return s;
  }
};

TEST(MergeRuns, AGapDropsTheRightRunAndDestroysItsOutcomes) {
  using parallel::internal::Slots;
  using parallel::internal::merge_runs;
  auto made = Slots<Tracked>::allocate(6);
  ASSERT_TRUE(made.ok());
  Slots<Tracked>* slots = &made.value();
  const std::size_t before = Tracked::live_count();
  for (std::size_t i : {0u, 1u, 3u, 4u}) slots->construct(i, Tracked(static_cast<int>(i)));
  // The left piece stopped after two of its three items: slot 2 is empty.
  auto merged = merge_runs(parallel::internal::WrittenRun{0, 2}, parallel::internal::WrittenRun{3, 2}, *slots);
  EXPECT_EQ(merged.start, 0u);
  EXPECT_EQ(merged.written, 2u);
  EXPECT_EQ(Tracked::live_count(), before + 2);
  slots->destroy(merged.start, merged.written);
  EXPECT_EQ(Tracked::live_count(), before);
  EXPECT_EQ(Tracked::bad_destroys(), 0u);

  // Adjacent runs merge.
  for (std::size_t i : {0u, 1u, 2u}) slots->construct(i, Tracked(static_cast<int>(i)));
  merged = merge_runs(parallel::internal::WrittenRun{0, 1}, parallel::internal::WrittenRun{1, 2}, *slots);
  EXPECT_EQ(merged.written, 3u);
  slots->destroy(0, 3);
  EXPECT_EQ(Tracked::bad_destroys(), 0u);
}

struct PollCounter {
  std::thread::id caller = std::this_thread::get_id();
  std::atomic<int> polls{0};
  std::atomic<int> off_caller{0};
  int stop_after;
  static bool poll(void* self) {
    auto* p = static_cast<PollCounter*>(self);
    if (std::this_thread::get_id() != p->caller) p->off_caller.fetch_add(1);
    return p->polls.fetch_add(1) + 1 >= p->stop_after;
  }
};

TEST(MapBatchInterruptible, AHookThatAsksToStopEndsTheBatchEarlyAndFreesEverything) {
  testing::run_with_deadline(testing::deadline(), [] {
    const std::size_t count = 20000;  // 1 ms each: far longer than one poll
    std::atomic<std::size_t> started{0};
    PollCounter counter;
    counter.stop_after = 2;
    CancelFlag cancel;
    const std::size_t before = Tracked::live_count();
    auto out = map_batch_interruptible(
        count,
        [&](std::size_t i) {
          started.fetch_add(1);
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          return Tracked(static_cast<int>(i));
        },
        cancel, parallel::WaitHook{&PollCounter::poll, &counter, nullptr});
    ASSERT_FALSE(out.ok());
    EXPECT_TRUE(out.error().is_cancelled());
    EXPECT_TRUE(cancel.requested());
    EXPECT_EQ(counter.polls.load(), 2);  // not polled again once it asked to stop
    EXPECT_EQ(counter.off_caller.load(), 0);
    EXPECT_LT(started.load(), count / 2);
    // Written outcomes on both sides of the gaps were destroyed, once each.
    EXPECT_EQ(Tracked::live_count(), before);
    EXPECT_EQ(Tracked::bad_destroys(), 0u);
  });
}

TEST(MapBatchInterruptible, WithoutARequestEveryItemRunsInOrder) {
  PollCounter counter;
  counter.stop_after = 1 << 30;
  CancelFlag cancel;
  auto out = map_batch_interruptible(
      500, [](std::size_t i) { return static_cast<int>(i) * 2; }, cancel,
      parallel::WaitHook{&PollCounter::poll, &counter, nullptr});
  ASSERT_TRUE(out.ok());
  ASSERT_EQ(out.value().size(), 500u);
  for (std::size_t i = 0; i < out.value().size(); ++i) EXPECT_EQ(out.value()[i], static_cast<int>(i) * 2);
}

TEST(MapBatchInterruptible, MapsInsideAnItemStopWithTheirBatch) {
  CancelFlag cancel;
  std::atomic<bool> inner_cancelled{false};
  PollCounter counter;
  counter.stop_after = 1 << 30;
  auto out = map_batch_interruptible(
      2,
      [&](std::size_t i) {
        if (i == 0) {
          cancel.request();  // as the waiting thread would
          auto frames = map_batch_until_error(100, [](std::size_t f) -> Outcome<std::size_t> { return f; });
          inner_cancelled = !frames.ok() && frames.error().is_cancelled();
        }
        return 0;
      },
      cancel, parallel::WaitHook{&PollCounter::poll, &counter, nullptr});
  EXPECT_TRUE(inner_cancelled.load());
  static_cast<void>(out);  // item 1 may or may not have started before the request
}

TEST(MapBatch, AnOutputThatCannotBeAllocatedIsOutOfMemoryBeforeAnyItemRuns) {
  std::atomic<int> ran{0};
  // Its byte size overflows, so no allocator is asked (sanitizers would
  // report a request this large themselves).
  const std::size_t huge = std::numeric_limits<std::size_t>::max() / 2;
  const auto out = map_batch(huge, [&](std::size_t) { ran.fetch_add(1); return Tracked(0); });
  ASSERT_FALSE(out.ok());
  EXPECT_TRUE(out.error().is_out_of_memory());
  EXPECT_EQ(ran.load(), 0);
}

}  // namespace
}  // namespace batchaugmentor
