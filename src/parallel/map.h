// The batch maps every batch function runs its items through. Each returns
// an Outcome: the values in index order, or why there are none.
//
//   Outcome<std::vector<double>> out =
//       map_batch(n, [&](std::size_t i) { return image_luminance(views[i]); });
//
//   Outcome<std::vector<Done>> frames = map_batch_until_error(
//       f, [&](std::size_t i) { return resize_image(frame_view(video, i), w, h, dst[i]); });
//
// map_batch calls item(i) exactly once for every i in [0, count) and returns
// the results in index order; it fails only when the room for them cannot
// be allocated (out of memory, before any item runs). map_batch_until_error
// stops starting new items once one has failed and returns that error (the
// first one recorded, not necessarily the lowest index), or all values in
// index order.
//
// Items run on the WorkerPool; the calling thread blocks until all are done.
// A batch of 0 or 1 items runs on the calling thread, but the pool is built
// by the first call all the same. Items must not touch Python objects.
//
// map_batch_interruptible also takes a CancelFlag and a WaitHook: while the
// calling thread waits it polls the hook, and once the hook asks to stop (or
// anyone requests the flag) no further item is started; running items
// finish, everything written is destroyed, and the call returns
// OperationError::cancelled().
//
//   CancelFlag cancel;
//   WaitHook hook{&signal_pending, nullptr, &cancel};
//   auto out = map_batch_interruptible(n, item, cancel, hook);
//   if (!out.ok() && out.error().is_cancelled()) ...
//
// An item can read the flag to stop early itself; map_batch_until_error
// started inside an item inherits it, so the frames of a video stop too.
// With items_may_block, even a lone item runs on a worker, so that the
// calling thread stays free to poll the hook while the item waits.
//
// Splitting adapts to the load: a piece of the batch splits in two while its
// split budget lasts (N at the top, halved per level), and a piece that was
// stolen by another worker gets its budget topped up to N, because being
// stolen means some worker ran dry. Each half writes its outcomes straight
// into their final slots; halves that end and begin at the same index merge.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/buffer.h"
#include "common/cancel.h"
#include "common/outcome.h"
#include "common/fault.h"
#include "parallel/worker_pool.h"

namespace batchaugmentor {
namespace parallel::internal {

// The cancel flag of the batch whose item the current thread is running,
// so that maps started inside the item can stop with it.
inline thread_local const CancelFlag* t_item_cancel = nullptr;

class ItemCancelScope {
 public:
  explicit ItemCancelScope(const CancelFlag* cancel) : previous_(std::exchange(t_item_cancel, cancel)) {}
  ~ItemCancelScope() { t_item_cancel = previous_; }
  ItemCancelScope(const ItemCancelScope&) = delete;
  ItemCancelScope& operator=(const ItemCancelScope&) = delete;

 private:
  const CancelFlag* previous_;
};

inline bool cancelled(const CancelFlag* cancel) { return cancel != nullptr && cancel->requested(); }

// Outcomes written so far by one piece: slots [start, start + written).
struct WrittenRun {
  std::size_t start;
  std::size_t written;
};

struct Splitter {
  std::size_t budget;
  std::size_t threads;

  // A piece of one item is never split.
  bool try_split(std::size_t len, bool moved) {
    if (len / 2 < 1) return false;
    if (moved) {
      budget = std::max(threads, budget / 2);
      return true;
    }
    if (budget > 0) {
      budget /= 2;
      return true;
    }
    return false;
  }
};

// Uninitialised, correctly aligned room for `count` values of T; each slot
// is constructed by exactly one item and destroyed here or moved out.
template <class T>
class Slots {
 public:
  // The only way std::vector offers to fill elements that cannot be
  // default-constructed is to append them, which one thread at a time
  // would have to do in order; so items construct into these slots instead
  // and the finished run is moved into the vector.
  static Outcome<Slots> allocate(std::size_t count) {
    std::size_t bytes = 0;
    if (!checked_mul(count, sizeof(T), &bytes)) return OperationError::out_of_memory();
    void* p = bytes == 0 ? nullptr
                         : ::operator new(bytes, std::align_val_t{alignof(T)}, std::nothrow);
    if (bytes != 0 && p == nullptr) return OperationError::out_of_memory();
    return Slots(static_cast<T*>(p), count);
  }

  Slots(Slots&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), count_(other.count_) {}
  Slots(const Slots&) = delete;
  Slots& operator=(const Slots&) = delete;
  Slots& operator=(Slots&&) = delete;
  ~Slots() {
    if (data_ != nullptr) ::operator delete(data_, std::align_val_t{alignof(T)});
  }

  void construct(std::size_t i, T&& value) { new (data_ + i) T(std::move(value)); }
  void destroy(std::size_t start, std::size_t n) {
    for (std::size_t i = start; i < start + n; ++i) data_[i].~T();
  }
  // Moves slots [0, n) into `out` and destroys them.
  void move_into(std::vector<T>& out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out.push_back(std::move(data_[i]));
    destroy(0, n);
  }
  std::size_t size() const { return count_; }

 private:
  Slots(T* data, std::size_t count) : data_(data), count_(count) {}
  T* data_;
  std::size_t count_;
};

inline WrittenRun merge_runs(WrittenRun left, WrittenRun right, auto& slots) {
  if (left.start + left.written == right.start) return {left.start, left.written + right.written};
  // Only possible if a piece stopped early (an error or a cancel): its right
  // neighbour's outcomes cannot be placed after a gap, so they are dropped.
  slots.destroy(right.start, right.written);
  return left;
}

// Runs a piece as two halves joined on the pool when the splitter allows it
// (each half through map.run); nothing when the piece should run whole.
template <class Map>
std::optional<WrittenRun> run_split(Map& map, std::size_t start, std::size_t len, Splitter splitter,
                                    bool moved, const char* cut_check) {
  if (!splitter.try_split(len, moved)) return std::nullopt;
  std::size_t mid = len / 2;
  if (!(mid <= len)) fault(cut_check);
  auto [left, right] = map.pool.join(
      [&](bool m) { return map.run(start, mid, splitter, m); },
      [&](bool m) { return map.run(start + mid, len - mid, splitter, m); });
  return merge_runs(left, right, map.slots);
}

template <class R, class F>
struct OrderedMap {
  WorkerPool& pool;
  F& item;
  Slots<R>& slots;
  const CancelFlag* cancel;  // null: the map always runs every item

  WrittenRun run(std::size_t start, std::size_t len, Splitter splitter, bool moved) {
    if (cancelled(cancel)) return {start, 0};
    if (auto halves = run_split(*this, start, len, splitter, moved, "assertion failed: index <= len")) {
      return *halves;
    }
    ItemCancelScope scope(cancel);
    std::size_t written = 0;
    for (std::size_t i = start; i < start + len; ++i) {
      if (cancelled(cancel)) break;
      if (written >= len) fault("too many values pushed to consumer");
      slots.construct(i, item(i));
      ++written;
    }
    return {start, written};
  }
};

template <class V, class F>
struct UntilErrorMap {
  UntilErrorMap(WorkerPool& pool, F& item, Slots<V>& slots, const CancelFlag* cancel)
      : pool(pool), item(item), slots(slots), cancel(cancel) {}

  WorkerPool& pool;
  F& item;
  Slots<V>& slots;
  const CancelFlag* cancel;  // inherited from the enclosing batch, or null
  // Read and written without ordering: it only saves work, and the final
  // result is read after the joins, which order everything before it.
  std::atomic<bool> stop{false};
  std::mutex error_lock;  // only ever try-locked, never waited for
  std::optional<OperationError> first_error;

  bool stopping() const { return stop.load(std::memory_order_relaxed) || cancelled(cancel); }

  WrittenRun run(std::size_t start, std::size_t len, Splitter splitter, bool moved) {
    if (stopping()) return {start, 0};
    if (auto halves = run_split(*this, start, len, splitter, moved,
                                "assertion failed: index <= self.range.len()")) {
      return *halves;
    }
    std::size_t written = 0;
    for (std::size_t i = start; i < start + len; ++i) {
      auto outcome = item(i);
      if (!outcome.ok()) {
        if (error_lock.try_lock()) {
          if (!first_error) first_error = outcome.error();
          error_lock.unlock();
        }
        stop.store(true, std::memory_order_relaxed);
        break;
      }
      if (stopping()) break;  // the value is dropped
      slots.construct(i, std::move(outcome).value());
      ++written;
    }
    return {start, written};
  }
};

}  // namespace parallel::internal

namespace parallel::internal {

template <class F, class R = std::invoke_result_t<F&, std::size_t>>
Outcome<std::vector<R>> run_ordered(std::size_t count, F& item, const CancelFlag* cancel,
                                    bool items_may_block = false) {
  parallel::WorkerPool& pool = parallel::WorkerPool::current();

  // The batch length is that of a list the caller holds; a shortage is the
  // caller's out-of-memory error.
  auto made = Slots<R>::allocate(count);
  if (!made.ok()) return made.error();
  Slots<R>* slots = &made.value();
  std::vector<R> out;
  try {
    out.reserve(count);
  } catch (const std::bad_alloc&) {
    return OperationError::out_of_memory();
  } catch (const std::length_error&) {
    return OperationError::out_of_memory();
  }

  OrderedMap<R, F> map{pool, item, *slots, cancel};
  const Splitter splitter{pool.size(), pool.size()};
  WrittenRun total;
  if (count == 1 && items_may_block) {
    // A lone item would run on the calling thread, which then could not
    // notice Ctrl-C while the item waits; joined with an empty second half
    // it runs on a worker instead.
    auto [one, none] = pool.join([&](bool m) { return map.run(0, 1, splitter, m); },
                                 [](bool) { return WrittenRun{1, 0}; });
    total = merge_runs(one, none, *slots);
  } else {
    total = map.run(0, count, splitter, false);
  }
  if (total.written != count) {
    if (cancelled(cancel)) {
      slots->destroy(total.start, total.written);
      return OperationError::cancelled();
    }
    fault("expected " + std::to_string(count) + " total writes, but got " +
          std::to_string(total.written));
  }
  slots->move_into(out, count);
  return out;
}

}  // namespace parallel::internal

template <class F>
auto map_batch(std::size_t count, F&& item) -> Outcome<std::vector<std::invoke_result_t<F&, std::size_t>>> {
  return parallel::internal::run_ordered(count, item, nullptr);
}

template <class F>
auto map_batch_interruptible(std::size_t count, F&& item, CancelFlag& cancel,
                             parallel::WaitHook hook, bool items_may_block = false)
    -> Outcome<std::vector<std::invoke_result_t<F&, std::size_t>>> {
  hook.cancel = &cancel;
  parallel::ScopedWaitHook scope(&hook);
  return parallel::internal::run_ordered(count, item, &cancel, items_may_block);
}

template <class F>
auto map_batch_until_error(std::size_t count, F&& item)
    -> Outcome<std::vector<std::remove_cvref_t<decltype(item(std::size_t{0}).value())>>> {
  using V = std::remove_cvref_t<decltype(item(std::size_t{0}).value())>;
  using namespace parallel::internal;
  parallel::WorkerPool& pool = parallel::WorkerPool::current();

  // The count is a frame count taken from the caller's array.
  auto made = Slots<V>::allocate(count);
  if (!made.ok()) return made.error();
  Slots<V>* slots = &made.value();

  UntilErrorMap<V, F> map(pool, item, *slots, t_item_cancel);
  WrittenRun total = map.run(0, count, Splitter{pool.size(), pool.size()}, false);
  if (map.first_error || (total.written != count && cancelled(map.cancel))) {
    slots->destroy(total.start, total.written);
    if (map.first_error) return *map.first_error;
    return OperationError::cancelled();
  }
  BA_ASSERT(total.start == 0 && total.written == count);

  std::vector<V> values;
  try {
    values.reserve(count);
  } catch (...) {
    slots->destroy(0, count);
    return OperationError::out_of_memory();
  }
  slots->move_into(values, count);
  return values;
}

}  // namespace batchaugmentor
