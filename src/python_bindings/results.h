// Turning per-item outcomes into Python objects.
//
//   std::uint8_t* pixels = numpy_data(array);    // for the items to fill
//   PyError e = batch_error(BatchKind::kCrop, outcome.error());
//   PyResult<PyRef> list = make_list(std::move(objects));
#pragma once

#include <cstddef>
#include <vector>

#include "common/image.h"
#include "common/outcome.h"
#include "python_bindings/errors.h"
#include "python_bindings/numpy_api.h"

namespace batchaugmentor::bindings {

// Which call an error comes from: the table in batch_error words each kind
// of OperationError for it. kPlain is the batch machinery itself, common to
// every call.
enum class BatchKind { kPlain, kLoad, kCrop, kCenterCrop, kRandomCrop, kResize, kResizeVideo, kDecode, kReadImages };

// Where a new array made by this module keeps its pixels.
inline std::uint8_t* numpy_data(PyObject* array) {
  return reinterpret_cast<std::uint8_t*>(as_raw_array(array)->data);
}

// The one translation of an OperationError into a Python exception:
//   refused        ValueError "<prefix>: <message>" (video: RuntimeError
//                  "Video resizing failed", no reason given)
//   out of memory  MemoryError "<prefix>: not enough memory for the result"
//                  (the batch machinery: "...not enough memory"; loading:
//                  "...not enough memory for the batch")
//   cancelled      RuntimeError "the batch was cancelled"
//   system         OSError with the errno and its text
// The prefix is the call's ("Cropping failed", ...). The decoding calls
// name the item too: ValueError "<prefix>: item <index>: <message>".
PyError batch_error(BatchKind kind, const OperationError& error, std::size_t index = 0);

// A new list holding `items` in order; consumes them.
PyResult<PyRef> make_list(std::vector<PyRef> items);

}  // namespace batchaugmentor::bindings
