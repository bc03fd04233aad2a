#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "common/chunked_list.h"

namespace batchaugmentor {
namespace {

TEST(ChunkedList, KeepsEveryValueAcrossChunkBoundaries) {
  ChunkedList<std::size_t> list;
  constexpr std::size_t kCount = 400000;  // chunks that grow, then chunks of one size
  for (std::size_t i = 0; i < kCount; ++i) list.push_back(i * 7);
  ASSERT_EQ(list.size(), kCount);
  for (std::size_t i = 0; i < kCount; ++i) ASSERT_EQ(list[i], i * 7) << i;
  EXPECT_EQ(list.back(), (kCount - 1) * 7);
}

TEST(ChunkedList, ElementsNeverMoveAsItGrows) {
  ChunkedList<std::string> list;
  list.push_back("first");
  const std::string* first = &list[0];
  for (int i = 0; i < 5000; ++i) list.push_back(std::to_string(i));
  EXPECT_EQ(&list[0], first);
  EXPECT_EQ(list[0], "first");
  EXPECT_EQ(list[5000], "4999");
  ChunkedList<std::string> moved = std::move(list);
  EXPECT_EQ(&moved[0], first);
  EXPECT_EQ(list.size(), 0u);
  list.push_back("again");  // a moved-from list is empty and usable
  EXPECT_EQ(list[0], "again");
}

}  // namespace
}  // namespace batchaugmentor
