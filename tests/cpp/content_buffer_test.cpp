#include "loading/content_buffer.h"

#include <cstdint>
#include <cstring>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

namespace batchaugmentor::loading {
namespace {

std::vector<std::uint8_t> counting(std::size_t n, std::uint8_t first) {
  std::vector<std::uint8_t> v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

TEST(ContentBufferTest, CapacityGrowsToTheLargestOfDoubleNeededAndEight) {
  ContentBuffer b;
  struct Step {
    std::size_t append;
    std::size_t capacity_after;
  };
  // 1 -> 8 (the floor), 9 -> 16 (double), 109 -> 109 (needed),
  // 110 -> 218 (double), 218 -> 218 (fits exactly, no growth).
  const Step steps[] = {{1, 8}, {8, 16}, {100, 109}, {1, 218}, {108, 218}};
  std::vector<std::uint8_t> expected;
  std::uint8_t next = 0;
  for (const Step& s : steps) {
    const auto chunk = counting(s.append, next);
    next = static_cast<std::uint8_t>(next + s.append);
    ASSERT_TRUE(b.append(chunk.data(), chunk.size()).ok());
    expected.insert(expected.end(), chunk.begin(), chunk.end());
    EXPECT_EQ(b.capacity(), s.capacity_after) << "after appending " << s.append;
  }
  ASSERT_EQ(b.size(), expected.size());
  EXPECT_EQ(std::memcmp(b.data(), expected.data(), expected.size()), 0);
}

TEST(ContentBufferTest, BytesWrittenIntoTheTailBecomeContent) {
  ContentBuffer b;
  const auto head = counting(5, 1);
  ASSERT_TRUE(b.append(head.data(), head.size()).ok());
  ASSERT_EQ(b.spare(), 3u);
  std::memset(b.end(), 0xAB, 2);
  b.commit(2);
  const std::uint8_t expected[] = {1, 2, 3, 4, 5, 0xAB, 0xAB};
  ASSERT_EQ(b.size(), sizeof expected);
  EXPECT_EQ(std::memcmp(b.data(), expected, sizeof expected), 0);
}

// Growth within a block, then across blocks by remapping, must carry every
// byte along.
TEST(ContentBufferTest, ContentSurvivesGrowthAcrossBlocks) {
  ContentBuffer b;
  std::vector<std::uint8_t> expected;
  std::uint8_t next = 0;
  while (expected.size() < 6 * (std::size_t{1} << 20)) {
    const auto chunk = counting(expected.size() / 3 + 1000, next);
    next = static_cast<std::uint8_t>(next + 17);
    ASSERT_TRUE(b.append(chunk.data(), chunk.size()).ok());
    expected.insert(expected.end(), chunk.begin(), chunk.end());
  }
  ASSERT_EQ(b.size(), expected.size());
  EXPECT_EQ(std::memcmp(b.data(), expected.data(), expected.size()), 0);
}

class ContentBufferRefusal : public ::testing::TestWithParam<std::size_t> {};

// Sizes no allocator can satisfy, or whose sum with the content wraps: the
// append reports failure and the content stays as it was.
TEST_P(ContentBufferRefusal, ImpossibleGrowthFailsAndKeepsContent) {
  ContentBuffer b;
  const auto head = counting(20, 7);
  ASSERT_TRUE(b.append(head.data(), head.size()).ok());
  const std::size_t capacity = b.capacity();
  const Outcome<> grown = b.append(head.data(), GetParam());
  ASSERT_FALSE(grown.ok());
  EXPECT_TRUE(grown.error().is_out_of_memory());
  EXPECT_EQ(b.size(), head.size());
  EXPECT_EQ(b.capacity(), capacity);
  EXPECT_EQ(std::memcmp(b.data(), head.data(), head.size()), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ContentBufferRefusal,
                         ::testing::Values(SIZE_MAX, SIZE_MAX - 10, SIZE_MAX / 2, std::size_t{1} << 62));

TEST(ContentBufferTest, MovedFromBufferIsEmpty) {
  ContentBuffer a;
  const auto bytes = counting(40, 0);
  ASSERT_TRUE(a.append(bytes.data(), bytes.size()).ok());
  ContentBuffer b = std::move(a);
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(a.data(), nullptr);
  ASSERT_EQ(b.size(), 40u);
  EXPECT_EQ(std::memcmp(b.data(), bytes.data(), 40), 0);
}

}  // namespace
}  // namespace batchaugmentor::loading
