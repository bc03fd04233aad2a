#include "python_bindings/results.h"

#include <string>

namespace batchaugmentor::bindings {
namespace {

const char* prefix_of(BatchKind kind) {
  switch (kind) {
    case BatchKind::kCrop: return "Cropping failed: ";
    case BatchKind::kCenterCrop: return "Center cropping failed: ";
    case BatchKind::kRandomCrop: return "Random cropping failed: ";
    case BatchKind::kResize: return "Resizing failed: ";
    case BatchKind::kResizeVideo: return "Video resizing failed";
  }
  return "";
}

}  // namespace

PyError raise_batch_error(BatchKind kind, const OperationError& error) {
  if (error.is_out_of_memory()) return PyError::no_memory(" for the result");
  std::string message = prefix_of(kind);
  if (kind == BatchKind::kResizeVideo) return PyError::make(PyExc_RuntimeError, message);
  message += error.message;
  return PyError::make(PyExc_ValueError, message);
}

PyResult<PyRef> make_list(std::vector<PyRef> items) {
  auto list = checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < items.size(); ++i) {
    // PyList_SetItem steals the item even when it fails.
    if (PyList_SetItem(list->get(), static_cast<Py_ssize_t>(i), items[i].release()) != 0) {
      return PyError::fetch();
    }
  }
  return list;
}

}  // namespace batchaugmentor::bindings
