#include "loading/batch_load.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "loading/load_file.h"
#include "parallel/map.h"
#include "platform/files.h"
#include "platform/large_pages.h"
#include "platform/pages.h"

namespace batchaugmentor::loading {
namespace {

// Files open at once: enough to keep every worker busy between rounds, few
// enough to leave most of the descriptor limit to the rest of the process.
constexpr std::size_t kMaxWindow = 1024;
constexpr std::size_t kMinWindow = 16;

// A few files are opened here: a handful of opens costs about what one
// round trip to the workers does, and on a busy machine much less than
// waiting for both workers to be scheduled twice.
constexpr std::size_t kInlineOpens = 16;

// Homes of at least this size ask for large pages; a smaller one holds too
// few whole large pages: its header and last byte, written when it was made,
// already pinned the ones at its ends to small pages.
constexpr std::uint64_t kLargePageTarget = std::uint64_t{4} << 20;

// Copies of mismatched contents run in steps of this size, so that one large
// stream does not leave the other workers idle.
constexpr std::size_t kCopyStep = std::size_t{4} << 20;

std::size_t window_size() {
  const std::uint64_t quarter = platform::descriptor_limit() / 4;
  return static_cast<std::size_t>(std::clamp<std::uint64_t>(quarter, kMinWindow, kMaxWindow));
}

struct Piece {
  std::size_t file;
  std::size_t k;
};

// A part of a new home's content to copy: from the first home or from the
// native content of unknown size.
struct CopyStep {
  std::uint8_t* to;
  const std::uint8_t* from;
  std::size_t length;
};

void add_copy_steps(std::vector<CopyStep>& steps, std::uint8_t* to, const std::uint8_t* from, std::size_t n) {
  for (std::size_t done = 0; done < n; done += kCopyStep) {
    steps.push_back({to + done, from + done, std::min(kCopyStep, n - done)});
  }
}

class Window {
 public:
  Window(const ChunkedList<std::string>& paths, std::size_t first, std::size_t count, const ContentHomes& homes,
         MemoryBudget& budget, CancelFlag& cancel, parallel::WaitHook hook)
      : paths_(paths), first_(first), count_(count), homes_(homes), budget_(budget), cancel_(cancel), hook_(hook) {}

  Outcome<> run() {
    loads_.reset(new (std::nothrow) FileLoad[count_]);
    if (!loads_) return OperationError::out_of_memory();
    try {
      targets_.assign(count_, nullptr);
      pieces_.reserve(count_);
    } catch (const std::bad_alloc&) {
      return OperationError::out_of_memory();
    }
    if (auto r = open_all(); !r.ok()) return r;
    if (auto r = make_homes(); !r.ok()) return r;
    if (auto r = read_all(); !r.ok()) return r;
    return settle();
  }

 private:
  template <class F>
  Outcome<> on_workers(std::size_t n, F item, bool items_may_block = false) {
    auto done = map_batch_interruptible(n, [&](std::size_t i) { item(i); return true; }, cancel_, hook_,
                                        items_may_block);
    if (!done.ok()) return done.error();
    return Done{};
  }

  // Round 1.
  Outcome<> open_all() {
    if (count_ <= kInlineOpens) {
      for (std::size_t i = 0; i < count_; ++i) loads_[i].open(paths_[first_ + i]);
      return Done{};
    }
    return on_workers(count_, [&](std::size_t i) { loads_[i].open(paths_[first_ + i]); });
  }

  // Round 2: a home of the hinted size for every file that has one. A file
  // too large for the budget, or for the caller, is unreadable.
  Outcome<> make_homes() {
    for (std::size_t i = 0; i < count_; ++i) {
      FileLoad& load = loads_[i];
      const std::uint64_t hint = load.hint();
      if (hint > 0) {
        if (budget_.charge(hint)) targets_[i] = homes_.make(first_ + i, hint);
        load.set_target(targets_[i]);
      }
      load.start_pieces();
      try {
        for (std::size_t k = 0; k < load.piece_count(); ++k) pieces_.push_back({i, k});
      } catch (const std::bad_alloc&) {
        return OperationError::out_of_memory();
      }
    }
    return Done{};
  }

  // Round 3, then the files that found no free descriptor, now that the
  // others are closed.
  Outcome<> read_all() {
    {
      // 20 MB files: a tenth of the faults, half the processor time.
      platform::LargePageRequest large(kLargePageTarget);
      for (std::size_t i = 0; i < count_; ++i) large.add(targets_[i], loads_[i].hint());
      auto read = on_workers(pieces_.size(), [&](std::size_t p) {
        loads_[pieces_[p].file].read_piece(pieces_[p].k, budget_, &cancel_);
      }, /*items_may_block=*/true);
      if (!read.ok()) return read;
    }
    std::vector<std::size_t> deferred;
    try {
      for (std::size_t i = 0; i < count_; ++i) {
        if (loads_[i].deferred()) deferred.push_back(i);
      }
    } catch (const std::bad_alloc&) {
      return OperationError::out_of_memory();
    }
    return on_workers(deferred.size(), [&](std::size_t d) {
      loads_[deferred[d]].read_deferred(budget_, &cancel_);
    }, /*items_may_block=*/true);
  }

  // Whatever did not land whole in its home gets an exact-size one.
  Outcome<> settle() {
    std::vector<CopyStep> steps;
    std::vector<std::size_t> copied;
    try {
      for (std::size_t i = 0; i < count_; ++i) {
        FileLoad& load = loads_[i];
        if (!load.ok()) {
          homes_.finish(first_ + i, false);
          continue;
        }
        if (load.complete_in_target()) {
          homes_.finish(first_ + i, true);
          continue;
        }
        std::uint8_t* to = homes_.make(first_ + i, load.size());
        if (to == nullptr) {
          homes_.finish(first_ + i, false);  // no room for it: as unreadable
          continue;
        }
        add_copy_steps(steps, to, targets_[i], load.in_target());
        add_copy_steps(steps, to + load.in_target(), load.extra().data(), load.extra().size());
        copied.push_back(i);
      }
    } catch (const std::bad_alloc&) {
      return OperationError::out_of_memory();
    }
    auto done = on_workers(steps.size(), [&](std::size_t s) {
      platform::prepare_for_writing(steps[s].to, steps[s].length);
      std::memcpy(steps[s].to, steps[s].from, steps[s].length);
    });
    if (!done.ok()) return done;
    for (std::size_t i : copied) homes_.finish(first_ + i, true);
    return Done{};
  }

  const ChunkedList<std::string>& paths_;
  std::size_t first_;
  std::size_t count_;
  const ContentHomes& homes_;
  MemoryBudget& budget_;  // the call's: it bounds all windows together
  CancelFlag& cancel_;
  parallel::WaitHook hook_;
  std::unique_ptr<FileLoad[]> loads_;
  std::vector<std::uint8_t*> targets_;
  std::vector<Piece> pieces_;
};

}  // namespace

Outcome<> load_files(const ChunkedList<std::string>& paths, const ContentHomes& homes, CancelFlag& cancel,
                     parallel::WaitHook hook) {
  MemoryBudget budget;
  const std::size_t window = window_size();
  for (std::size_t first = 0; first < paths.size(); first += window) {
    // A window can end before the batch's first poll, so a long list of
    // quick files polls here too.
    if (first > 0 && hook.poll != nullptr && hook.poll(hook.context)) return OperationError::cancelled();
    Window w(paths, first, std::min(window, paths.size() - first), homes, budget, cancel, hook);
    if (auto done = w.run(); !done.ok()) return done;
  }
  return Done{};
}

}  // namespace batchaugmentor::loading
