#include "parallel/deque.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "deadline.h"

namespace batchaugmentor::parallel {
namespace {

using Value = std::uintptr_t;  // 0 means "nothing"

TEST(WorkerDeque, OwnerTakesNewestThiefTakesOldest) {
  WorkerDeque<Value> deque;
  for (Value v = 1; v <= 5; ++v) deque.push(v);
  EXPECT_EQ(deque.pop(), 5u);
  Steal<Value> s = deque.steal();
  ASSERT_EQ(s.state, StealState::kSuccess);
  EXPECT_EQ(s.value, 1u);
  EXPECT_EQ(deque.pop(), 4u);
  EXPECT_EQ(deque.steal().value, 2u);
  EXPECT_EQ(deque.pop(), 3u);
  EXPECT_EQ(deque.pop(), 0u);
  EXPECT_EQ(deque.steal().state, StealState::kEmpty);
  EXPECT_TRUE(deque.empty());
}

TEST(WorkerDeque, DoublesWhenFullAndHalvesBelowAQuarterNeverUnder64) {
  WorkerDeque<Value> deque;
  EXPECT_EQ(deque.capacity(), 64u);
  for (Value v = 1; v <= 64; ++v) deque.push(v);
  EXPECT_EQ(deque.capacity(), 64u);
  deque.push(65);
  EXPECT_EQ(deque.capacity(), 128u);
  for (Value v = 66; v <= 300; ++v) deque.push(v);
  EXPECT_EQ(deque.capacity(), 512u);

  // Popping down: 512 halves once fewer than 128 remain after a pop.
  Value expected = 300;
  while (expected > 128) EXPECT_EQ(deque.pop(), expected--);
  EXPECT_EQ(deque.capacity(), 512u);
  EXPECT_EQ(deque.pop(), expected--);  // 127 left
  EXPECT_EQ(deque.capacity(), 256u);
  while (expected > 0) EXPECT_EQ(deque.pop(), expected--);
  EXPECT_EQ(deque.capacity(), 64u);
  EXPECT_EQ(deque.pop(), 0u);

  // Growing back reuses the retired buffers and still keeps every value.
  for (Value v = 1; v <= 1000; ++v) deque.push(v);
  for (Value v = 1; v <= 1000; ++v) EXPECT_EQ(deque.steal().value, v);
}

// The owner pushes a known set of values, popping some back in between,
// while several thieves steal; every value must be taken exactly once.
class WorkerDequeRace : public ::testing::TestWithParam<int> {};

TEST_P(WorkerDequeRace, EveryValueTakenExactlyOnce) {
  const int thieves = GetParam();
  const std::size_t total = testing::kSanitized ? 60000 : 400000;
  testing::run_with_deadline(testing::deadline(), [&] {
    WorkerDeque<Value> deque;
    auto taken = std::make_unique<std::atomic<int>[]>(total + 1);
    std::atomic<bool> owner_done{false};
    std::atomic<std::size_t> taken_count{0};
    auto take = [&](Value v) {
      ASSERT_GE(v, 1u);
      ASSERT_LE(v, total);
      taken[v].fetch_add(1, std::memory_order_relaxed);
      taken_count.fetch_add(1, std::memory_order_relaxed);
    };

    std::vector<std::thread> threads;
    for (int t = 0; t < thieves; ++t) {
      threads.emplace_back([&] {
        while (!owner_done.load(std::memory_order_acquire) || !deque.empty()) {
          Steal<Value> s = deque.steal();
          if (s.state == StealState::kSuccess) take(s.value);
        }
      });
    }

    std::mt19937 rng(12345);
    Value next = 1;
    while (next <= total) {
      // Bursts big enough to make the buffer grow, and pops deep enough to
      // make it shrink again while thieves are reading it.
      std::size_t burst = 1 + rng() % 300;
      for (std::size_t i = 0; i < burst && next <= total; ++i) deque.push(next++);
      std::size_t pops = rng() % 320;
      for (std::size_t i = 0; i < pops; ++i) {
        Value v = deque.pop();
        if (v == 0) break;
        take(v);
      }
    }
    while (Value v = deque.pop()) take(v);
    owner_done.store(true, std::memory_order_release);
    for (auto& t : threads) t.join();

    EXPECT_EQ(taken_count.load(), total);
    std::size_t wrong = 0;
    for (std::size_t v = 1; v <= total; ++v) wrong += taken[v].load() != 1;
    EXPECT_EQ(wrong, 0u);
  });
}

INSTANTIATE_TEST_SUITE_P(Thieves, WorkerDequeRace, ::testing::Values(1, 3, 6));

}  // namespace
}  // namespace batchaugmentor::parallel
