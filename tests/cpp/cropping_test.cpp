#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <set>
#include <thread>

#include "cropping/internal/random.h"

namespace batchaugmentor::cropping::internal {
namespace {

std::array<std::uint8_t, 32> counting_bytes() {
  std::array<std::uint8_t, 32> b{};
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(i);
  return b;
}

TEST(SipHash, PublishedTwoFourVector) {
  auto msg = counting_bytes();
  const std::uint64_t digest = siphash<2, 4>(0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, msg.data(), 15);
  EXPECT_EQ(digest, 0xa129ca6149be45e5ULL);
}

// Values from an independent SipHash-1-3 (CPython's bytes hash with a zero key).
TEST(SipHash, OneThreeZeroKey) {
  auto msg = counting_bytes();
  EXPECT_EQ(siphash13(0, 0, msg.data(), 8), 0xead411e67ebe2eeaULL);
  EXPECT_EQ(siphash13(0, 0, msg.data(), 15), 0xf30eb725bb91c9eaULL);
  EXPECT_EQ(siphash13(0, 0, msg.data(), 20), 0x639e355ae68c0100ULL);
}

TEST(UniformIndex, StaysInRangeAndReachesBothEnds) {
  for (std::uint64_t high : {0ULL, 1ULL, 2ULL, 6ULL, 1000ULL}) {
    std::set<std::uint64_t> seen;
    for (int i = 0; i < 20000; ++i) {
      std::uint64_t v = uniform_index(0, high);
      ASSERT_LE(v, high);
      seen.insert(v);
    }
    if (high <= 6) {
      EXPECT_EQ(seen.size(), high + 1);
    }
    EXPECT_TRUE(seen.count(0) && seen.count(high));
  }
}

TEST(UniformIndex, HugeRangeNeedsRejectionAndStaysInRange) {
  // n just above 2^63 rejects about half of the raw draws.
  const std::uint64_t high = (1ULL << 63) + 12345;
  for (int i = 0; i < 10000; ++i) ASSERT_LE(uniform_index(0, high), high);
}

TEST(UniformIndex, ThreadsAreSeededIndependently) {
  std::uint64_t a = 0, b = 0;
  std::thread t1([&] { a = uniform_index(0, ~0ULL - 1); });
  std::thread t2([&] { b = uniform_index(0, ~0ULL - 1); });
  t1.join();
  t2.join();
  EXPECT_NE(a, b);
}

}  // namespace
}  // namespace batchaugmentor::cropping::internal
