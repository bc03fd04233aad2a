#include "parallel/injection_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "deadline.h"

namespace batchaugmentor::parallel {
namespace {

using Value = std::uintptr_t;

TEST(InjectionQueue, FirstInFirstOutAcrossBlocks) {
  InjectionQueue<Value> queue;
  EXPECT_EQ(queue.pop(), 0u);
  // Several rounds so drained blocks are recycled as spares.
  for (int round = 0; round < 3; ++round) {
    std::size_t n = InjectionQueue<Value>::kBlockSlots * 4 + 5;
    for (Value v = 1; v <= n; ++v) EXPECT_EQ(queue.push(v), v == 1);
    for (Value v = 1; v <= n; ++v) EXPECT_EQ(queue.pop(), v);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.pop(), 0u);
  }
}

TEST(InjectionQueue, InterleavedPushPopAtBlockEdges) {
  InjectionQueue<Value> queue;
  Value pushed = 0, popped = 0;
  for (int step = 0; step < 1000; ++step) {
    for (int i = 0; i < 5; ++i) queue.push(++pushed);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(queue.pop(), ++popped);
  }
  while (popped < pushed) EXPECT_EQ(queue.pop(), ++popped);
  EXPECT_EQ(queue.pop(), 0u);
}

// Producers tag values with their own index and a sequence number; every
// value arrives exactly once, and each consumer sees each producer's values
// in increasing order.
TEST(InjectionQueue, ManyProducersAndConsumers) {
  constexpr int kProducers = 4;
  constexpr int kConsumers = 4;
  const std::size_t per_producer = testing::kSanitized ? 20000 : 100000;
  testing::run_with_deadline(testing::deadline(), [&] {
    InjectionQueue<Value> queue;
    std::vector<std::vector<std::atomic<int>>> seen(kProducers);
    for (auto& s : seen) s = std::vector<std::atomic<int>>(per_producer);
    std::atomic<std::size_t> received{0};
    std::atomic<int> order_errors{0};
    const std::size_t total = per_producer * kProducers;

    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
      threads.emplace_back([&, p] {
        for (std::size_t i = 0; i < per_producer; ++i) {
          queue.push((static_cast<Value>(p) << 32 | i) + 1);
        }
      });
    }
    for (int c = 0; c < kConsumers; ++c) {
      threads.emplace_back([&] {
        std::vector<std::int64_t> last(kProducers, -1);
        while (received.load(std::memory_order_relaxed) < total) {
          Value v = queue.pop();
          if (v == 0) continue;
          v -= 1;
          auto p = static_cast<std::size_t>(v >> 32);
          auto i = static_cast<std::int64_t>(v & 0xFFFFFFFF);
          if (i <= last[p]) order_errors.fetch_add(1);
          last[p] = i;
          seen[p][static_cast<std::size_t>(i)].fetch_add(1);
          received.fetch_add(1);
        }
      });
    }
    for (auto& t : threads) t.join();

    EXPECT_EQ(order_errors.load(), 0);
    std::size_t wrong = 0;
    for (auto& s : seen)
      for (auto& count : s) wrong += count.load() != 1;
    EXPECT_EQ(wrong, 0u);
    EXPECT_TRUE(queue.empty());
  });
}

}  // namespace
}  // namespace batchaugmentor::parallel
