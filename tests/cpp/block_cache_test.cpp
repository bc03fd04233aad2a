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
      const Outcome<Block> taken = take_block(asked);
      ASSERT_TRUE(taken.ok());
      const std::size_t bytes = taken.value().bytes;
      EXPECT_NE(taken.value().data, nullptr);
      EXPECT_GE(bytes, asked);
      EXPECT_GE(bytes, kMinBlockBytes);
      EXPECT_EQ(bytes & (bytes - 1), 0u) << bytes;
      EXPECT_LT(bytes / 2, std::max(asked, kMinBlockBytes)) << "more than the next power of two";
      give_block(taken.value());
    }
  });
}

TEST(BlockCacheTest, AGivenBlockIsTakenAgainBySmallerRequests) {
  on_fresh_thread([] {
    const Outcome<Block> taken = take_block(1 << 20);
    ASSERT_TRUE(taken.ok());
    const Block block = taken.value();
    static_cast<std::uint8_t*>(block.data)[block.bytes - 1] = 0x5A;
    const std::size_t before = cached_block_bytes();
    give_block(block);
    EXPECT_EQ(cached_block_bytes(), before + block.bytes);

    const Outcome<Block> again = take_block(100'000);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.value().data, block.data);
    EXPECT_EQ(again.value().bytes, block.bytes);
    EXPECT_EQ(cached_block_bytes(), before);
    give_block(again.value());
  });
}

TEST(BlockCacheTest, CacheStaysWithinItsBudgetAndThreadExitReturnsIt) {
  const std::size_t at_start = cached_block_bytes();
  on_fresh_thread([] {
    const std::size_t block_bytes = kCacheBudget / 8;
    std::vector<Block> blocks;
    for (int i = 0; i < 12; ++i) {
      const Outcome<Block> taken = take_block(block_bytes);
      ASSERT_TRUE(taken.ok());
      blocks.push_back(taken.value());
    }
    for (const Block& block : blocks) give_block(block);
    // Half a budget more was given than fits: the cache is full to within
    // one block, and no further.
    EXPECT_LE(cached_block_bytes(), kCacheBudget);
    EXPECT_GT(cached_block_bytes(), kCacheBudget - block_bytes);
  });
  EXPECT_EQ(cached_block_bytes(), at_start);
}

TEST(BlockCacheTest, GrowingKeepsTheContent) {
  on_fresh_thread([] {
    const Outcome<Block> taken = take_block(kMinBlockBytes);
    ASSERT_TRUE(taken.ok());
    auto* block = static_cast<std::uint8_t*>(taken.value().data);
    const std::size_t old_bytes = taken.value().bytes;
    for (std::size_t i = 0; i < old_bytes; ++i) block[i] = static_cast<std::uint8_t>(i * 7);
    const Outcome<Block> grown_block = grow_block(taken.value(), 5 * old_bytes);
    ASSERT_TRUE(grown_block.ok());
    auto* grown = static_cast<std::uint8_t*>(grown_block.value().data);
    const std::size_t bytes = grown_block.value().bytes;
    EXPECT_EQ(bytes, 8 * old_bytes);
    for (std::size_t i = 0; i < old_bytes; ++i) ASSERT_EQ(grown[i], static_cast<std::uint8_t>(i * 7)) << i;
    grown[bytes - 1] = 1;  // the new pages are writable
    give_block(grown_block.value());
  });
}

TEST(BlockCacheTest, ImpossibleSizesAreRefused) {
  for (std::size_t size : {SIZE_MAX, std::size_t{1} << 62}) {
    const Outcome<Block> taken = take_block(size);
    ASSERT_FALSE(taken.ok()) << size;
    EXPECT_TRUE(taken.error().is_out_of_memory()) << size;
  }
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
      ASSERT_TRUE(first.append(big.data(), big.size()).ok());
      first_data = first.data();
    }
    ContentBuffer second;
    ASSERT_TRUE(second.append(small, sizeof small).ok());
    EXPECT_EQ(second.data(), first_data) << "the freed block was not reused";
    ASSERT_EQ(second.size(), sizeof small);
    EXPECT_EQ(std::memcmp(second.data(), small, sizeof small), 0);
  });
}

}  // namespace
}  // namespace batchaugmentor::loading
