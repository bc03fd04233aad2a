// Reading a batch of files, each straight into memory its caller makes.
//
//   class Homes : public loading::ContentHomes { ... };   // e.g. bytes objects
//   Outcome<> r = loading::load_files(paths, homes, cancel, hook);
//   // r failed: out of memory for the batch's own records, or cancelled
//
// Paths are handled a window at a time, in three rounds on the workers:
//
//   1. workers (this thread, for a few files) open each file and ask its size;
//   2. this thread asks the caller for a home of the size the system
//      reported (the caller may need to be on this thread to make one);
//   3. workers read each file straight into its home, a large file in
//      pieces on several workers, and close it (a file that found no free
//      descriptor in round 1 is opened and read after the others).
//
// A file whose size turned out wrong (it shrank or grew while read, or its
// size was unknown: pipes, devices, /proc) gets a new home of the exact size
// at the end of its window, copied on the workers. So each byte of an
// ordinary file is written once, by a worker, into pages the worker faults
// in itself; and at most one window of files is open at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/cancel.h"
#include "common/chunked_list.h"
#include "common/outcome.h"
#include "parallel/worker_pool.h"

namespace batchaugmentor::loading {

class ContentHomes {
 public:
  // A home for exactly `size` bytes of file i, or null when none can be
  // had (the file then counts as unreadable). Asked at most twice per file;
  // the first home stays readable until finish(i).
  virtual std::uint8_t* make(std::size_t i, std::uint64_t size) = 0;
  // File i is done: its content is whole in the last home made for it, or,
  // when !ok, it has none.
  virtual void finish(std::size_t i, bool ok) = 0;

 protected:
  ~ContentHomes() = default;
};

// Runs the windows on the pool, which must exist. Between windows and while
// it waits, this thread polls `hook`; once the hook asks to stop, the call
// ends with OperationError::cancelled() and every file it opened is closed.
Outcome<> load_files(const ChunkedList<std::string>& paths, ContentHomes& homes, CancelFlag& cancel,
                     parallel::WaitHook hook);

}  // namespace batchaugmentor::loading
