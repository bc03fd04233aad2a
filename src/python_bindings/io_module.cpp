// batchaugmentor_io: the decoding functions, a second module of the same
// shared object as batchaugmentor, so that both run on the one worker pool
// (and its fork handling) of the one loaded library. batchaugmentor_io.py,
// installed beside the library, initialises it from batchaugmentor's file.
//
// Both functions decode in the one result flow: a header pass on the
// workers finds each result's shape, the arrays are made on this thread
// (presized_batch), and the workers decode straight into them.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/buffer.h"
#include "common/cancel.h"
#include "decoding/decode.h"
#include "fitting/fit.h"
#include "loading/batch_load.h"
#include "python_bindings/arguments.h"
#include "python_bindings/batch.h"
#include "python_bindings/errors.h"
#include "python_bindings/loading_batch.h"
#include "python_bindings/presized.h"
#include "python_bindings/py_ref.h"
#include "python_bindings/results.h"

namespace batchaugmentor::bindings {
namespace {

constexpr const char* kOptionNames[] = {"mode", "min_size", "apply_exif", "max_pixels", "errors", "size", "fit"};
constexpr std::size_t kOptionCount = sizeof(kOptionNames) / sizeof(kOptionNames[0]);

struct IoOptions {
  decoding::DecodeOptions decode;
  Refusals refusals = Refusals::kNone;
  bool fitted = false;  // size given: each result is resized to `target`
  fitting::FitTarget target;
};

// Binds (first, *, mode=..., min_size=..., apply_exif=..., max_pixels=...,
// errors=...): `first` and the options given, borrowed; null when absent.
PyStatus bind_io(const char* function, const char* first_name, PyObject* args, PyObject* kwargs,
                 PyObject** first, PyObject* (&options)[kOptionCount]) {
  const Py_ssize_t positional = PyTuple_Size(args);
  if (positional < 0) return PyError::fetch();
  if (positional > 1) {
    return PyError::make(PyExc_TypeError, std::string(function) + "() takes 1 positional argument but " +
                                              std::to_string(positional) + " were given");
  }
  *first = positional == 1 ? PyTuple_GetItem(args, 0) : nullptr;
  for (PyObject*& o : options) o = nullptr;
  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t at = 0;
    while (PyDict_Next(kwargs, &at, &key, &value)) {
      if (!PyUnicode_Check(key)) return PyError::make(PyExc_TypeError, "keywords must be strings");
      const char* name = PyUnicode_AsUTF8AndSize(key, nullptr);
      if (name == nullptr) return PyError::fetch();
      if (std::strcmp(name, first_name) == 0) {
        if (*first != nullptr) {
          return PyError::make(PyExc_TypeError, std::string(function) + "() got multiple values for argument '" +
                                                    first_name + "'");
        }
        *first = value;
        continue;
      }
      std::size_t k = 0;
      while (k < kOptionCount && std::strcmp(name, kOptionNames[k]) != 0) ++k;
      if (k == kOptionCount) {
        return PyError::make(PyExc_TypeError,
                             std::string(function) + "() got an unexpected keyword argument '" + name + "'");
      }
      options[k] = value;
    }
  }
  if (*first == nullptr) {
    return PyError::make(PyExc_TypeError, std::string(function) + "() missing 1 required positional argument: '" +
                                              first_name + "'");
  }
  return Done{};
}

// The text of a str option, or a TypeError naming it.
PyResult<std::string> option_text(PyObject* value, const char* name, const char* choices) {
  if (!PyUnicode_Check(value)) {
    return PyError::make(PyExc_TypeError, std::string(name) + " must be " + choices + ", not '" +
                                              type_qualname(value) + "'");
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) return PyError::fetch();
  return std::string(text, static_cast<std::size_t>(size));
}

struct Sides {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// A (width, height) option of two 32-bit sides, or the error naming it.
PyResult<Sides> size_option(PyObject* value, const char* name) {
  if (!PyTuple_Check(value) || PyTuple_Size(value) != 2) {
    return PyError::make(PyExc_TypeError, std::string(name) + " must be None or a (width, height) tuple, not '" +
                                              type_qualname(value) + "'");
  }
  auto w = to_u32(PyTuple_GetItem(value, 0));
  if (!w) return argument_error(name, std::move(w).error());
  auto h = to_u32(PyTuple_GetItem(value, 1));
  if (!h) return argument_error(name, std::move(h).error());
  return Sides{*w, *h};
}

PyResult<IoOptions> convert_options(PyObject* const (&given)[kOptionCount]) {
  IoOptions o;
  if (PyObject* v = given[0]) {
    auto text = option_text(v, "mode", "'RGB', 'L' or 'RGBA'");
    if (!text) return std::move(text).error();
    if (*text == "RGB") {
      o.decode.mode = decoding::Mode::kRgb;
    } else if (*text == "L") {
      o.decode.mode = decoding::Mode::kL;
    } else if (*text == "RGBA") {
      o.decode.mode = decoding::Mode::kRgba;
    } else {
      return PyError::make(PyExc_ValueError, "mode must be 'RGB', 'L' or 'RGBA', not '" + *text + "'");
    }
  }
  if (PyObject* v = given[1]; v != nullptr && v != Py_None) {
    auto sides = size_option(v, "min_size");
    if (!sides) return std::move(sides).error();
    o.decode.reduce = true;
    o.decode.min_width = sides->width;
    o.decode.min_height = sides->height;
  }
  if (PyObject* v = given[2]) {
    if (!PyBool_Check(v)) {
      return PyError::make(PyExc_TypeError, "apply_exif must be True or False, not '" + type_qualname(v) + "'");
    }
    o.decode.apply_exif = v == Py_True;
  }
  if (PyObject* v = given[3]) {
    if (v == Py_None) {
      o.decode.max_pixels = UINT64_MAX;
    } else {
      if (PyBool_Check(v) || !PyLong_Check(v)) {
        return PyError::make(PyExc_TypeError, "max_pixels must be None or an int, not '" + type_qualname(v) + "'");
      }
      auto n = to_u64(v);
      if (!n) return argument_error("max_pixels", std::move(n).error());
      if (*n == 0) return PyError::make(PyExc_ValueError, "max_pixels must be at least 1");
      o.decode.max_pixels = *n;
    }
  }
  if (PyObject* v = given[4]) {
    auto text = option_text(v, "errors", "'none' or 'raise'");
    if (!text) return std::move(text).error();
    if (*text == "none") {
      o.refusals = Refusals::kNone;
    } else if (*text == "raise") {
      o.refusals = Refusals::kRaise;
    } else {
      return PyError::make(PyExc_ValueError, "errors must be 'none' or 'raise', not '" + *text + "'");
    }
  }
  if (PyObject* v = given[5]; v != nullptr && v != Py_None) {
    auto sides = size_option(v, "size");
    if (!sides) return std::move(sides).error();
    if (sides->width == 0 || sides->height == 0) {
      return PyError::make(PyExc_ValueError, "size must have sides of at least 1");
    }
    if (o.decode.mode != decoding::Mode::kRgb) return PyError::make(PyExc_ValueError, "size needs mode='RGB'");
    o.fitted = true;
    o.target.width = sides->width;
    o.target.height = sides->height;
  }
  if (PyObject* v = given[6]) {
    auto text = option_text(v, "fit", "'stretch' or 'crop'");
    if (!text) return std::move(text).error();
    if (*text == "stretch") {
      o.target.fit = fitting::Fit::kStretch;
    } else if (*text == "crop") {
      o.target.fit = fitting::Fit::kCrop;
    } else {
      return PyError::make(PyExc_ValueError, "fit must be 'stretch' or 'crop', not '" + *text + "'");
    }
    if (!o.fitted) return PyError::make(PyExc_ValueError, "fit needs size");
  }
  return o;
}

// What item i of a batch is: content, None (passes through) or a file
// that could not be read.
enum class Source { kContent, kNone, kUnreadable };

struct Item {
  Source source = Source::kNone;
  decoding::Content content;
};

// The header pass on the workers, then the arrays, then the decoding into
// them. item_at(i) must be callable from any thread.
template <class ItemAt>
PyResult<PyRef> decode_all(std::size_t count, ItemAt item_at, const IoOptions& options, BatchKind kind) {
  std::vector<Outcome<decoding::ImageInfo>> headers;
  {
    CancelFlag cancel;
    auto found = run_batch(
        count,
        [&](std::size_t i) -> Outcome<decoding::ImageInfo> {
          const Item item = item_at(i);
          if (item.source == Source::kUnreadable) return OperationError::refused("the file cannot be read");
          if (item.source == Source::kNone) return OperationError::refused("");  // never reported
          return decoding::read_header(item.content, options.decode);
        },
        cancel);
    if (!found) return std::move(found).error();
    headers = found.take();
  }
  return presized_batch<3>(
      count,
      [&](std::size_t i) {
        if (!headers[i].ok()) return ResultShape<3>{{}, false, false};
        if (options.fitted) {
          return ResultShape<3>{{static_cast<Py_intptr_t>(options.target.height),
                                 static_cast<Py_intptr_t>(options.target.width), 3}};
        }
        const decoding::ImageInfo& info = headers[i].value();
        return ResultShape<3>{{static_cast<Py_intptr_t>(info.height), static_cast<Py_intptr_t>(info.width),
                               static_cast<Py_intptr_t>(info.channels)}};
      },
      [&](std::size_t i, std::uint8_t* destination) -> Outcome<> {
        const Item item = item_at(i);
        if (item.source == Source::kNone) return Done{};  // no array: None
        if (!headers[i].ok()) return headers[i].error();
        if (destination == nullptr) return OperationError::out_of_memory();
        if (options.fitted) {
          return fitting::decode_fitted(item.content, headers[i].value(), options.decode, options.target,
                                        destination);
        }
        return decoding::decode_into(item.content, headers[i].value(), options.decode, destination);
      },
      // No large pages: a decoder writes each result once, front to back,
      // and MADV_HUGEPAGE makes faults compact memory synchronously, which
      // after other allocators' churn (Pillow's, in a mixed pipeline) cost
      // more than the small faults it saves.
      kind, options.refusals, /*large_pages=*/false);
}

PyObject* decode_image_batch(PyObject*, PyObject* args, PyObject* kwargs) {
  return run("Decoding failed", [&]() -> PyResult<PyRef> {
    PyObject* first = nullptr;
    PyObject* given[kOptionCount];
    if (PyStatus bound = bind_io("decode_image_batch", "contents", args, kwargs, &first, given); !bound) {
      return std::move(bound).error();
    }
    auto options = convert_options(given);
    if (!options) return std::move(options).error();
    auto contents = extract_content_list(first, "contents");
    if (!contents) return std::move(contents).error();
    const auto& spans = contents->spans;
    return decode_all(
        spans.size(),
        [&](std::size_t i) {
          const ByteSpan& s = spans[i];
          return s.none ? Item{Source::kNone, {}} : Item{Source::kContent, {s.data, s.size}};
        },
        *options, BatchKind::kDecode);
  });
}

// The loader's homes for read_image_batch: plain memory of this module,
// never a Python object, kept until the call ends.
class NativeHomes {
 public:
  explicit NativeHomes(std::size_t count) : first_(count), second_(count), ok_(count, 0) {}

  std::uint8_t* make(std::size_t i, std::uint64_t size) {
    if (size > SIZE_MAX) return nullptr;
    auto made = OwnedBuffer::allocate(static_cast<std::size_t>(size));
    if (!made.ok()) return nullptr;
    OwnedBuffer& home = first_[i].data() == nullptr ? first_[i] : second_[i];
    home = std::move(made).value();
    return home.data();
  }

  void finish(std::size_t i, bool ok) {
    if (ok && second_[i].data() != nullptr) first_[i] = std::move(second_[i]);
    second_[i] = OwnedBuffer();
    if (!ok) first_[i] = OwnedBuffer();
    ok_[i] = ok ? 1 : 0;
  }

  Item item(std::size_t i) const {
    if (!ok_[i]) return Item{Source::kUnreadable, {}};
    return Item{Source::kContent, {first_[i].data(), first_[i].size()}};
  }

 private:
  std::vector<OwnedBuffer> first_;
  std::vector<OwnedBuffer> second_;
  std::vector<char> ok_;
};

PyObject* read_image_batch(PyObject*, PyObject* args, PyObject* kwargs) {
  return run("Image reading failed", [&]() -> PyResult<PyRef> {
    PyObject* first = nullptr;
    PyObject* given[kOptionCount];
    if (PyStatus bound = bind_io("read_image_batch", "paths", args, kwargs, &first, given); !bound) {
      return std::move(bound).error();
    }
    auto options = convert_options(given);
    if (!options) return std::move(options).error();
    auto paths = extract_path_list(first, "paths");
    if (!paths) return std::move(paths).error();
    NativeHomes homes(paths->size());
    if (PyStatus read = load_paths(*paths, loading::ContentHomes(homes)); !read) return std::move(read).error();
    return decode_all(paths->size(), [&](std::size_t i) { return homes.item(i); }, *options,
                      BatchKind::kReadImages);
  });
}

#define BA_IO_FUNCTION(name, params) \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(name)), \
   METH_VARARGS | METH_KEYWORDS, #name "(" params ")\n--\n\n"}

// Static: the function objects keep pointers into this table for good.
PyMethodDef kIoFunctions[] = {
    BA_IO_FUNCTION(decode_image_batch,
                   "contents, *, mode='RGB', min_size=None, apply_exif=True, max_pixels=178956970, errors='none', "
                   "size=None, fit='stretch'"),
    BA_IO_FUNCTION(read_image_batch,
                   "paths, *, mode='RGB', min_size=None, apply_exif=True, max_pixels=178956970, errors='none', "
                   "size=None, fit='stretch'"),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kIoModuleDef = {
    PyModuleDef_HEAD_INIT, "batchaugmentor_io", "", 0, kIoFunctions, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> g_io_owner_interpreter{-1};
PyObject* g_io_module = nullptr;  // read and written only with the interpreter lock

PyObject* initialise_io() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  std::int64_t expected = -1;
  if (!g_io_owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError, "batchaugmentor_io does not support subinterpreters");
    return nullptr;
  }
  if (g_io_module != nullptr) return PyRef::borrow(g_io_module).release();
  PyRef module = PyRef::steal(PyModule_Create2(&kIoModuleDef, 3));
  if (!module) return nullptr;
  PyRef all = PyRef::steal(Py_BuildValue("[ss]", "decode_image_batch", "read_image_batch"));
  if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) != 0) return nullptr;
  if (g_io_module == nullptr) g_io_module = module.release();
  return PyRef::borrow(g_io_module).release();
}

}  // namespace
}  // namespace batchaugmentor::bindings

PyMODINIT_FUNC PyInit_batchaugmentor_io(void) {
  // A C boundary like the functions': nothing may unwind into the importer.
  try {
    return batchaugmentor::bindings::initialise_io();
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
    PyErr_SetString(PyExc_MemoryError, "batchaugmentor_io: not enough memory to initialise the module");
    return nullptr;
  } catch (...) {
    batchaugmentor::fault("unexpected C++ exception while initialising batchaugmentor_io");
  }
}
