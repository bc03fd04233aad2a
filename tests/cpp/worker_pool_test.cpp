#include "parallel/worker_pool.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "deadline.h"
#include "parallel/map.h"
#include "platform/thread.h"

namespace batchaugmentor::parallel {
namespace {

WorkerPool& make_pool(std::size_t n) {
  Outcome<WorkerPool*> built = WorkerPool::build(n, &platform::start_detached_thread);
  EXPECT_TRUE(built.ok());
  return *built.value();
}

// Runs f on a worker of `pool`, with the calling thread blocked meanwhile.
template <class F>
auto run_on(WorkerPool& pool, F&& f) {
  return pool.join([&](bool) { return f(); }, [](bool) { return 0; }).first;
}

std::uint64_t parallel_sum(WorkerPool& pool, std::uint64_t lo, std::uint64_t hi) {
  if (hi - lo == 1) return lo;
  std::uint64_t mid = lo + (hi - lo) / 2;
  auto [a, b] = pool.join([&](bool) { return parallel_sum(pool, lo, mid); },
                          [&](bool) { return parallel_sum(pool, mid, hi); });
  return a + b;
}

struct CountCase {
  const char* text;
  std::optional<std::uint64_t> value;
};

class ParseCount : public ::testing::TestWithParam<CountCase> {};

TEST_P(ParseCount, FollowsTheDigitsOnlyRule) {
  EXPECT_EQ(parse_count(GetParam().text), GetParam().value) << "'" << GetParam().text << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseCount,
    ::testing::Values(CountCase{"4", 4}, CountCase{"+4", 4}, CountCase{"007", 7},
                      CountCase{"0", 0}, CountCase{"18446744073709551615", UINT64_MAX},
                      CountCase{"18446744073709551616", std::nullopt},
                      CountCase{"99999999999999999999", std::nullopt},
                      CountCase{"", std::nullopt}, CountCase{"+", std::nullopt},
                      CountCase{"++4", std::nullopt}, CountCase{"-1", std::nullopt},
                      CountCase{" 4", std::nullopt}, CountCase{"4 ", std::nullopt},
                      CountCase{"4a", std::nullopt}, CountCase{"0x10", std::nullopt}));

struct EnvCase {
  const char* num_threads;  // null: unset
  const char* num_cpus;
  std::size_t expected;     // 0: the processor count
};

class ThreadCountFromEnvironment : public ::testing::TestWithParam<EnvCase> {
 protected:
  void TearDown() override {
    ::unsetenv("RAYON_NUM_THREADS");
    ::unsetenv("RAYON_RS_NUM_CPUS");
  }
};

TEST_P(ThreadCountFromEnvironment, PicksTheFirstPositiveValidValue) {
  const EnvCase& c = GetParam();
  auto put = [](const char* name, const char* value) {
    if (value) ::setenv(name, value, 1); else ::unsetenv(name);
  };
  put("RAYON_NUM_THREADS", c.num_threads);
  put("RAYON_RS_NUM_CPUS", c.num_cpus);
  std::size_t cpus = std::thread::hardware_concurrency();
  EXPECT_EQ(thread_count_from_environment(), c.expected == 0 ? cpus : c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Variables, ThreadCountFromEnvironment,
    // The common cases are covered from Python, where the pool is really built.
    ::testing::Values(EnvCase{"abc", "3", 3}, EnvCase{"0", "5", 0}, EnvCase{"", "5", 5}, EnvCase{"-2", nullptr, 0},
                      EnvCase{"100000", nullptr, 65535}, EnvCase{nullptr, "70000", 65535}));

class Join : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Join, RecursiveSumOverMillionsOfLeaves) {
  WorkerPool& pool = make_pool(GetParam());
  const std::uint64_t n = testing::kSanitized ? (1u << 18) : (1u << 22);
  testing::run_with_deadline(testing::deadline(), [&] {
    std::uint64_t sum = run_on(pool, [&] { return parallel_sum(pool, 0, n); });
    EXPECT_EQ(sum, n * (n - 1) / 2);
  });
}

TEST_P(Join, TellsEachTaskWhetherItMoved) {
  WorkerPool& pool = make_pool(GetParam());
  testing::run_with_deadline(testing::deadline(), [&] {
    // Entered from outside: both halves run on workers, not on the caller.
    auto outer = pool.join([](bool moved) { return moved; }, [](bool moved) { return moved; });
    EXPECT_TRUE(outer.first);
    EXPECT_TRUE(outer.second);

    // On a worker: the first half never moves; the second moved exactly
    // when a different thread ran it.
    std::atomic<int> mismatches{0}, a_moved{0}, b_stolen{0};
    std::function<void(int)> spread = [&](int depth) {
      if (depth == 0) return;
      auto joiner = std::this_thread::get_id();
      pool.join(
          [&](bool moved) {
            if (moved) a_moved.fetch_add(1);
            spread(depth - 1);
            return 0;
          },
          [&](bool moved) {
            bool other = std::this_thread::get_id() != joiner;
            if (moved != other) mismatches.fetch_add(1);
            b_stolen.fetch_add(other);
            spread(depth - 1);
            return 0;
          });
    };
    run_on(pool, [&] { spread(14); return 0; });
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(a_moved.load(), 0);
  });
}

TEST_P(Join, BurstsAfterAllWorkersSleptAreAllRun) {
  const std::size_t n = GetParam();
  WorkerPool& pool = make_pool(n);
  testing::run_with_deadline(testing::deadline(), [&] {
    for (int burst = 0; burst < 6; ++burst) {
      // Wait until every worker has gone to sleep on its slot.
      auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (Sleep::sleeping(pool.sleep().counters()) != n) {
        ASSERT_LT(std::chrono::steady_clock::now(), give_up) << "workers never fell asleep";
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      // Several outside threads post at once, each blocking on its own latch.
      std::atomic<std::uint64_t> total{0};
      std::vector<std::thread> callers;
      for (int c = 0; c < 3; ++c) {
        callers.emplace_back([&] { total += parallel_sum(pool, 0, 5000); });
      }
      for (auto& t : callers) t.join();
      EXPECT_EQ(total.load(), 3u * (5000u * 4999u / 2));
    }
  });
}

TEST_P(Join, StealsSpreadWorkOverSeveralThreads) {
  WorkerPool& pool = make_pool(GetParam());
  std::mutex lock;
  std::set<std::thread::id> threads;
  testing::run_with_deadline(testing::deadline(), [&] {
    run_on(pool, [&] {
      return map_batch(400, [&](std::size_t) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        std::lock_guard<std::mutex> guard(lock);
        threads.insert(std::this_thread::get_id());
        return 0;
      }).ok();
    });
  });
  EXPECT_EQ(threads.size(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Threads, Join, ::testing::Values(1, 2, 4));

// A starter that starts real threads for the first `allowed` workers, then
// fails; the started workers must be told to stop and end.
std::atomic<int> g_allowed{0};
std::atomic<int> g_error{0};
std::atomic<int> g_ended{0};
struct Trampoline {
  void (*entry)(void*);
  void* argument;
};
Trampoline g_trampolines[8];
std::atomic<int> g_started{0};

void counting_entry(void* raw) {
  auto* t = static_cast<Trampoline*>(raw);
  t->entry(t->argument);
  g_ended.fetch_add(1);
}

Outcome<> failing_starter(void (*entry)(void*), void* argument, std::size_t stack) {
  if (g_allowed.fetch_sub(1) <= 0) return OperationError::system(g_error.load());
  Trampoline* t = &g_trampolines[g_started.fetch_add(1)];
  *t = {entry, argument};
  return platform::start_detached_thread(&counting_entry, t, stack);
}

TEST(Build, FailedStartStopsTheWorkersAlreadyStarted) {
  g_allowed = 3;
  g_error = EAGAIN;
  g_started = 0;
  g_ended = 0;
  Outcome<WorkerPool*> built = WorkerPool::build(6, &failing_starter);
  ASSERT_FALSE(built.ok());
  EXPECT_EQ(built.error().kind, OperationError::Kind::kSystem);
  EXPECT_EQ(built.error().os_error, EAGAIN);
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (g_ended.load() != 3 && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(g_ended.load(), 3);
}

TEST(Build, WithoutThreadSupportTheCallerBecomesTheOnlyWorker) {
  g_allowed = 0;
  g_error = ENOSYS;
  std::thread caller([] {
    WorkerPool& pool = WorkerPool::build_or_fault(4, &failing_starter);
    EXPECT_TRUE(pool.runs_in_caller());
    EXPECT_EQ(pool.size(), 1u);
    EXPECT_EQ(&WorkerPool::current(), &pool);
    auto me = std::this_thread::get_id();
    std::atomic<int> elsewhere{0};
    auto out = map_batch(100, [&](std::size_t i) {
      elsewhere += std::this_thread::get_id() != me;
      return i * 3;
    });
    EXPECT_EQ(elsewhere.load(), 0);
    ASSERT_TRUE(out.ok());
    ASSERT_EQ(out.value().size(), 100u);
    for (std::size_t i = 0; i < out.value().size(); ++i) EXPECT_EQ(out.value()[i], i * 3);
    // Another thread has nobody to hand work to: it runs the join itself.
    std::thread other([&] {
      auto [a, b] = pool.join([](bool m) { return m; }, [](bool m) { return m; });
      EXPECT_FALSE(a);
      EXPECT_FALSE(b);
    });
    other.join();
  });
  caller.join();
}

#if !defined(__SANITIZE_THREAD__)
TEST(BuildDeathTest, AnyOtherStartFailureIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        g_allowed = 1;
        g_error = EAGAIN;
        WorkerPool::build_or_fault(2, &failing_starter);
      },
      "panicked at .*worker_pool.cpp:[0-9]+:[0-9]+:\nThe global thread pool has not been "
      "initialized.: ThreadPoolBuildError \\{ kind: IOError\\(Os \\{ code: 11, kind: "
      "WouldBlock, message: \"Resource temporarily unavailable\" \\}\\) \\}");
}
#endif

}  // namespace
}  // namespace batchaugmentor::parallel
