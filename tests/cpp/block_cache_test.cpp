#include "loading/block_cache.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "loading/content_buffer.h"

namespace batchaugmentor::loading {
namespace {

// Each test runs on a thread of its own, whose cache starts empty and whose
// exit gives everything back.
template <class Body>
void on_fresh_thread(Body body) {
  std::thread t(body);
  t.join();
}

TEST(BlockCacheTest, BlockSizesArePowersOfTwoFromTheMinimum) {
  on_fresh_thread([] {
    for (std::size_t asked : {std::size_t{1}, kMinBlockBytes, kMinBlockBytes + 1, std::size_t{3} << 20}) {
      std::size_t bytes = 0;
      void* block = take_block(asked, &bytes);
      ASSERT_NE(block, nullptr);
      EXPECT_GE(bytes, asked);
      EXPECT_GE(bytes, kMinBlockBytes);
      EXPECT_EQ(bytes & (bytes - 1), 0u) << bytes;
      EXPECT_LT(bytes / 2, std::max(asked, kMinBlockBytes)) << "more than the next power of two";
      give_block(block, bytes);
    }
  });
}

TEST(BlockCacheTest, AGivenBlockIsTakenAgainBySmallerRequests) {
  on_fresh_thread([] {
    std::size_t bytes = 0;
    void* block = take_block(1 << 20, &bytes);
    ASSERT_NE(block, nullptr);
    static_cast<std::uint8_t*>(block)[bytes - 1] = 0x5A;
    const std::size_t before = cached_block_bytes();
    give_block(block, bytes);
    EXPECT_EQ(cached_block_bytes(), before + bytes);

    std::size_t again_bytes = 0;
    void* again = take_block(100'000, &again_bytes);
    EXPECT_EQ(again, block);
    EXPECT_EQ(again_bytes, bytes);
    EXPECT_EQ(cached_block_bytes(), before);
    give_block(again, again_bytes);
  });
}

TEST(BlockCacheTest, CacheStaysWithinItsBudgetAndThreadExitReturnsIt) {
  const std::size_t at_start = cached_block_bytes();
  on_fresh_thread([] {
    const std::size_t block_bytes = kCacheBudget / 8;
    std::vector<std::pair<void*, std::size_t>> blocks;
    for (int i = 0; i < 12; ++i) {
      std::size_t bytes = 0;
      void* block = take_block(block_bytes, &bytes);
      ASSERT_NE(block, nullptr);
      blocks.emplace_back(block, bytes);
    }
    for (auto& [block, bytes] : blocks) give_block(block, bytes);
    // Half a budget more was given than fits: the cache is full to within
    // one block, and no further.
    EXPECT_LE(cached_block_bytes(), kCacheBudget);
    EXPECT_GT(cached_block_bytes(), kCacheBudget - block_bytes);
  });
  EXPECT_EQ(cached_block_bytes(), at_start);
}

TEST(BlockCacheTest, GrowingKeepsTheContent) {
  on_fresh_thread([] {
    std::size_t bytes = 0;
    auto* block = static_cast<std::uint8_t*>(take_block(kMinBlockBytes, &bytes));
    ASSERT_NE(block, nullptr);
    for (std::size_t i = 0; i < bytes; ++i) block[i] = static_cast<std::uint8_t>(i * 7);
    const std::size_t old_bytes = bytes;
    auto* grown = static_cast<std::uint8_t*>(grow_block(block, 5 * old_bytes, &bytes));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(bytes, 8 * old_bytes);
    for (std::size_t i = 0; i < old_bytes; ++i) ASSERT_EQ(grown[i], static_cast<std::uint8_t>(i * 7)) << i;
    grown[bytes - 1] = 1;  // the new pages are writable
    give_block(grown, bytes);
  });
}

TEST(BlockCacheTest, ImpossibleSizesAreRefused) {
  std::size_t bytes = 0;
  EXPECT_EQ(take_block(SIZE_MAX, &bytes), nullptr);
  EXPECT_EQ(take_block(std::size_t{1} << 62, &bytes), nullptr);
}

// A block used for a large content and then for a small one must show only
// the small content: nothing of the earlier file is part of the later one.
TEST(BlockCacheTest, ReusedBlockCarriesNoEarlierContent) {
  on_fresh_thread([] {
    const std::vector<std::uint8_t> big(300'000, 0xEE);
    const std::uint8_t small[] = {1, 2, 3};
    const std::uint8_t* first_data = nullptr;
    {
      ContentBuffer first;
      ASSERT_TRUE(first.append(big.data(), big.size()));
      first_data = first.data();
    }
    ContentBuffer second;
    ASSERT_TRUE(second.append(small, sizeof small));
    EXPECT_EQ(second.data(), first_data) << "the freed block was not reused";
    ASSERT_EQ(second.size(), sizeof small);
    EXPECT_EQ(std::memcmp(second.data(), small, sizeof small), 0);
  });
}

}  // namespace
}  // namespace batchaugmentor::loading
