// load_image_batch: each file read once, straight into the bytes object
// that the caller receives.
//
//   PyResult<PyRef> list = load_image_batch_list(args, kwargs);
#pragma once

#include "python_bindings/errors.h"

namespace batchaugmentor::bindings {

PyResult<PyRef> load_image_batch_list(PyObject* args, PyObject* kwargs);

}  // namespace batchaugmentor::bindings
