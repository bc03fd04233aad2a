// Page blocks for file contents, kept warm between loads.
//
//   Outcome<Block> block = take_block(100'000);  // .bytes: a power of two >= 64 KiB
//   if (!block.ok()) return block.error();       // out of memory
//   ...
//   give_block(block.value());                   // cached, or unmapped past the budget
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

#include "common/outcome.h"

namespace batchaugmentor::loading {

inline constexpr std::size_t kMinBlockBytes = std::size_t{1} << 16;
inline constexpr std::size_t kCacheBudget = std::size_t{64} << 20;

struct Block {
  void* data = nullptr;
  std::size_t bytes = 0;  // a power of two, at least kMinBlockBytes
};

// A block of at least `min_bytes`; out of memory when the size cannot be had.
Outcome<Block> take_block(std::size_t min_bytes);

// `block` grown to at least `min_bytes`, content kept. Out of memory when it
// cannot grow; the old block is then unchanged and still the caller's.
Outcome<Block> grow_block(const Block& block, std::size_t min_bytes);

// Hands a block back; an empty one (null data) is ignored.
void give_block(const Block& block);

// Bytes of blocks now cached by all threads.
std::size_t cached_block_bytes();

}  // namespace batchaugmentor::loading
