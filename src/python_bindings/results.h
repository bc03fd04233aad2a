// Turning per-item outcomes into Python objects.
//
//   PyResult<PyRef> a = new_numpy_like(numpy, owned);    // calling thread
//   fill_numpy_data(numpy_data(a->get()), owned);        // any thread
//   PyError e = raise_batch_error(BatchKind::kCrop, outcome.error());
//
// Each owned array is copied once into memory NumPy owns, in one block
// whenever its layout allows; C- and F-contiguous layouts are kept.
#pragma once

#include <vector>

#include "common/image.h"
#include "common/outcome.h"
#include "python_bindings/errors.h"
#include "python_bindings/numpy_api.h"

namespace batchaugmentor::bindings {

enum class BatchKind { kCrop, kCenterCrop, kRandomCrop, kResize, kResizeVideo };

// A new NumPy array is made in two steps so that the copies of a whole batch
// can run on the workers: the array is made on the calling thread, and its
// data is then filled from any thread (only raw memory is touched).
template <std::size_t D>
PyResult<PyRef> new_numpy_like(const NumpyApi& numpy, const OwnedArray<D>& array);
template <std::size_t D>
void fill_numpy_data(std::uint8_t* out, const OwnedArray<D>& array);

inline std::uint8_t* numpy_data(PyObject* array) {
  return reinterpret_cast<std::uint8_t*>(as_raw_array(array)->data);
}

// The exception of a call whose first failed item (in input order) failed
// with `error`. Out-of-memory items raise MemoryError.
PyError raise_batch_error(BatchKind kind, const OperationError& error);

// A new list holding `items` in order; consumes them.
PyResult<PyRef> make_list(std::vector<PyRef> items);

}  // namespace batchaugmentor::bindings
