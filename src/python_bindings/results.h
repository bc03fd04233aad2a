// Turning per-item outcomes into Python objects.
//
//   std::uint8_t* pixels = numpy_data(array);    // for the items to fill
//   PyError e = raise_batch_error(BatchKind::kCrop, outcome.error());
//   PyResult<PyRef> list = make_list(std::move(objects));
#pragma once

#include <vector>

#include "common/image.h"
#include "common/outcome.h"
#include "python_bindings/errors.h"
#include "python_bindings/numpy_api.h"

namespace batchaugmentor::bindings {

enum class BatchKind { kCrop, kCenterCrop, kRandomCrop, kResize, kResizeVideo };

// Where a new array made by this module keeps its pixels.
inline std::uint8_t* numpy_data(PyObject* array) {
  return reinterpret_cast<std::uint8_t*>(as_raw_array(array)->data);
}

// The exception of a call whose first failed item (in input order) failed
// with `error`. Out-of-memory items raise MemoryError.
PyError raise_batch_error(BatchKind kind, const OperationError& error);

// A new list holding `items` in order; consumes them.
PyResult<PyRef> make_list(std::vector<PyRef> items);

}  // namespace batchaugmentor::bindings
