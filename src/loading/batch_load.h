// Reading a batch of files, each straight into memory its caller makes.
//
//   BytesObjects objects(...);                 // make(i, size), finish(i, ok)
//   Outcome<> r = loading::load_files(paths, loading::ContentHomes(objects), cancel, hook);
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

// Where file contents go, as the caller provides it: any object with
//   std::uint8_t* make(std::size_t i, std::uint64_t size);
//     a home for exactly `size` bytes of file i, or null when none can be
//     had (the file then counts as unreadable); asked at most twice per
//     file, and the first home stays readable until finish(i);
//   void finish(std::size_t i, bool ok);
//     file i is done: its content is whole in the last home made for it,
//     or, when !ok, it has none.
// Bound without virtual calls: a sanitizer's check of a virtual call reads
// /proc through a descriptor, and a batch may run with none left.
class ContentHomes {
 public:
  template <class Homes>
  explicit ContentHomes(Homes& homes)
      : homes_(&homes),
        make_([](void* h, std::size_t i, std::uint64_t size) { return static_cast<Homes*>(h)->make(i, size); }),
        finish_([](void* h, std::size_t i, bool ok) { static_cast<Homes*>(h)->finish(i, ok); }) {}

  std::uint8_t* make(std::size_t i, std::uint64_t size) const { return make_(homes_, i, size); }
  void finish(std::size_t i, bool ok) const { finish_(homes_, i, ok); }

 private:
  void* homes_;
  std::uint8_t* (*make_)(void*, std::size_t, std::uint64_t);
  void (*finish_)(void*, std::size_t, bool);
};

// Runs the windows on the pool, which must exist. Between windows and while
// it waits, this thread polls `hook`; once the hook asks to stop, the call
// ends with OperationError::cancelled() and every file it opened is closed.
Outcome<> load_files(const ChunkedList<std::string>& paths, const ContentHomes& homes, CancelFlag& cancel,
                     parallel::WaitHook hook);

}  // namespace batchaugmentor::loading
