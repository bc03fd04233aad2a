// The borrow registry shared with every extension in the process that uses
// the same protocol: a capsule named "_RUST_NUMPY_BORROW_CHECKING_API" on
// NumPy's multiarray module. Before a worker reads a caller's array, the call
// registers a read-only borrow of it; another extension holding an exclusive
// borrow of overlapping memory makes the call refuse the array.
//
//   PyResult<ArrayHold> hold = hold_array(api, array);   // acquire
//   ...                                                 // read the pixels
//   // ~ArrayHold releases the borrow and the reference, exactly once
#pragma once

#include <cstdint>

#include "python_bindings/errors.h"
#include "python_bindings/numpy_api.h"

namespace batchaugmentor::bindings {

// The record inside the capsule; field order and widths are the protocol.
struct SharedBorrowApi {
  std::uint64_t version;
  void* flags;
  int (*acquire)(void* flags, PyObject* array);
  int (*acquire_mut)(void* flags, PyObject* array);
  void (*release)(void* flags, PyObject* array);
  void (*release_mut)(void* flags, PyObject* array);
};

// Where the borrow was registered in this module's own registry: the base
// object and the key as they were at acquire time. Python code that runs
// during the rest of the conversion (an __index__, an iterator) may change
// the array's strides, and releasing under a key computed afresh would
// leave the original registered for good.
struct RecordedBorrow {
  void* registry;
  PyObject* base;  // kept alive by the array's own reference chain
  std::uintptr_t key[4];
};

class ArrayHold {
 public:
  ArrayHold(const SharedBorrowApi* api, PyRef array, const RecordedBorrow* recorded)
      : api_(api), array_(std::move(array)), own_(recorded != nullptr) {
    if (recorded != nullptr) recorded_ = *recorded;
  }
  ArrayHold(ArrayHold&&) noexcept = default;
  ArrayHold& operator=(ArrayHold&&) = delete;
  ~ArrayHold();
  PyObject* array() const { return array_.get(); }

  // True when reading `array` needs no borrow of its own: this hold already
  // has one in this module's registry for the same memory of the same base
  // (a list repeating one image, the views of a broadcast array). The
  // borrow then covers both until the call ends, and a walk over 10**11
  // such views keeps one entry, not one per view.
  bool covers(const NumpyApi& numpy, PyObject* array) const;

 private:
  const SharedBorrowApi* api_;
  PyRef array_;
  bool own_;  // registered in this module's registry: release by recorded_
  RecordedBorrow recorded_{};
};

// Registers a read-only borrow of `array` (already checked to be an array).
// A refusal is raised as RuntimeError naming `parameter`.
PyResult<ArrayHold> hold_array(const NumpyApi& numpy, PyObject* array, const char* parameter);

}  // namespace batchaugmentor::bindings
