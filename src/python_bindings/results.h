// Turning per-item outcomes into Python objects.
//
//   PyResult<PyRef> a = to_numpy_array(numpy, std::move(image_array));
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

template <std::size_t D>
PyResult<PyRef> to_numpy_array(const NumpyApi& numpy, OwnedArray<D> array);

// The exception of a call whose first failed item (in input order) failed
// with `error`. Out-of-memory items raise MemoryError.
PyError raise_batch_error(BatchKind kind, const OperationError& error);

// A new list holding `items` in order; consumes them.
PyResult<PyRef> make_list(std::vector<PyRef> items);

}  // namespace batchaugmentor::bindings
