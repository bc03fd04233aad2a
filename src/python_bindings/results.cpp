#include "python_bindings/results.h"

#include <cstring>
#include <string>

namespace batchaugmentor::bindings {
namespace {

const char* prefix_of(BatchKind kind) {
  switch (kind) {
    case BatchKind::kCrop: return "Cropping failed: ";
    case BatchKind::kCenterCrop: return "Center cropping failed: ";
    case BatchKind::kRandomCrop: return "Random cropping failed: ";
    case BatchKind::kResize: return "Resizing failed: ";
    case BatchKind::kDecode: return "Decoding failed: ";
    case BatchKind::kReadImages: return "Image reading failed: ";
    case BatchKind::kPlain:
    case BatchKind::kLoad:
    case BatchKind::kResizeVideo: break;
  }
  return "";
}

}  // namespace

PyError batch_error(BatchKind kind, const OperationError& error, std::size_t index) {
  switch (error.kind) {
    case OperationError::Kind::kOutOfMemory:
      if (kind == BatchKind::kPlain) return PyError::no_memory();
      return PyError::no_memory(kind == BatchKind::kLoad ? " for the batch" : " for the result");
    case OperationError::Kind::kCancelled:
      return PyError::make(PyExc_RuntimeError, "the batch was cancelled");
    case OperationError::Kind::kSystem: {
      PyRef raised = PyRef::steal(PyObject_CallFunction(PyExc_OSError, "is", error.os_error, std::strerror(error.os_error)));
      if (!raised) return PyError::fetch();
      return PyError::make(PyExc_OSError, std::move(raised));
    }
    case OperationError::Kind::kRefused:
      break;
  }
  if (kind == BatchKind::kResizeVideo) return PyError::make(PyExc_RuntimeError, "Video resizing failed");
  std::string message = prefix_of(kind);
  if (kind == BatchKind::kDecode || kind == BatchKind::kReadImages) {
    message += "item ";
    message += std::to_string(index);
    message += ": ";
  }
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
