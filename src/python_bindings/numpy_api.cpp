#include "python_bindings/numpy_api.h"

#include <string>

namespace batchaugmentor::bindings {
namespace {

// Positions in NumPy's published C-API table.
constexpr int kEntryArrayType = 2;
constexpr int kEntryDescrFromType = 45;
constexpr int kEntryNewFromDescr = 94;
constexpr int kEntryEquivTypes = 182;
constexpr int kEntryFeatureVersion = 211;

using DescrFromTypeFn = PyObject* (*)(int);
using NewFromDescrFn = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_intptr_t*,
                                     const Py_intptr_t*, void*, int, PyObject*);
using EquivTypesFn = unsigned char (*)(PyObject*, PyObject*);
using FeatureVersionFn = unsigned (*)();

// Filled once under the interpreter lock and kept until the process ends.
const char* g_core_module = nullptr;
NumpyApi* g_api = nullptr;

PyResult<PyRef> import_module(const char* name) {
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text) return PyError::fetch();
  return checked(PyImport_Import(text.get()));
}

PyResult<PyRef> get_attr(PyObject* object, const char* name) {
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text) return PyError::fetch();
  return checked(PyObject_GetAttr(object, text.get()));
}

// "numpy._core" for NumPy 2 and later, "numpy.core" before: NumPy 2 keeps
// numpy.core only as a shim that warns on access.
PyResult<const char*> core_module_name() {
  if (g_core_module != nullptr) return g_core_module;
  auto numpy = import_module("numpy");
  if (!numpy) return std::move(numpy).error();
  auto version = get_attr(numpy->get(), "__version__");
  if (!version) return std::move(version).error();
  auto lib = import_module("numpy.lib");
  if (!lib) return std::move(lib).error();
  auto parser = get_attr(lib->get(), "NumpyVersion");
  if (!parser) return std::move(parser).error();
  PyRef call_args = PyRef::steal(PyTuple_New(1));
  if (!call_args) return PyError::fetch();
  if (PyTuple_SetItem(call_args.get(), 0, version->release()) != 0) return PyError::fetch();
  auto parsed = checked(PyObject_Call(parser->get(), call_args.get(), nullptr));
  if (!parsed) return std::move(parsed).error();
  auto major_obj = get_attr(parsed->get(), "major");
  if (!major_obj) return std::move(major_obj).error();
  long major = PyLong_AsLong(major_obj->get());
  if (major == -1 && PyErr_Occurred()) return PyError::fetch();
  if (major < 0 || major > 255) {
    return PyError::make(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  g_core_module = major >= 2 ? "numpy._core" : "numpy.core";
  return g_core_module;
}

PyResult<PyRef> capsule_attr(PyObject* module, const char* name) {
  auto attr = get_attr(module, name);
  if (!attr) return std::move(attr).error();
  if (!PyCapsule_CheckExact(attr->get())) return downcast_error(attr->get(), "PyCapsule");
  return attr;
}

}  // namespace

PyTypeObject* NumpyApi::array_type() const {
  return static_cast<PyTypeObject*>(table_[kEntryArrayType]);
}

bool NumpyApi::is_array(PyObject* object) const {
  PyTypeObject* type = Py_TYPE(object);
  return type == array_type() || PyType_IsSubtype(type, array_type());
}

PyObject* NumpyApi::descr_from_type(int type_number) const {
  return reinterpret_cast<DescrFromTypeFn>(table_[kEntryDescrFromType])(type_number);
}

PyObject* NumpyApi::new_from_descr(PyObject* descr, int nd, const Py_intptr_t* dims,
                                   bool fortran) const {
  return reinterpret_cast<NewFromDescrFn>(table_[kEntryNewFromDescr])(
      array_type(), descr, nd, dims, nullptr, nullptr, fortran ? kArrayFContiguous : 0, nullptr);
}

bool NumpyApi::equivalent_types(PyObject* a, PyObject* b) const {
  return reinterpret_cast<EquivTypesFn>(table_[kEntryEquivTypes])(a, b) != 0;
}

std::size_t NumpyApi::element_size(PyObject* array) const {
  if (feature_version_ == 0) {
    feature_version_ = reinterpret_cast<FeatureVersionFn>(table_[kEntryFeatureVersion])();
  }
  const char* descr = reinterpret_cast<const char*>(as_raw_array(array)->descr);
  // Descriptor layout: header, type object, four chars, int type number, then
  // (from feature version 18) 64-bit flags and an intp element size, or
  // (before) an int element size.
  constexpr std::size_t kHeader = sizeof(PyObject) + sizeof(void*) + 4 + sizeof(int);
  if (feature_version_ >= 18) {
    return static_cast<std::size_t>(*reinterpret_cast<const Py_intptr_t*>(descr + kHeader + 8));
  }
  return static_cast<std::size_t>(*reinterpret_cast<const int*>(descr + kHeader));
}

PyResult<PyRef> import_multiarray() {
  auto core = core_module_name();
  if (!core) return std::move(core).error();
  std::string name = *core;
  name += ".multiarray";
  return import_module(name.c_str());
}

PyResult<const NumpyApi*> numpy_api() {
  if (g_api != nullptr) return static_cast<const NumpyApi*>(g_api);
  auto multiarray = import_multiarray();
  if (!multiarray) return std::move(multiarray).error();
  auto capsule = capsule_attr(multiarray->get(), "_ARRAY_API");
  if (!capsule) return std::move(capsule).error();
  const char* name = PyCapsule_GetName(capsule->get());
  if (name == nullptr && PyErr_Occurred()) return PyError::fetch();
  void* table = PyCapsule_GetPointer(capsule->get(), name);
  if (table == nullptr) return PyError::fetch();
  // The capsule reference is kept for good so that the table stays valid.
  capsule->release();
  g_api = new NumpyApi(static_cast<void**>(table));
  return static_cast<const NumpyApi*>(g_api);
}

}  // namespace batchaugmentor::bindings
