// NumPy's C interface, found at run time: no NumPy headers or library are
// needed to build the module, and one build serves NumPy 1.x and 2.x.
//
//   PyResult<const NumpyApi*> api = numpy_api();    // first call locates NumPy
//   if (api && (*api)->is_array(obj)) { RawArray* a = as_raw_array(obj); ... }
//
// The table address stays valid because one reference to its capsule is kept
// for the life of the process.
#pragma once

#include <cstddef>
#include <cstdint>

#include "python_bindings/errors.h"

namespace batchaugmentor::bindings {

// The leading fields of NumPy's array object, identical in 1.x and 2.x.
struct RawArray {
  PyObject head;
  char* data;
  int nd;
  Py_intptr_t* dimensions;
  Py_intptr_t* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

inline constexpr int kArrayFContiguous = 0x0002;
inline constexpr int kArrayWriteable = 0x0400;
inline constexpr int kTypeUint8 = 2;

inline RawArray* as_raw_array(PyObject* array) { return reinterpret_cast<RawArray*>(array); }

class NumpyApi {
 public:
  explicit NumpyApi(void** table) : table_(table) {}

  PyTypeObject* array_type() const;
  bool is_array(PyObject* object) const;
  // New reference to the descriptor of a type number, or null with an error.
  PyObject* descr_from_type(int type_number) const;
  // A new array that owns fresh memory, C order or (fortran) F order.
  // Steals `descr`.
  PyObject* new_from_descr(PyObject* descr, int nd, const Py_intptr_t* dims, bool fortran) const;
  bool equivalent_types(PyObject* a, PyObject* b) const;
  // Bytes per element of an array, read from its descriptor (the field moved
  // and widened in NumPy's feature version 18).
  std::size_t element_size(PyObject* array) const;

 private:
  void** table_;
  mutable unsigned feature_version_ = 0;  // read on first need
};

PyResult<const NumpyApi*> numpy_api();

// NumPy's multiarray module (numpy._core.multiarray or numpy.core.multiarray).
PyResult<PyRef> import_multiarray();

}  // namespace batchaugmentor::bindings
