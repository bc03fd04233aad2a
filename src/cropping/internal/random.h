// The generator behind random crops, visible to the cropping code and its
// tests only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace batchaugmentor::cropping::internal {

// Uniform in [low, high] (inclusive) from the calling thread's wyrand state,
// seeded on the thread's first draw.
std::uint64_t uniform_index(std::uint64_t low, std::uint64_t high);

// 64-bit SipHash-1-3 under the given key (the seed's mixer).
std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const std::uint8_t* data, std::size_t size);

// SipHash with C compression and D finalisation rounds (2-4 has published
// test vectors, so tests check the shared code through it).
template <int C, int D>
std::uint64_t siphash(std::uint64_t k0, std::uint64_t k1, const std::uint8_t* data, std::size_t size);

}  // namespace batchaugmentor::cropping::internal
