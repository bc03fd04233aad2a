// Reading files whole, undecoded, straight into memory the caller provides,
// in steps that the caller spreads over threads:
//
//   MemoryBudget budget;                          // per call
//   FileLoad f;
//   f.open(path);                                 // 1. any thread: open, ask the size
//   if (f.hint() > 0) f.set_target(alloc(f.hint())); // 2. caller: room for the hinted size
//   f.start_pieces();
//   for k < f.piece_count(): f.read_piece(k, budget, &cancel);  // 3. any threads, in parallel
//   f.read_deferred(budget, &cancel);             //    files that waited for a descriptor
//   if (!f.ok()) ... f.error() ...;               // 4. caller: failed, and why
//   else if (f.complete_in_target()) ...;
//   else content = target[0, f.in_target()) + f.extra();
//
// The size the system reports is only a hint: every file is read until a
// read returns 0, so a file that grows or shrinks while it is read, a pipe,
// a device or a /proc file gives exactly what its reads deliver. Content
// that did not fit the hint ends up, whole or in part, in extra().
//
// Failures (missing, a directory, no permission, a NUL in the path, an empty
// path, memory for the content not to be had, the budget exhausted, the call
// cancelled) are OperationErrors in error(): kSystem with the errno for what
// the system refused, out of memory for memory or the budget, kCancelled for
// a cancelled call, and a refusal ("The file could not be read") for a path
// with a NUL or a piece whose read broke off. The batch turns every one into
// None.
//
// MemoryBudget bounds what one call may hold: content counts against it as
// it is taken (a hinted target at its size; content of unknown size twice,
// since it is copied once more into its final place), and the first charge
// that would pass it fails. The first kFreeAllowance bytes need no check;
// past them the limit is platform::memory_headroom(), asked once per call.
// This is what stops /dev/zero, /dev/urandom or /proc/self/pagemap from
// eating all memory: their slots fail instead.
//
// Non-regular files (pipes, sockets, devices) are read without blocking: an
// idle one is waited for in slices of kWaitSliceMs, and the read gives up as
// soon as the CancelFlag is set. A FIFO whose writer never writes and never
// closes therefore holds its item until the call is cancelled.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>

#include "common/cancel.h"
#include "common/outcome.h"
#include "loading/content_buffer.h"
#include "platform/files.h"

namespace batchaugmentor::loading {

inline constexpr std::uint64_t kFreeAllowance = std::uint64_t{64} << 20;
inline constexpr int kWaitSliceMs = 50;
// Files larger than this are read in pieces of this size on several threads.
inline constexpr std::size_t kPieceBytes = std::size_t{1} << 20;

class MemoryBudget {
 public:
  // The limit is asked of the system when first needed.
  MemoryBudget() = default;
  // A fixed limit, for tests.
  explicit MemoryBudget(std::uint64_t limit) : limit_(limit), fixed_(true) {}
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // Takes `bytes` from the budget; false, and nothing taken, when they
  // would pass it. Safe from any thread.
  bool charge(std::uint64_t bytes);
  void refund(std::uint64_t bytes) { charged_.fetch_sub(bytes, std::memory_order_relaxed); }

 private:
  // Relaxed: the count only bounds memory; it orders no other data.
  std::atomic<std::uint64_t> charged_{0};
  std::once_flag asked_;
  std::uint64_t limit_ = 0;
  bool fixed_ = false;
};

class FileLoad {
 public:
  FileLoad() = default;
  FileLoad(const FileLoad&) = delete;
  FileLoad& operator=(const FileLoad&) = delete;

  // Step 1. `path` must stay valid until the last piece has been read.
  void open(std::string_view path);

  // Step 2. A regular file of known, non-zero size asks for a target of
  // exactly hint() bytes; everything else reads into extra(). A null target
  // (no room) fails the file.
  std::uint64_t hint() const { return hint_; }
  void set_target(std::uint8_t* target);

  // Step 3. start_pieces() once on the calling thread, then every piece
  // exactly once, on any threads, concurrently.
  void start_pieces();
  std::size_t piece_count() const;
  void read_piece(std::size_t k, MemoryBudget& budget, const CancelFlag* cancel);

  // A file that found no free descriptor in step 1 has no pieces; it is
  // opened and read whole by read_deferred() once the other files of its
  // batch are closed.
  bool deferred() const { return source_ == Source::kReopen && status_.ok(); }
  void read_deferred(MemoryBudget& budget, const CancelFlag* cancel);

  // Step 4. Whether the file was read, and if not, why (it then has no
  // content); error() only when !ok(). Settled once the steps above are
  // through; read by the thread that ran them or waited for them.
  bool ok() const { return status_.ok(); }
  const OperationError& error() const { return status_.error(); }
  // The content is in_target() bytes at the target followed by extra().
  bool complete_in_target() const {
    return status_.ok() && target_ != nullptr && in_target_ == hint_ && extra_.size() == 0;
  }
  std::size_t in_target() const { return in_target_; }
  const ContentBuffer& extra() const { return extra_; }
  std::size_t size() const { return in_target_ + extra_.size(); }

 private:
  enum class Source { kNone, kTarget, kStream, kReopen };
  // How a piece of a hinted file failed; the first one recorded fails the file.
  enum class PieceFailure : std::uint8_t { kNone, kUnreadable, kCancelled };

  void finish_target(MemoryBudget& budget, const CancelFlag* cancel);
  void fail(const OperationError& error);
  void fail_piece(PieceFailure failure);

  std::string_view path_;
  std::optional<platform::ReadOnlyFile> file_;
  Source source_ = Source::kNone;
  Outcome<> status_ = Done{};  // what ok() and error() report
  std::uint64_t hint_ = 0;
  std::uint8_t* target_ = nullptr;
  std::size_t in_target_ = 0;
  ContentBuffer extra_;
  // Pieces of one file run on different threads. The lowest offset at which
  // a piece met the end of the file, and the pieces not yet done; the last
  // one to finish completes the file. acq_rel on the count: every piece's
  // writes happen before the finisher reads them.
  std::atomic<std::uint64_t> end_seen_{UINT64_MAX};
  std::atomic<std::size_t> unfinished_{0};
  std::atomic<PieceFailure> piece_failure_{PieceFailure::kNone};
};

}  // namespace batchaugmentor::loading
