// InjectionQueue: the unbounded first-in-first-out queue through which
// threads outside the pool hand jobs to the workers. Any number of threads
// may push and pop at once.
//
//   InjectionQueue<PoolJob*> queue;
//   bool was_empty = queue.push(&job);
//   if (PoolJob* j = queue.pop()) ...      // T{} when empty
//
// Jobs are kept in a chain of blocks of 63 slots; a new block is linked in
// when the last slot of the tail block is taken, and a drained head block is
// kept as the spare for the next link, so a steady trickle of jobs allocates
// nothing.
//
// A short mutex guards the chain. Outside threads push once per batch call
// and idle workers pop; the lock is held for a few instructions and never
// together with another lock, so a lock-free chain would buy nothing here
// while being far harder to get right. Idle workers poll the queue in every
// search round, so they first read an atomic length and take the lock only
// when it is non-zero.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

#include "common/fault.h"

namespace batchaugmentor::parallel {

template <class T>
class InjectionQueue {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  static constexpr std::size_t kBlockSlots = 63;

  InjectionQueue() : head_(new_block()), tail_(head_) {}
  InjectionQueue(const InjectionQueue&) = delete;
  InjectionQueue& operator=(const InjectionQueue&) = delete;
  ~InjectionQueue() {
    while (head_ != nullptr) delete std::exchange(head_, head_->next);
    delete spare_;
  }

  // Returns whether the queue was empty just before this push.
  bool push(T value) {
    std::lock_guard<std::mutex> guard(lock_);
    if (tail_end_ == kBlockSlots) {
      Block* next = spare_ != nullptr ? std::exchange(spare_, nullptr) : new_block();
      next->next = nullptr;
      tail_->next = next;
      tail_ = next;
      tail_end_ = 0;
    }
    tail_->slots[tail_end_++] = value;
    // Sequentially consistent: the pushing thread next reads the pool's
    // sleep counters, and an idle worker writes those counters before it
    // reads this length. Both sides being seq_cst rules out that each misses
    // the other's write (a store-load pair).
    return length_.fetch_add(1, std::memory_order_seq_cst) == 0;
  }

  T pop() {
    if (length_.load(std::memory_order_seq_cst) == 0) return T{};
    std::lock_guard<std::mutex> guard(lock_);
    if (length_.load(std::memory_order_relaxed) == 0) return T{};  // lock orders it
    if (head_begin_ == kBlockSlots) {
      Block* drained = head_;
      head_ = head_->next;  // non-null: length > 0 means a later block holds jobs
      head_begin_ = 0;
      delete spare_;
      spare_ = drained;
    }
    T value = head_->slots[head_begin_++];
    length_.fetch_sub(1, std::memory_order_seq_cst);
    return value;
  }

  bool empty() const { return length_.load(std::memory_order_seq_cst) == 0; }

 private:
  struct Block {
    T slots[kBlockSlots];
    Block* next = nullptr;
  };

  static Block* new_block() {
    Block* b = new (std::nothrow) Block;
    if (b == nullptr) fault_allocation(sizeof(Block));
    return b;
  }

  std::mutex lock_;
  Block* head_;
  std::size_t head_begin_ = 0;  // next slot to pop in head_
  Block* tail_;
  std::size_t tail_end_ = 0;    // next slot to fill in tail_
  Block* spare_ = nullptr;
  std::atomic<std::size_t> length_{0};
};

}  // namespace batchaugmentor::parallel
