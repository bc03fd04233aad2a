// The exception record of the bindings: an exception is held as an object
// until the exported function returns, and set on the interpreter only then.
// Holding it lets the function release borrows and drop objects (which may
// run arbitrary code) without an exception pending.
//
//   PyResult<PyRef> r = import("numpy");
//   if (!r) return std::move(r).error();             // pass it on
//   return PyError::make(PyExc_TypeError, "boom");    // or make one
//   ...
//   std::move(err).restore(); return nullptr;         // at the very end
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "common/outcome.h"
#include "python_bindings/py_ref.h"

namespace batchaugmentor::bindings {

class PyError {
 public:
  // The interpreter's pending exception, or SystemError "attempted to fetch
  // exception but none was set" when a call failed without setting one.
  static PyError fetch();
  static PyError make(PyObject* type, std::string_view message);
  // With a message that is already a str (it may hold text that has no
  // UTF-8 form, such as a lone surrogate).
  static PyError make(PyObject* type, PyRef message);

  // A MemoryError that the call's boundary words as "<the function's
  // prefix>: not enough memory<detail>" (detail: "" or " for the result").
  // Making one allocates nothing. fetch() turns the interpreter's own
  // MemoryError, which carries no reason, into one of these.
  static PyError no_memory(const char* detail = "");

  bool is_no_memory() const { return !exception_; }
  const char* no_memory_detail() const { return detail_; }
  PyObject* exception() const { return exception_.get(); }
  bool matches(PyObject* type) const {
    return is_no_memory() ? type == PyExc_MemoryError
                          : PyErr_GivenExceptionMatches(exception_.get(), type) != 0;
  }
  // Sets the exception on the interpreter; the caller then returns null.
  // A no_memory() error is worded with `prefix` (the function's).
  void restore(const char* prefix = "batchaugmentor") &&;

 private:
  explicit PyError(PyRef exception) : exception_(std::move(exception)) {}
  PyRef exception_;  // null: no_memory()
  const char* detail_ = "";
};

// A value or a held exception.
template <class T>
class PyResult {
 public:
  PyResult(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  PyResult(PyError error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
  explicit operator bool() const { return v_.index() == 0; }
  T& operator*() { return std::get<0>(v_); }
  T* operator->() { return &std::get<0>(v_); }
  T take() { return std::get<0>(std::move(v_)); }
  PyError error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, PyError> v_;
};

using PyStatus = PyResult<Done>;  // Done: the core's "it was done"

// The qualified name of the object's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* object);

// TypeError "'<qualname>' object cannot be converted to '<target>'".
PyError downcast_error(PyObject* object, std::string_view target);

// The result of a C-API call returning a new reference, or the held error.
PyResult<PyRef> checked(PyObject* new_reference);

}  // namespace batchaugmentor::bindings
