#include "python_bindings/errors.h"

namespace batchaugmentor::bindings {

namespace {

bool is_bare_memory_error(PyObject* raised) {
  if (!PyErr_GivenExceptionMatches(raised, PyExc_MemoryError)) return false;
  PyRef args = PyRef::steal(PyException_GetArgs(raised));
  return !args || (PyTuple_Check(args.get()) && PyTuple_Size(args.get()) == 0);
}

}  // namespace

PyError PyError::fetch() {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) {
    return make(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  PyRef held = PyRef::steal(raised);
  if (is_bare_memory_error(held.get())) return no_memory();
  return PyError(std::move(held));
}

PyError PyError::no_memory(const char* detail) {
  PyError error{PyRef()};
  error.detail_ = detail;
  return error;
}

PyError PyError::make(PyObject* type, std::string_view message) {
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(),
                                                        static_cast<Py_ssize_t>(message.size())));
  if (!text) return fetch();
  return make(type, std::move(text));
}

PyError PyError::make(PyObject* type, PyRef message) {
  // Let the interpreter build (normalise) the instance, then hold it.
  PyErr_SetObject(type, message.get());
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return make(PyExc_SystemError, "attempted to fetch exception but none was set");
  return PyError(PyRef::steal(raised));
}

void PyError::restore(const char* prefix) && {
  if (exception_) {
    PyErr_SetRaisedException(exception_.release());
    return;
  }
  // Built without any C++ allocation, since it answers one that failed; if
  // even the message cannot be made, the interpreter's own MemoryError stands.
  PyRef message = PyRef::steal(PyUnicode_FromFormat("%s: not enough memory%s", prefix, detail_));
  if (message) PyErr_SetObject(PyExc_MemoryError, message.get());
}

std::string type_qualname(PyObject* object) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (name) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
      return std::string(utf8, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

PyError downcast_error(PyObject* object, std::string_view target) {
  std::string message = "'";
  message += type_qualname(object);
  message += "' object cannot be converted to '";
  message += target;
  message += "'";
  return PyError::make(PyExc_TypeError, message);
}

PyResult<PyRef> checked(PyObject* new_reference) {
  if (new_reference == nullptr) return PyError::fetch();
  return PyRef::steal(new_reference);
}

}  // namespace batchaugmentor::bindings
