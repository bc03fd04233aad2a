// Page blocks for file contents, kept warm between loads.
//
//   std::size_t bytes = 0;
//   void* block = take_block(100'000, &bytes);  // bytes: a power of two >= 64 KiB
//   if (block == nullptr) return out_of_memory;
//   ...
//   give_block(block, bytes);                   // cached, or unmapped past the budget
//
// Filling freshly mapped pages costs far more than copying into pages that
// are already in place (the kernel zeroes and maps each one on first touch),
// and a batch of images reads the same few sizes call after call. So freed
// blocks stay mapped in a cache of the thread that frees them, and the next
// take on that thread starts from the smallest cached block that is large
// enough. The trade-off is memory: up to kCacheBudget bytes of blocks, counted
// by their full size though only the pages once written are resident, stay
// with the process between calls. The budget is shared by all threads so it
// does not grow with the core count.
#pragma once

#include <cstddef>

namespace batchaugmentor::loading {

inline constexpr std::size_t kMinBlockBytes = std::size_t{1} << 16;
inline constexpr std::size_t kCacheBudget = std::size_t{64} << 20;

// A block of at least `min_bytes`, its size (a power of two, at least
// kMinBlockBytes) in *bytes. Null when the size cannot be had.
void* take_block(std::size_t min_bytes, std::size_t* bytes);

// A block of `bytes` bytes grown to at least `min_bytes`, content kept; its
// new size in *bytes. Null when it cannot grow; the old block is then unchanged.
void* grow_block(void* block, std::size_t min_bytes, std::size_t* bytes);

void give_block(void* block, std::size_t bytes);

// Bytes of blocks now cached by all threads.
std::size_t cached_block_bytes();

}  // namespace batchaugmentor::loading
