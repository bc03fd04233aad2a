// load_image_batch: each file read once, straight into the bytes object
// that the caller receives.
//
//   PyResult<PyRef> list = load_image_batch_list(args, kwargs);
//   PyStatus read = load_paths(paths, loading::ContentHomes(homes));  // any homes
#pragma once

#include <string>

#include "common/chunked_list.h"
#include "loading/batch_load.h"
#include "python_bindings/errors.h"

namespace batchaugmentor::bindings {

PyResult<PyRef> load_image_batch_list(PyObject* args, PyObject* kwargs);

// The loading schedule as a module function runs it: on the pool (built if
// need be), answering Ctrl-C with the handler's exception; a failure of the
// batch's own records is "<prefix>: not enough memory for the batch".
PyStatus load_paths(const ChunkedList<std::string>& paths, const loading::ContentHomes& homes);

}  // namespace batchaugmentor::bindings
