#include "python_bindings/arguments.h"

#include <algorithm>
#include <cstring>

namespace batchaugmentor::bindings {
namespace {

// The descriptor's type number sits after the header, the type object and
// four one-byte fields in every NumPy version.
int type_number(PyObject* array) {
  const char* descr = reinterpret_cast<const char*>(as_raw_array(array)->descr);
  return *reinterpret_cast<const int*>(descr + sizeof(PyObject) + sizeof(void*) + 4);
}

std::string quoted_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    text += "'";
    text += names[i];
    text += "'";
  }
  return text;
}

// What a walk collects goes into ChunkedLists, so that no step between two
// signal checks grows with the walk.

// Iterates a list-like argument with the iteration protocol (not by index,
// and never trusting the length it reports), calling `each` per element;
// the first failure ends the walk.
template <class Each>
PyStatus for_each_element(PyObject* object, Each each) {
  if (PyUnicode_Check(object)) return PyError::make(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) return downcast_error(object, "Sequence");
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return PyError::fetch();
  for (std::size_t n = 1;; ++n) {
    PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
    if (!item) break;
    PyStatus status = each(item.get());
    if (!status) return status;
    if (n % kSignalCheckEvery == 0 && PyErr_CheckSignals() != 0) return PyError::fetch();
  }
  if (PyErr_Occurred()) return PyError::fetch();
  return Done{};
}

template <class T>
PyResult<T> finish(PyStatus status, T value, const char* parameter) {
  if (!status) return argument_error(parameter, std::move(status).error());
  return value;
}

PyObject* g_u8_descr = nullptr;  // kept for the life of the process

template <std::size_t D>
PyResult<ArrayList<D>> extract_arrays(PyObject* object, const char* parameter) {
  ArrayList<D> list;
  PyStatus status = for_each_element(
      object,
      [&](PyObject* element) -> PyStatus {
        auto api = numpy_api();
        if (!api) return std::move(api).error();
        const NumpyApi& numpy = **api;
        if (!numpy.is_array(element) || as_raw_array(element)->nd != static_cast<int>(D)) {
          return downcast_error(element, "PyArray<T, D>");
        }
        if (type_number(element) != kTypeUint8) {
          if (g_u8_descr == nullptr) {
            g_u8_descr = numpy.descr_from_type(kTypeUint8);
            if (g_u8_descr == nullptr) return PyError::fetch();
          }
          if (!numpy.equivalent_types(as_raw_array(element)->descr, g_u8_descr)) {
            return downcast_error(element, "PyArray<T, D>");
          }
        }
        if (list.holds.empty() || !list.holds.back().covers(numpy, element)) {
          auto hold = hold_array(numpy, element, parameter);
          if (!hold) return std::move(hold).error();
          list.holds.push_back(hold.take());
        }
        RawArray* raw = as_raw_array(element);
        ArrayView<D> view;
        view.data = reinterpret_cast<const std::uint8_t*>(raw->data);
        for (std::size_t i = 0; i < D; ++i) {
          view.shape[i] = static_cast<std::size_t>(raw->dimensions[i]);
          view.strides[i] = static_cast<std::ptrdiff_t>(raw->strides[i]);
        }
        list.views.push_back(view);
        return Done{};
      });
  return finish(std::move(status), std::move(list), parameter);
}

template <std::size_t N>
PyStatus unpack_tuple(PyObject* element, bool narrow, std::array<std::uint64_t, N>* out) {
  if (!PyTuple_Check(element)) return downcast_error(element, "PyTuple");
  Py_ssize_t size = PyTuple_Size(element);
  if (size < 0) return PyError::fetch();
  if (static_cast<std::size_t>(size) != N) {
    return PyError::make(PyExc_ValueError, "expected tuple of length " + std::to_string(N) +
                                               ", but got tuple of length " + std::to_string(size));
  }
  for (std::size_t i = 0; i < N; ++i) {
    PyObject* item = PyTuple_GetItem(element, static_cast<Py_ssize_t>(i));
    if (item == nullptr) return PyError::fetch();
    if (narrow) {
      auto value = to_u32(item);
      if (!value) return std::move(value).error();
      (*out)[i] = *value;
    } else {
      auto value = to_u64(item);
      if (!value) return std::move(value).error();
      (*out)[i] = *value;
    }
  }
  return Done{};
}

}  // namespace

PyResult<std::vector<PyObject*>> bind_arguments(const FunctionSignature& signature, PyObject* args,
                                                PyObject* kwargs) {
  const std::size_t p = signature.parameters.size();
  std::vector<PyObject*> slots(p, nullptr);
  Py_ssize_t positional = args == nullptr ? 0 : PyTuple_Size(args);
  if (positional < 0) return PyError::fetch();
  const std::size_t n = static_cast<std::size_t>(positional);
  for (std::size_t i = 0; i < n && i < p; ++i) {
    slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    if (slots[i] == nullptr) return PyError::fetch();
  }
  const std::string prefix = std::string(signature.name) + "()";
  if (n > p) {
    return PyError::make(PyExc_TypeError, prefix + " takes " + std::to_string(p) +
                                              " positional arguments but " + std::to_string(n) +
                                              (n == 1 ? " was" : " were") + " given");
  }
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      std::size_t match = p;
      if (PyUnicode_Check(key)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
        if (utf8 == nullptr) {
          PyErr_Clear();
        } else {
          for (std::size_t i = 0; i < p; ++i) {
            if (std::strlen(signature.parameters[i]) == static_cast<std::size_t>(size) &&
                std::memcmp(signature.parameters[i], utf8, static_cast<std::size_t>(size)) == 0) {
              match = i;
              break;
            }
          }
        }
      }
      if (match == p) {
        // Formatted by the interpreter: the key's str() may have no UTF-8
        // form (a lone surrogate) and is quoted as it is all the same.
        PyRef message = PyRef::steal(PyUnicode_FromFormat(
            "%s() got an unexpected keyword argument '%S'", signature.name, key));
        if (message) return PyError::make(PyExc_TypeError, std::move(message));
        PyErr_Clear();  // str() itself failed
        return PyError::make(PyExc_TypeError,
                             prefix + " got an unexpected keyword argument '<unprintable>'");
      }
      if (slots[match] != nullptr) {
        return PyError::make(PyExc_TypeError, prefix + " got multiple values for argument '" +
                                                  signature.parameters[match] + "'");
      }
      slots[match] = value;
    }
  }
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < p; ++i) {
    if (slots[i] == nullptr) missing.push_back(signature.parameters[i]);
  }
  if (!missing.empty()) {
    return PyError::make(PyExc_TypeError, prefix + " missing " + std::to_string(missing.size()) +
                                              " required positional " +
                                              (missing.size() == 1 ? "argument" : "arguments") +
                                              ": " + quoted_list(missing));
  }
  return slots;
}

PyError argument_error(const char* parameter, PyError error) {
  PyObject* caught = error.exception();
  if (caught == nullptr || Py_TYPE(caught) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return error;
  // The interpreter formats the text, so a message without a UTF-8 form
  // (a lone surrogate) is carried over as it is.
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", parameter, caught));
  if (!message) {
    PyErr_Clear();  // str() of the caught error failed
    // Only an exact TypeError gets here.
    message = PyRef::steal(PyUnicode_FromFormat("argument '%s': <unprintable TypeError object>", parameter));
    if (!message) return PyError::fetch();
  }
  PyError wrapped = PyError::make(PyExc_TypeError, std::move(message));
  // The new error keeps the original's cause, not the original itself.
  if (PyObject* cause = PyException_GetCause(caught)) {
    PyException_SetCause(wrapped.exception(), cause);  // steals the new reference
  }
  return wrapped;
}

PyResult<ArrayList<3>> extract_image_list(PyObject* object, const char* parameter) {
  return extract_arrays<3>(object, parameter);
}

PyResult<ArrayList<4>> extract_video_list(PyObject* object, const char* parameter) {
  return extract_arrays<4>(object, parameter);
}

PyResult<ChunkedList<CropBox>> extract_crop_boxes(PyObject* object, const char* parameter) {
  ChunkedList<CropBox> boxes;
  PyStatus status = for_each_element(
      object,
      [&](PyObject* element) -> PyStatus {
        std::array<std::uint64_t, 4> v{};
        PyStatus s = unpack_tuple(element, false, &v);
        if (s) boxes.push_back(CropBox{v[0], v[1], v[2], v[3]});
        return s;
      });
  return finish(std::move(status), std::move(boxes), parameter);
}

PyResult<ChunkedList<TargetSize>> extract_target_sizes(PyObject* object, const char* parameter,
                                                       int field_bits) {
  ChunkedList<TargetSize> sizes;
  PyStatus status = for_each_element(
      object,
      [&](PyObject* element) -> PyStatus {
        std::array<std::uint64_t, 2> v{};
        PyStatus s = unpack_tuple(element, field_bits == 32, &v);
        if (s) sizes.push_back(TargetSize{v[0], v[1]});
        return s;
      });
  return finish(std::move(status), std::move(sizes), parameter);
}

PyResult<ChunkedList<std::string>> extract_path_list(PyObject* object, const char* parameter) {
  ChunkedList<std::string> paths;
  PyStatus status = for_each_element(
      object,
      [&](PyObject* element) -> PyStatus {
        if (!PyUnicode_Check(element)) return downcast_error(element, "PyString");
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(element, &size);
        if (utf8 == nullptr) return PyError::fetch();
        paths.push_back(std::string(utf8, static_cast<std::size_t>(size)));
        return Done{};
      });
  return finish(std::move(status), std::move(paths), parameter);
}

bool BufferHold::take(PyObject* object) {
  if (PyObject_GetBuffer(object, &view_, PyBUF_ND | PyBUF_FORMAT) != 0) return false;
  held_ = true;
  const char* format = view_.format;
  const bool bytes = format == nullptr || std::strcmp(format, "B") == 0 || std::strcmp(format, "b") == 0 ||
                     std::strcmp(format, "c") == 0;
  return view_.itemsize == 1 && view_.ndim <= 1 && bytes;
}

PyResult<ContentList> extract_content_list(PyObject* object, const char* parameter) {
  ContentList list;
  PyStatus status = for_each_element(object, [&](PyObject* element) -> PyStatus {
    if (element == Py_None) {
      list.spans.push_back(ByteSpan{nullptr, 0, true});
      return Done{};
    }
    list.holds.emplace_back();
    if (!list.holds.back().take(element)) {
      if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_MemoryError)) return PyError::fetch();
      PyErr_Clear();
      list.holds.pop_back();
      std::string message = "expected bytes, bytearray, memoryview, a contiguous 1-D uint8 array or None, not '";
      message += type_qualname(element);
      message += "'";
      return PyError::make(PyExc_TypeError, message);
    }
    const Py_buffer& view = list.holds.back().view();
    list.spans.push_back(ByteSpan{static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len), false});
    return Done{};
  });
  return finish(std::move(status), std::move(list), parameter);
}

PyResult<std::uint64_t> to_u64(PyObject* object) {
  PyRef index;
  if (!PyLong_Check(object)) {
    index = PyRef::steal(PyNumber_Index(object));
    if (!index) return PyError::fetch();
    object = index.get();
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return PyError::fetch();
  return static_cast<std::uint64_t>(value);
}

PyResult<std::uint32_t> to_u32(PyObject* object) {
  auto value = to_u64(object);
  if (!value) return std::move(value).error();
  if (*value > UINT32_MAX) {
    return PyError::make(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<std::uint32_t>(*value);
}

}  // namespace batchaugmentor::bindings
