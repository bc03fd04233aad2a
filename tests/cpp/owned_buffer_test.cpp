#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "common/buffer.h"

namespace batchaugmentor {
namespace {

TEST(OwnedBuffer, BlocksStartOnACacheLineAndZeroedOnesAreZero) {
  // Odd sizes move the allocator's own placement around.
  for (std::size_t size : {1u, 15u, 16u, 17u, 100u, 4095u, 65537u, 3u << 20}) {
    Outcome<OwnedBuffer> made_plain = OwnedBuffer::allocate(size);
    Outcome<OwnedBuffer> made_zeroed = OwnedBuffer::allocate_zeroed(size);
    ASSERT_TRUE(made_plain.ok() && made_zeroed.ok());
    OwnedBuffer plain = std::move(made_plain).value();
    OwnedBuffer zeroed = std::move(made_zeroed).value();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(plain.data()) % 64, 0u) << size;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(zeroed.data()) % 64, 0u) << size;
    EXPECT_EQ(plain.size(), size);
    std::memset(plain.data(), 0xAB, size);  // the whole size is usable
    for (std::size_t i = 0; i < size; i += 997) EXPECT_EQ(zeroed.data()[i], 0) << i;
    EXPECT_EQ(zeroed.data()[size - 1], 0);
    // A moved block keeps its place and is freed once, by its new owner.
    std::uint8_t* at = plain.data();
    OwnedBuffer moved = std::move(plain);
    EXPECT_EQ(moved.data(), at);
    plain = std::move(zeroed);
  }
}

TEST(OwnedBuffer, ASizeNearTheTopOfTheRangeFailsCleanly) {
  const Outcome<OwnedBuffer> b = OwnedBuffer::allocate(SIZE_MAX - 8);
  ASSERT_FALSE(b.ok());
  EXPECT_TRUE(b.error().is_out_of_memory());
}

TEST(OwnedBuffer, AZeroByteRequestSucceedsEmpty) {
  const Outcome<OwnedBuffer> b = OwnedBuffer::allocate(0);
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(b.value().data(), nullptr);
  EXPECT_EQ(b.value().size(), 0u);
}

}  // namespace
}  // namespace batchaugmentor
