// WorkerDeque: one worker's job deque. The owner pushes and pops at the
// bottom (newest first); any other thread steals at the top (oldest first).
//
//   WorkerDeque<PoolJob*> deque;
//   deque.push(&job);                        // owner only
//   if (PoolJob* j = deque.pop()) ...        // owner only
//   Steal<PoolJob*> s = deque.steal();       // any thread
//   if (s.state == StealState::kRetry) ...   // lost a race: try again
//
// The algorithm is the Chase-Lev dynamic circular work-stealing deque
// (Chase and Lev, SPAA 2005) in the C11 formulation of Le, Pop, Cohen and
// Zappa Nardelli (PPoPP 2013), with the two corrections that later model
// checking found necessary: the buffer pointer is published with release and
// read with acquire, and push writes into the buffer that growing returned,
// never into the one it read before growing.
//
// The buffer starts with 64 slots, doubles when a push finds it full and
// halves when a pop leaves fewer than a quarter of its slots in use, never
// below 64. A replaced buffer may still be read by a thief that loaded the
// pointer just before the switch, so it is retired, not freed: it stays
// allocated until the deque is destroyed and is reused when the deque grows
// back to that size, which bounds retired memory to one buffer per size.
//
// No standalone fences: the places that need a full barrier (the owner's
// "claim bottom, then read top" against a thief's "read top, then read
// bottom") use sequentially consistent operations on the atomics themselves.
// That costs the same on x86 as a fence and is something ThreadSanitizer
// models, which it does not do for std::atomic_thread_fence.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "common/fault.h"

namespace batchaugmentor::parallel {

enum class StealState { kEmpty, kSuccess, kRetry };

template <class T>
struct Steal {
  StealState state;
  T value;
};

template <class T>
class WorkerDeque {
  static_assert(std::is_trivially_copyable_v<T> && std::atomic<T>::is_always_lock_free,
                "slots are read by thieves while the owner writes them");

 public:
  static constexpr std::size_t kMinCapacity = 64;

  WorkerDeque() {
    buffers_.push_back(std::make_unique<Buffer>(kMinCapacity));
    buffer_.store(buffers_.back().get(), std::memory_order_relaxed);
  }
  WorkerDeque(const WorkerDeque&) = delete;
  WorkerDeque& operator=(const WorkerDeque&) = delete;

  // Owner only.
  void push(T value) {
    std::int64_t b = bottom_.load(std::memory_order_relaxed);
    // Acquire pairs with the thieves' CAS on top: the slot we are about to
    // reuse has been read by whoever stole it.
    std::int64_t t = top_.load(std::memory_order_acquire);
    Buffer* buf = buffer_.load(std::memory_order_relaxed);  // only the owner stores it
    if (b - t >= static_cast<std::int64_t>(buf->capacity)) {
      buf = resize(buf, t, b, buf->capacity * 2);  // write into the new buffer, not the old
    }
    buf->put(b, value);
    // Sequentially consistent, not just release: release publishes the slot
    // to a thief that reads this bottom; the total order additionally makes
    // the pool's "jobs posted, now read the sleep counters" a store-load
    // pair that a sleeping worker cannot miss (see WorkerPool::notify_jobs).
    bottom_.store(b + 1, std::memory_order_seq_cst);
  }

  // Owner only. Returns T{} when empty.
  T pop() {
    std::int64_t b = bottom_.load(std::memory_order_relaxed) - 1;
    Buffer* buf = buffer_.load(std::memory_order_relaxed);
    // Claim slot b before looking at top. Both this store and the load below
    // are seq_cst so that a thief reading top then bottom cannot also take b
    // (the store-load ordering that the published version gets from a fence).
    bottom_.store(b, std::memory_order_seq_cst);
    std::int64_t t = top_.load(std::memory_order_seq_cst);
    if (t > b) {
      // Empty. Release keeps earlier slot writes visible to thieves that
      // read this value of bottom.
      bottom_.store(b + 1, std::memory_order_release);
      return T{};
    }
    T value = buf->get(b);
    if (t == b) {
      // Last element: race the thieves for it through top.
      if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                        std::memory_order_relaxed)) {
        value = T{};
      }
      bottom_.store(b + 1, std::memory_order_release);
      return value;
    }
    // More than one element was present, so no thief can reach slot b.
    std::int64_t remaining = b - t;
    if (buf->capacity > kMinCapacity &&
        remaining < static_cast<std::int64_t>(buf->capacity / 4)) {
      resize(buf, t, b, buf->capacity / 2);
    }
    return value;
  }

  // Any thread.
  Steal<T> steal() {
    std::int64_t t = top_.load(std::memory_order_seq_cst);
    std::int64_t b = bottom_.load(std::memory_order_seq_cst);
    if (t >= b) return {StealState::kEmpty, T{}};
    // Acquire pairs with the owner's release store of a new buffer. The
    // buffer seen is the one that held slot t when bottom was read, or a
    // later one; each holds the same value at index t while top is still t.
    Buffer* buf = buffer_.load(std::memory_order_acquire);
    T value = buf->get(t);
    // The CAS confirms that nobody took slot t meanwhile; only then is the
    // value ours.
    if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                      std::memory_order_relaxed)) {
      return {StealState::kRetry, T{}};
    }
    return {StealState::kSuccess, value};
  }

  // A snapshot; exact only when no other thread changes the deque.
  bool empty() const {
    std::int64_t b = bottom_.load(std::memory_order_seq_cst);
    std::int64_t t = top_.load(std::memory_order_seq_cst);
    return t >= b;
  }

  // Owner only; for tests and diagnostics.
  std::size_t capacity() const { return buffer_.load(std::memory_order_relaxed)->capacity; }

 private:
  struct Buffer {
    explicit Buffer(std::size_t cap)
        : capacity(cap), mask(cap - 1), slots(std::make_unique<std::atomic<T>[]>(cap)) {}
    // Relaxed slot accesses: ordering comes from bottom (owner to thief) and
    // top (thief back to owner).
    void put(std::int64_t i, T v) {
      slots[static_cast<std::size_t>(i) & mask].store(v, std::memory_order_relaxed);
    }
    T get(std::int64_t i) const {
      return slots[static_cast<std::size_t>(i) & mask].load(std::memory_order_relaxed);
    }
    std::size_t capacity;
    std::size_t mask;
    std::unique_ptr<std::atomic<T>[]> slots;
  };

  // Owner only: copies the live range [t, b) into a buffer of `capacity`
  // slots and publishes it. Returns the new buffer.
  Buffer* resize(Buffer* old, std::int64_t t, std::int64_t b, std::size_t capacity) {
    Buffer* next = nullptr;
    for (auto& kept : buffers_) {
      if (kept->capacity == capacity) next = kept.get();
    }
    if (next == nullptr) {
      // Job records are pointers to stack frames; running out of memory for
      // a few kilobytes of them is not something a caller's input can cause.
      try {
        buffers_.push_back(std::make_unique<Buffer>(capacity));
      } catch (...) {
        fault_allocation(capacity * sizeof(std::atomic<T>));
      }
      next = buffers_.back().get();
    }
    BA_ASSERT(next != old);
    for (std::int64_t i = t; i < b; ++i) next->put(i, old->get(i));
    // Release: a thief that acquires this pointer sees the copied slots.
    buffer_.store(next, std::memory_order_release);
    return next;
  }

  // top and bottom on separate cache lines: thieves hammer one, the owner
  // the other.
  alignas(64) std::atomic<std::int64_t> top_{0};
  alignas(64) std::atomic<std::int64_t> bottom_{0};
  alignas(64) std::atomic<Buffer*> buffer_{nullptr};
  std::vector<std::unique_ptr<Buffer>> buffers_;  // current and retired; owner only
};

}  // namespace batchaugmentor::parallel
