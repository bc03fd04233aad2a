#include "loading/block_cache.h"

#include <atomic>
#include <bit>
#include <cstdint>

#include "platform/pages.h"
#include "platform/thread.h"

namespace batchaugmentor::loading {

namespace {

constexpr int kMinClass = std::countr_zero(kMinBlockBytes);
constexpr int kClasses = 48 - kMinClass;  // blocks up to 128 TiB: more than any address space

// Every cached byte, across threads. Relaxed order is enough: it only
// bounds memory, it orders no other data.
std::atomic<std::size_t> total_cached{0};

// A cached block holds the link to the next one of its class in its own
// first bytes, so caching never allocates.
struct CachedBlock {
  CachedBlock* next;
};

struct ThreadCache {
  CachedBlock* heads[kClasses] = {};
  std::size_t bytes = 0;

  ~ThreadCache() {
    for (int c = 0; c < kClasses; ++c) {
      while (CachedBlock* block = heads[c]) {
        heads[c] = block->next;
        platform::unmap_pages(block, class_bytes(c));
      }
    }
    total_cached.fetch_sub(bytes, std::memory_order_relaxed);
  }

  static std::size_t class_bytes(int c) { return std::size_t{1} << (c + kMinClass); }
};

ThreadCache& thread_cache();

// A forked child keeps only the forking thread: the other threads' cached
// blocks are out of reach there and must not eat into its budget.
void recount_after_fork() { total_cached.store(thread_cache().bytes, std::memory_order_relaxed); }

ThreadCache& thread_cache() {
  static const bool registered = (platform::on_fork_child(&recount_after_fork), true);
  (void)registered;
  thread_local ThreadCache cache;
  return cache;
}

// The class of the smallest block of at least `bytes`; kClasses if none.
int class_for(std::size_t bytes) {
  if (bytes <= kMinBlockBytes) return 0;
  if (bytes > ThreadCache::class_bytes(kClasses - 1)) return kClasses;
  return std::bit_width(bytes - 1) - kMinClass;
}

}  // namespace

Outcome<Block> take_block(std::size_t min_bytes) {
  const int wanted = class_for(min_bytes);
  if (wanted == kClasses) return OperationError::out_of_memory();
  ThreadCache& cache = thread_cache();
  for (int c = wanted; c < kClasses; ++c) {
    if (CachedBlock* block = cache.heads[c]) {
      cache.heads[c] = block->next;
      const std::size_t bytes = ThreadCache::class_bytes(c);
      cache.bytes -= bytes;
      total_cached.fetch_sub(bytes, std::memory_order_relaxed);
      return Block{block, bytes};
    }
  }
  const std::size_t bytes = ThreadCache::class_bytes(wanted);
  void* block = platform::map_pages(bytes);
  if (block == nullptr) return OperationError::out_of_memory();
  return Block{block, bytes};
}

Outcome<Block> grow_block(const Block& block, std::size_t min_bytes) {
  const int wanted = class_for(min_bytes);
  if (wanted == kClasses) return OperationError::out_of_memory();
  // Remapping moves the written pages along instead of copying them.
  const std::size_t bytes = ThreadCache::class_bytes(wanted);
  void* grown = platform::remap_pages(block.data, block.bytes, bytes);
  if (grown == nullptr) return OperationError::out_of_memory();
  return Block{grown, bytes};
}

void give_block(const Block& given) {
  void* const block = given.data;
  const std::size_t bytes = given.bytes;
  if (block == nullptr) return;
  const std::size_t before = total_cached.fetch_add(bytes, std::memory_order_relaxed);
  if (before + bytes > kCacheBudget) {
    total_cached.fetch_sub(bytes, std::memory_order_relaxed);
    platform::unmap_pages(block, bytes);
    return;
  }
  ThreadCache& cache = thread_cache();
  const int c = class_for(bytes);
  auto* cached = static_cast<CachedBlock*>(block);
  cached->next = cache.heads[c];
  cache.heads[c] = cached;
  cache.bytes += bytes;
}

std::size_t cached_block_bytes() { return total_cached.load(std::memory_order_relaxed); }

}  // namespace batchaugmentor::loading
