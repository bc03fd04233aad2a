// The module object and its seven functions. Each function binds and
// converts its arguments on the calling thread, runs the batch on the worker
// pool with the interpreter lock held, and converts the outcomes in input
// order. Exceptions are held until the very end, so borrows and objects are
// released with no exception pending.
//
// Each function body runs inside run() (python_bindings/presized.h), the
// one C boundary of the module.
//
// While a batch runs, the calling thread wakes every 50 ms to run pending
// signal handlers. When one raises (Ctrl-C: KeyboardInterrupt), no further
// item starts, running items finish, and the exception is raised once
// everything the call made or borrowed is released.
#include <algorithm>
#include <exception>
#include <atomic>
#include <cstring>
#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "common/cancel.h"
#include "cropping/crop.h"
#include "luminance/luminance.h"
#include "common/fault.h"
#include "parallel/map.h"
#include "python_bindings/arguments.h"
#include "python_bindings/batch.h"
#include "python_bindings/errors.h"
#include "platform/large_pages.h"
#include "python_bindings/loading_batch.h"
#include "python_bindings/numpy_api.h"
#include "python_bindings/presized.h"
#include "python_bindings/py_ref.h"
#include "python_bindings/results.h"
#include "resampling/resample.h"
#include "resize/resize.h"

namespace batchaugmentor::bindings {
namespace {

const FunctionSignature kCropSignature{"batch_crop_images", {"images", "crop_boxes"}};
const FunctionSignature kCenterCropSignature{"batch_center_crop_images", {"images", "target_sizes"}};
const FunctionSignature kRandomCropSignature{"batch_random_crop_images", {"images", "target_sizes"}};
const FunctionSignature kResizeSignature{"batch_resize_images", {"images", "target_sizes"}};
const FunctionSignature kLuminanceSignature{"batch_calculate_luminance", {"images"}};
const FunctionSignature kVideoSignature{"batch_resize_videos", {"videos", "target_sizes"}};

ResultShape<3> crop_shape(const cropping::CropLayout& layout) {
  return {{static_cast<Py_intptr_t>(layout.height), static_cast<Py_intptr_t>(layout.width),
           static_cast<Py_intptr_t>(layout.channels)},
          layout.fortran};
}

// The three crops: images paired with a per-item box or size. `box_of`
// gives the item's box; it runs on the worker, where random crops draw.
template <class Second, class LayoutOf, class BoxOf>
PyResult<PyRef> crop_batch(const FunctionSignature& signature, PyObject* args, PyObject* kwargs,
                           PyResult<ChunkedList<Second>> (*extract_second)(PyObject*, const char*),
                           LayoutOf layout_of, BoxOf box_of, BatchKind kind) {
  auto slots = bind_arguments(signature, args, kwargs);
  if (!slots) return std::move(slots).error();
  auto images = extract_image_list((*slots)[0], signature.parameters[0]);
  if (!images) return std::move(images).error();
  auto second = extract_second((*slots)[1], signature.parameters[1]);
  if (!second) return std::move(second).error();
  const std::size_t count = std::min(images->views.size(), second->size());
  const auto& views = images->views;
  const auto& params = *second;
  std::vector<cropping::CropLayout> layouts(count);
  return presized_batch<3>(
      count,
      [&](std::size_t i) {
        auto layout = layout_of(views[i], params[i]);
        if (!layout) return ResultShape<3>{{}, false, false};
        layouts[i] = *layout;
        return crop_shape(*layout);
      },
      [&](std::size_t i, std::uint8_t* destination) {
        return cropping::crop_into(views[i], box_of(views[i], params[i]), layouts[i], destination);
      },
      kind);
}

// The layout of a crop to a target size; such a crop is never refused, since
// its box always fits.
std::optional<cropping::CropLayout> sized_layout(const ImageView& v, const TargetSize& t) {
  return cropping::crop_layout(v, std::min<std::uint64_t>(t.height, v.shape[0]),
                               std::min<std::uint64_t>(t.width, v.shape[1]));
}

PyResult<ChunkedList<TargetSize>> sizes64(PyObject* o, const char* p) { return extract_target_sizes(o, p, 64); }
PyResult<ChunkedList<TargetSize>> sizes32(PyObject* o, const char* p) { return extract_target_sizes(o, p, 32); }

PyObject* load_image_batch(PyObject*, PyObject* args, PyObject* kwargs) {
  return run("File loading failed", [&] { return load_image_batch_list(args, kwargs); });
}

PyObject* batch_crop_images(PyObject*, PyObject* args, PyObject* kwargs) {
  return run("Cropping failed", [&] {
    return crop_batch<CropBox>(
        kCropSignature, args, kwargs, extract_crop_boxes,
        [](const ImageView& v, const CropBox& box) -> std::optional<cropping::CropLayout> {
          // A box that would be refused gets no array.
          if (!cropping::check_crop_box(v, box).ok()) return std::nullopt;
          return cropping::crop_layout(v, box.height, box.width);
        },
        [](const ImageView&, const CropBox& box) { return box; }, BatchKind::kCrop);
  });
}

PyObject* batch_center_crop_images(PyObject*, PyObject* args, PyObject* kwargs) {
  return run("Center cropping failed", [&] {
    return crop_batch<TargetSize>(
        kCenterCropSignature, args, kwargs, sizes64, sized_layout,
        [](const ImageView& v, const TargetSize& t) { return cropping::center_crop_box(v.shape[0], v.shape[1], t); },
        BatchKind::kCenterCrop);
  });
}

PyObject* batch_random_crop_images(PyObject*, PyObject* args, PyObject* kwargs) {
  return run("Random cropping failed", [&] {
    return crop_batch<TargetSize>(
        kRandomCropSignature, args, kwargs, sizes64, sized_layout,
        [](const ImageView& v, const TargetSize& t) { return cropping::random_crop_box(v.shape[0], v.shape[1], t); },
        BatchKind::kRandomCrop);
  });
}

PyObject* batch_resize_images(PyObject*, PyObject* args, PyObject* kwargs) {
  return run("Resizing failed", [&]() -> PyResult<PyRef> {
    auto slots = bind_arguments(kResizeSignature, args, kwargs);
    if (!slots) return std::move(slots).error();
    auto images = extract_image_list((*slots)[0], "images");
    if (!images) return std::move(images).error();
    auto sizes = sizes32((*slots)[1], "target_sizes");
    if (!sizes) return std::move(sizes).error();
    const auto& views = images->views;
    const auto& targets = *sizes;
    return presized_batch<3>(
        std::min(views.size(), targets.size()),
        [&](std::size_t i) {
          return ResultShape<3>{{static_cast<Py_intptr_t>(targets[i].height),
                                 static_cast<Py_intptr_t>(targets[i].width), 3}};
        },
        [&](std::size_t i, std::uint8_t* destination) {
          return resize::resize_image(views[i], static_cast<std::uint32_t>(targets[i].width),
                                      static_cast<std::uint32_t>(targets[i].height), destination);
        },
        BatchKind::kResize);
  });
}

PyObject* batch_calculate_luminance(PyObject*, PyObject* args, PyObject* kwargs) {
  return run("Luminance calculation failed", [&]() -> PyResult<PyRef> {
    auto slots = bind_arguments(kLuminanceSignature, args, kwargs);
    if (!slots) return std::move(slots).error();
    std::vector<double> values;
    {
      auto images = extract_image_list((*slots)[0], "images");
      if (!images) return std::move(images).error();
      const auto& views = images->views;
      CancelFlag cancel;
      auto mapped = run_batch(views.size(), [&](std::size_t i) { return luminance::image_luminance(views[i]); }, cancel);
      if (!mapped) return std::move(mapped).error();
      values = mapped.take();
    }  // borrows released as soon as the numbers exist
    std::vector<PyRef> objects;
    objects.reserve(values.size());
    for (double v : values) {
      auto object = checked(PyFloat_FromDouble(v));
      if (!object) return object;
      objects.push_back(object.take());
    }
    return make_list(std::move(objects));
  });
}

PyObject* batch_resize_videos(PyObject*, PyObject* args, PyObject* kwargs) {
  return run("Video resizing failed", [&]() -> PyResult<PyRef> {
    auto slots = bind_arguments(kVideoSignature, args, kwargs);
    if (!slots) return std::move(slots).error();
    auto videos = extract_video_list((*slots)[0], "videos");
    if (!videos) return std::move(videos).error();
    auto sizes = sizes32((*slots)[1], "target_sizes");
    if (!sizes) return std::move(sizes).error();
    const auto& views = videos->views;
    const auto& targets = *sizes;
    return presized_batch<4>(
        std::min(views.size(), targets.size()),
        [&](std::size_t i) {
          return ResultShape<4>{{static_cast<Py_intptr_t>(views[i].shape[0]),
                                 static_cast<Py_intptr_t>(targets[i].height),
                                 static_cast<Py_intptr_t>(targets[i].width), 3}};
        },
        [&](std::size_t i, std::uint8_t* destination) {
          return resize::resize_video(views[i], static_cast<std::uint32_t>(targets[i].width),
                                      static_cast<std::uint32_t>(targets[i].height), destination);
        },
        BatchKind::kResizeVideo);
  });
}

#define BA_FUNCTION(name, params) \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(name)), \
   METH_VARARGS | METH_KEYWORDS, #name "(" params ")\n--\n\n"}

// Static: the function objects keep pointers into this table for good.
PyMethodDef kFunctions[] = {
    BA_FUNCTION(load_image_batch, "image_paths"),
    BA_FUNCTION(batch_crop_images, "images, crop_boxes"),
    BA_FUNCTION(batch_center_crop_images, "images, target_sizes"),
    BA_FUNCTION(batch_random_crop_images, "images, target_sizes"),
    BA_FUNCTION(batch_resize_images, "images, target_sizes"),
    BA_FUNCTION(batch_calculate_luminance, "images"),
    BA_FUNCTION(batch_resize_videos, "videos, target_sizes"),
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "batchaugmentor", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> g_owner_interpreter{-1};
PyObject* g_module_cell = nullptr;  // read and written only with the interpreter lock

PyStatus register_function(PyObject* module, PyMethodDef* def) {
  auto module_name = checked(PyModule_GetNameObject(module));
  if (!module_name) return std::move(module_name).error();
  auto function = checked(PyCMethod_New(def, module, module_name->get(), nullptr));
  if (!function) return std::move(function).error();
  PyRef name_attr = PyRef::steal(PyUnicode_FromString("__name__"));
  PyRef all_attr = PyRef::steal(PyUnicode_FromString("__all__"));
  if (!name_attr || !all_attr) return PyError::fetch();
  auto name = checked(PyObject_GetAttr(function->get(), name_attr.get()));
  if (!name) return std::move(name).error();
  if (!PyUnicode_Check(name->get())) return downcast_error(name->get(), "PyString");
  PyRef all = PyRef::steal(PyObject_GetAttr(module, all_attr.get()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PyError::fetch();
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all) return PyError::fetch();
    if (PyObject_SetAttr(module, all_attr.get(), all.get()) != 0) return PyError::fetch();
  } else if (!PyList_Check(all.get())) {
    return downcast_error(all.get(), "PyList");
  }
  if (PyList_Append(all.get(), name->get()) != 0) fault("could not append __name__ to __all__");
  if (PyObject_SetAttr(module, name->get(), function->get()) != 0) return PyError::fetch();
  return Done{};
}

PyObject* initialise() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    PyError::fetch().restore();
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!g_owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyError::make(PyExc_ImportError,
                  "PyO3 modules do not yet support subinterpreters, see "
                  "https://docs.python.org/3/howto/isolating-extensions.html")
        .restore();
    return nullptr;
  }
  if (g_module_cell != nullptr) return PyRef::borrow(g_module_cell).release();
  PyRef module = PyRef::steal(PyModule_Create2(&kModuleDef, 3));
  if (!module) return nullptr;
  for (PyMethodDef& def : kFunctions) {
    PyStatus status = register_function(module.get(), &def);
    if (!status) {
      module = PyRef();
      std::move(status).error().restore();
      return nullptr;
    }
  }
  // Registration may have re-entered the initialisation; the first stored
  // module wins.
  if (g_module_cell == nullptr) g_module_cell = module.release();
  return PyRef::borrow(g_module_cell).release();
}

}  // namespace
}  // namespace batchaugmentor::bindings

PyMODINIT_FUNC PyInit_batchaugmentor(void) {
  // A C boundary like the functions': nothing may unwind into the importer.
  try {
    return batchaugmentor::bindings::initialise();
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
    PyErr_SetString(PyExc_MemoryError, "batchaugmentor: not enough memory to initialise the module");
    return nullptr;
  } catch (...) {
    batchaugmentor::fault("unexpected C++ exception while initialising the module");
  }
}

// For tools and tests that ask which resampling path this process runs
// (docs/api.md): a plain C symbol, outside the module's namespace.
extern "C" __attribute__((visibility("default"))) const char* batchaugmentor_resample_path() noexcept {
  try {
    return batchaugmentor::resampling::selected_kernel().name;
  } catch (...) {
    return nullptr;
  }
}
