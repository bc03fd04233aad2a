// Paths are handled a window at a time, in three rounds on the workers:
//
//   1. workers (this thread, for a few files) open each file and ask its size;
//   2. this thread (it holds the interpreter lock) makes each bytes object
//      at the size the system reported;
//   3. workers read each file straight into its object, a large file in
//      pieces on several workers, and close it (a file that found no free
//      descriptor in round 1 is opened and read after the others).
//
// A file whose size turned out wrong (it shrank or grew while read, or its
// size was unknown: pipes, devices, /proc) gets a new object of the exact
// size at the end of its window, copied on the workers. So each byte of an
// ordinary file is written once, by a worker, into pages the worker faults
// in itself; and at most one window of files is open at a time.
#include "python_bindings/loading_batch.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/cancel.h"
#include "loading/load_file.h"
#include "platform/files.h"
#include "platform/pages.h"
#include "python_bindings/arguments.h"
#include "python_bindings/batch.h"
#include "python_bindings/large_pages.h"

namespace batchaugmentor::bindings {
namespace {

const FunctionSignature kLoadSignature{"load_image_batch", {"image_paths"}};

// Files open at once: enough to keep every worker busy between rounds, few
// enough to leave most of the descriptor limit to the rest of the process.
constexpr std::size_t kMaxWindow = 1024;
constexpr std::size_t kMinWindow = 16;

// A few files are opened here: a handful of opens costs about what one
// round trip to the workers does, and on a busy machine much less than
// waiting for both workers to be scheduled twice.
constexpr std::size_t kInlineOpens = 16;

// Targets of at least this size ask for large pages (large_pages.h); a
// smaller one holds too few whole large pages: its header and last byte,
// written when it was made, already pinned the ones at its ends to small pages.
constexpr std::uint64_t kLargePageTarget = std::uint64_t{4} << 20;

// Copies of mismatched contents run in steps of this size, so that one large
// stream does not leave the other workers idle.
constexpr std::size_t kCopyStep = std::size_t{4} << 20;

// Literal messages: building them must not need memory either.
PyError no_memory_for_batch() {
  return PyError::make(PyExc_MemoryError, "File loading failed: not enough memory for the batch");
}

std::size_t window_size() {
  const std::uint64_t quarter = platform::descriptor_limit() / 4;
  return static_cast<std::size_t>(std::clamp<std::uint64_t>(quarter, kMinWindow, kMaxWindow));
}

struct Piece {
  std::size_t file;
  std::size_t k;
};

// A part of a new object's content to copy: from the old object's memory or
// from the native content of unknown size.
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

// Slot i of the list becomes `object` (a new reference, or None when null).
void set_slot(PyObject* list, std::size_t i, PyRef object) {
  if (!object) object = PyRef::borrow(Py_None);
  // Cannot fail: the index is in range and the object is not null.
  PyList_SetItem(list, static_cast<Py_ssize_t>(i), object.release());
}

PyResult<Unit> load_window(PyObject* list, const std::vector<std::string>& paths, std::size_t first,
                           std::size_t count, loading::MemoryBudget& budget, CancelFlag& cancel) {
  std::unique_ptr<loading::FileLoad[]> loads(new (std::nothrow) loading::FileLoad[count]);
  if (!loads) return no_memory_for_batch();
  if (count <= kInlineOpens) {
    for (std::size_t i = 0; i < count; ++i) loads[i].open(paths[first + i]);
  } else {
    auto opened = run_batch(count, [&](std::size_t i) {
      loads[i].open(paths[first + i]);
      return true;
    }, cancel);
    if (!opened) return std::move(opened).error();
  }

  // Round 2: an object of the hinted size for every file that has one. A
  // file too large for the budget, or for the allocator, is None.
  std::vector<std::uint8_t*> targets;
  std::vector<Piece> pieces;
  try {
    targets.resize(count, nullptr);
    pieces.reserve(count);
  } catch (const std::bad_alloc&) {
    return no_memory_for_batch();
  }
  for (std::size_t i = 0; i < count; ++i) {
    loading::FileLoad& load = loads[i];
    const std::uint64_t hint = load.hint();
    if (hint > 0) {
      PyRef object;
      if (hint <= static_cast<std::uint64_t>(PY_SSIZE_T_MAX) && budget.charge(hint)) {
        object = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(hint)));
        if (!object) PyErr_Clear();
      }
      if (object) targets[i] = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(object.get()));
      load.set_target(targets[i]);
      set_slot(list, first + i, std::move(object));
    }
    load.start_pieces();
    try {
      for (std::size_t k = 0; k < load.piece_count(); ++k) pieces.push_back({i, k});
    } catch (const std::bad_alloc&) {
      return no_memory_for_batch();
    }
  }

  // 20 MB files: a tenth of the faults, half the processor time.
  LargePageRequest large(kLargePageTarget);
  for (std::size_t i = 0; i < count; ++i) large.add(targets[i], loads[i].hint());

  // Round 3.
  auto read = run_batch(pieces.size(), [&](std::size_t p) {
    loads[pieces[p].file].read_piece(pieces[p].k, budget, &cancel);
    return true;
  }, cancel, /*items_may_block=*/true);
  large.take_back();
  if (!read) return std::move(read).error();

  // Files that found no free descriptor, now that the others are closed.
  std::vector<std::size_t> deferred;
  try {
    for (std::size_t i = 0; i < count; ++i) {
      if (loads[i].deferred()) deferred.push_back(i);
    }
  } catch (const std::bad_alloc&) {
    return no_memory_for_batch();
  }
  auto read_late = run_batch(deferred.size(), [&](std::size_t d) {
    loads[deferred[d]].read_deferred(budget, &cancel);
    return true;
  }, cancel, /*items_may_block=*/true);
  if (!read_late) return std::move(read_late).error();

  // Whatever did not land whole in its object gets an exact-size one.
  std::vector<CopyStep> steps;
  std::vector<PyRef> exact(count);
  try {
    for (std::size_t i = 0; i < count; ++i) {
      loading::FileLoad& load = loads[i];
      if (load.failed()) {
        set_slot(list, first + i, PyRef());
        continue;
      }
      if (load.complete_in_target()) continue;
      PyRef object = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(load.size())));
      if (!object) {
        PyErr_Clear();
        set_slot(list, first + i, PyRef());  // no room for it: as unreadable
        continue;
      }
      auto* to = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(object.get()));
      add_copy_steps(steps, to, targets[i], load.in_target());
      add_copy_steps(steps, to + load.in_target(), load.extra().data(), load.extra().size());
      exact[i] = std::move(object);
    }
  } catch (const std::bad_alloc&) {
    return no_memory_for_batch();
  }
  auto copied = run_batch(steps.size(), [&](std::size_t s) {
    platform::prepare_for_writing(steps[s].to, steps[s].length);
    std::memcpy(steps[s].to, steps[s].from, steps[s].length);
    return true;
  }, cancel);
  if (!copied) return std::move(copied).error();
  for (std::size_t i = 0; i < count; ++i) {
    if (exact[i]) set_slot(list, first + i, std::move(exact[i]));
  }
  return Unit{};
}

}  // namespace

PyResult<PyRef> load_image_batch_list(PyObject* args, PyObject* kwargs) {
  auto slots = bind_arguments(kLoadSignature, args, kwargs);
  if (!slots) return std::move(slots).error();
  auto paths = extract_path_list((*slots)[0], "image_paths");
  if (!paths) return std::move(paths).error();
  const std::vector<std::string>& texts = *paths;

  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) {
    PyErr_Clear();
    return PyError::make(PyExc_MemoryError, "File loading failed: not enough memory for the result list");
  }
  loading::MemoryBudget budget;
  // Set when Ctrl-C stops the call: a read waiting on a pipe gives up.
  CancelFlag cancel;
  const std::size_t window = window_size();
  for (std::size_t first = 0; first < texts.size(); first += window) {
    const std::size_t count = std::min(window, texts.size() - first);
    // A window can end before the batch's first 50 ms poll, so a long list
    // of quick files checks for Ctrl-C here too.
    if (first > 0 && PyErr_CheckSignals() != 0) return PyError::fetch();
    auto done = load_window(list.get(), texts, first, count, budget, cancel);
    if (!done) return std::move(done).error();
  }
  return list;
}

}  // namespace batchaugmentor::bindings
