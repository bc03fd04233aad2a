// PyRef: one owned reference to a Python object, released exactly once.
//
//   PyRef list = PyRef::steal(PyList_New(n));          // new reference: we own it
//   PyRef name = PyRef::borrow(PyTuple_GetItem(t, 0)); // borrowed: take our own
//   PyList_SetItem(list.get(), i, item.release());     // hand ownership over
//
// Every constructor says where the reference came from, so a leak or a double
// release shows up as a wrong constructor at the call site.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace batchaugmentor::bindings {

class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* object) { return PyRef(object); }
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace batchaugmentor::bindings
