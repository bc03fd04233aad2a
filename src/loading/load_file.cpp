#include "loading/load_file.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/buffer.h"
#include "platform/files.h"
#include "platform/pages.h"

namespace batchaugmentor::loading {

namespace {

// The first read of content of unknown size asks for this much: one read
// fills a typical image file and the next one returns 0.
constexpr std::size_t kFirstRead = 128 * 1024;

// Content of unknown size is read at most this much at a time, so that the
// budget is charged before the memory is written, not long after.
constexpr std::size_t kStreamStep = std::size_t{16} << 20;

// Paths up to this length are terminated on the stack; longer ones (rare,
// and already past most OS limits) on the heap.
constexpr std::size_t kInlinePathSize = 512;

OperationError unreadable() { return OperationError::refused("The file could not be read"); }

bool cancel_requested(const CancelFlag* cancel) { return cancel != nullptr && cancel->requested(); }

Outcome<platform::ReadOnlyFile> open_path(std::string_view path) {
  // A NUL would silently cut the path short at the OS boundary and open
  // some other file.
  if (path.find('\0') != std::string_view::npos) return unreadable();
  char inline_path[kInlinePathSize];
  OwnedBuffer heap_path;
  char* terminated = inline_path;
  if (path.size() >= kInlinePathSize) {
    auto made = OwnedBuffer::allocate(path.size() + 1);
    if (!made.ok()) return made.error();
    heap_path = std::move(made).value();
    terminated = reinterpret_cast<char*>(heap_path.data());
  }
  if (!path.empty()) std::memcpy(terminated, path.data(), path.size());
  terminated[path.size()] = '\0';
  return platform::ReadOnlyFile::open(terminated);
}

// Appends everything `read` delivers, until it returns 0, to `content`.
// `read(buffer, capacity)` returns an Outcome<platform::ReadChunk>. An idle
// source is waited for in slices, giving up once the call is cancelled.
template <class Read>
Outcome<> read_rest(const platform::ReadOnlyFile& file, ContentBuffer& content, MemoryBudget& budget,
                    const CancelFlag* cancel, Read read) {
  if (content.capacity() == 0) {
    Outcome<> room = content.make_room(kFirstRead);
    if (!room.ok()) return room;
  }
  for (;;) {
    if (cancel_requested(cancel)) return OperationError::cancelled();
    Outcome<> room = content.make_room(1);
    if (!room.ok()) return room;
    const std::size_t request = std::min(content.spare(), kStreamStep);
    // Twice: this content is copied once more into its final place.
    if (!budget.charge(2 * std::uint64_t{request})) return OperationError::out_of_memory();
    const Outcome<platform::ReadChunk> r = read(content.end(), request);
    const std::size_t got = r.ok() ? r.value().bytes : 0;
    budget.refund(2 * std::uint64_t{request - got});
    if (!r.ok()) return r.error();
    if (r.value().would_block) {
      while (!file.wait_readable(kWaitSliceMs)) {
        if (cancel_requested(cancel)) return OperationError::cancelled();
      }
      continue;
    }
    if (got == 0) return Done{};
    content.commit(got);
  }
}

Outcome<> read_stream(platform::ReadOnlyFile& file, ContentBuffer& content, MemoryBudget& budget,
                      const CancelFlag* cancel) {
  return read_rest(file, content, budget, cancel,
                   [&](void* buffer, std::size_t n) { return file.read_some(buffer, n); });
}

}  // namespace

bool MemoryBudget::charge(std::uint64_t bytes) {
  const std::uint64_t before = charged_.fetch_add(bytes, std::memory_order_relaxed);
  std::uint64_t after;
  if (__builtin_add_overflow(before, bytes, &after)) after = UINT64_MAX;
  if (!fixed_) {
    if (after <= kFreeAllowance) return true;
    // Written once, under the once_flag, which also orders it before every
    // later read on any thread.
    std::call_once(asked_, [this] { limit_ = platform::memory_headroom(); });
  }
  if (after <= limit_) return true;
  charged_.fetch_sub(bytes, std::memory_order_relaxed);
  return false;
}

void FileLoad::open(std::string_view path) {
  path_ = path;
  Outcome<platform::ReadOnlyFile> opened = open_path(path);
  if (!opened.ok()) {
    // Out of descriptors: try again once this window's files are closed.
    if (platform::is_descriptor_shortage(opened.error().os_error)) {
      source_ = Source::kReopen;
    } else {
      status_ = opened.error();
    }
    return;
  }
  const Outcome<platform::FileInfo> info = opened.value().info();
  if (!info.ok()) {
    status_ = info.error();
    return;
  }
  file_ = std::move(opened).value();
  // /proc files and the like claim a size of 0 whatever they hold.
  if (info.value().regular && info.value().size > 0) {
    hint_ = info.value().size;
    source_ = Source::kTarget;
  } else {
    source_ = Source::kStream;
  }
}

void FileLoad::fail(const OperationError& error) {
  status_ = error;
  file_.reset();
  extra_ = ContentBuffer();
}

void FileLoad::fail_piece(PieceFailure failure) {
  PieceFailure none = PieceFailure::kNone;
  piece_failure_.compare_exchange_strong(none, failure, std::memory_order_relaxed);
}

void FileLoad::set_target(std::uint8_t* target) {
  if (source_ != Source::kTarget) return;
  if (target == nullptr) {
    fail(OperationError::out_of_memory());
    return;
  }
  target_ = target;
}

std::size_t FileLoad::piece_count() const {
  if (!status_.ok()) return 0;
  if (source_ == Source::kTarget) return static_cast<std::size_t>((hint_ + kPieceBytes - 1) / kPieceBytes);
  return source_ == Source::kStream ? 1 : 0;
}

void FileLoad::start_pieces() { unfinished_.store(piece_count(), std::memory_order_relaxed); }

void FileLoad::read_piece(std::size_t k, MemoryBudget& budget, const CancelFlag* cancel) {
  if (source_ == Source::kStream) {
    Outcome<> read = read_stream(*file_, extra_, budget, cancel);
    if (!read.ok()) return fail(read.error());
    file_.reset();
    return;
  }

  if (cancel_requested(cancel)) {
    fail_piece(PieceFailure::kCancelled);
  } else {
    const std::uint64_t offset = std::uint64_t{k} * kPieceBytes;
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(kPieceBytes, hint_ - offset));
    std::uint8_t* at = target_ + offset;
    platform::prepare_for_writing(at, length);
    const bool whole = piece_count() == 1;
    std::size_t got = 0;
    while (got < length) {
      // A file read whole goes through the file position like any reader;
      // pieces of a larger one are read at their own offsets.
      const Outcome<platform::ReadChunk> r = whole ? file_->read_some(at + got, length - got)
                                                   : file_->read_at(at + got, length - got, offset + got);
      if (!r.ok() || r.value().would_block) {
        fail_piece(PieceFailure::kUnreadable);  // any failure fails the file
        break;
      }
      if (r.value().bytes == 0) break;
      got += r.value().bytes;
    }
    if (got < length) {
      // The file ended early (it shrank): the content stops at the lowest
      // such offset.
      std::uint64_t seen = end_seen_.load(std::memory_order_relaxed);
      while (offset + got < seen &&
             !end_seen_.compare_exchange_weak(seen, offset + got, std::memory_order_relaxed)) {
      }
    }
  }
  if (unfinished_.fetch_sub(1, std::memory_order_acq_rel) == 1) finish_target(budget, cancel);
}

void FileLoad::read_deferred(MemoryBudget& budget, const CancelFlag* cancel) {
  if (!deferred()) return;
  Outcome<platform::ReadOnlyFile> opened = open_path(path_);
  if (!opened.ok()) return fail(opened.error());
  // Read without a size hint: a rare path, not worth a round of its own.
  Outcome<> read = read_stream(opened.value(), extra_, budget, cancel);
  if (!read.ok()) return fail(read.error());
}

void FileLoad::finish_target(MemoryBudget& budget, const CancelFlag* cancel) {
  switch (piece_failure_.load(std::memory_order_relaxed)) {
    case PieceFailure::kNone: break;
    case PieceFailure::kUnreadable: return fail(unreadable());
    case PieceFailure::kCancelled: return fail(OperationError::cancelled());
  }
  const std::uint64_t end = end_seen_.load(std::memory_order_relaxed);
  if (end < hint_) {
    in_target_ = static_cast<std::size_t>(end);
    file_.reset();
    return;
  }
  in_target_ = static_cast<std::size_t>(hint_);
  // The size was right unless one more read still finds data: the file grew.
  const bool whole = piece_count() == 1;
  std::uint8_t probe[16 * 1024];
  const Outcome<platform::ReadChunk> r = whole ? file_->read_some(probe, sizeof probe)
                                               : file_->read_at(probe, sizeof probe, hint_);
  if (!r.ok()) return fail(r.error());
  if (r.value().would_block) return fail(unreadable());
  const std::size_t grown = r.value().bytes;
  if (grown > 0) {
    if (!budget.charge(2 * std::uint64_t{grown})) return fail(OperationError::out_of_memory());
    Outcome<> kept = extra_.append(probe, grown);
    if (!kept.ok()) return fail(kept.error());
    platform::ReadOnlyFile& file = *file_;
    auto next = [&](void* buffer, std::size_t n) {
      return whole ? file.read_some(buffer, n) : file.read_at(buffer, n, hint_ + extra_.size());
    };
    Outcome<> rest = read_rest(file, extra_, budget, cancel, next);
    if (!rest.ok()) return fail(rest.error());
  }
  file_.reset();
}

}  // namespace batchaugmentor::loading
