// The two pieces every module function of this shared object is built from
// (batchaugmentor's and batchaugmentor_io's):
//
//   return run("Cropping failed", [&]() -> PyResult<PyRef> { ... });   // the C boundary
//   return presized_batch<3>(n, shape_of, item, BatchKind::kCrop);      // the one result flow
//
// run() is the one C boundary of a function: no C++ exception crosses it. A
// container that cannot grow (bad_alloc, length_error) has by then released
// every borrow and object on its way out, and becomes a MemoryError with the
// function's prefix; anything else is an internal fault.
//
// presized_batch makes every result array first, on the calling thread, and
// the items write their pixels straight into them, once, on the workers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "common/cancel.h"
#include "common/fault.h"
#include "parallel/map.h"
#include "platform/large_pages.h"
#include "platform/pages.h"
#include "python_bindings/arguments.h"
#include "python_bindings/batch.h"
#include "python_bindings/errors.h"
#include "python_bindings/numpy_api.h"
#include "python_bindings/results.h"

namespace batchaugmentor::bindings {

template <class Body>
PyObject* run(const char* prefix, Body body) {
  // The C library allocates a thread's share of a shared library's
  // thread-local storage on first use and ends the process if it cannot;
  // using it here, before the call allocates anything, keeps that from
  // happening later inside the call (the C++ runtime's exception state,
  // and this module's own thread-local state).
  static_cast<void>(std::uncaught_exceptions());
  parallel::prepare_calling_thread();
  std::optional<PyError> error;
  try {
    PyResult<PyRef> result = body();
    if (result) return result->release();
    error.emplace(std::move(result).error());
  } catch (const std::bad_alloc&) {
    // Whatever the interrupted step had pending belongs to a step that no
    // longer happens.
    PyErr_Clear();
    error.emplace(PyError::no_memory());
  } catch (const std::length_error&) {
    PyErr_Clear();
    error.emplace(PyError::no_memory());
  } catch (...) {
    fault("unexpected C++ exception at the module boundary");
  }
  std::move(*error).restore(prefix);
  return nullptr;
}

// The shape and order of one result array, known before the batch runs.
template <std::size_t D>
struct ResultShape {
  std::array<Py_intptr_t, D> dims{};
  bool fortran = false;
  bool make = true;  // false: the item refuses before it would write
};

// What a refused item makes of the call: the first one in input order is
// raised, or each becomes None in the result list. Running out of memory,
// a cancelled batch and a system error are raised either way.
enum class Refusals { kRaise, kNone };

// large_pages: ask for large pages for the results where free ones are at
// hand (LargePageRequest); false: small pages only (see below).
//
// An array NumPy cannot make leaves a null destination, which the item
// reports as out-of-memory only once its own checks have passed, so the
// first failure in input order is still the one raised. An item whose shape
// says make = false gets no array; with Refusals::kNone it must still
// return (a refusal or Done): its slot is None either way.
template <std::size_t D, class ShapeOf, class Item>
PyResult<PyRef> presized_batch(std::size_t count, ShapeOf shape_of, Item item, BatchKind kind,
                               Refusals refusals = Refusals::kRaise, bool large_pages = true) {
  std::vector<PyRef> objects(count);
  std::vector<std::uint8_t*> targets(count, nullptr);
  std::vector<std::size_t> sizes(count, 0);
  if (count > 0) {
    auto api = numpy_api();
    if (!api) return std::move(api).error();
    for (std::size_t i = 0; i < count; ++i) {
      // Making a long batch's arrays takes a while too: Ctrl-C is answered
      // here as during the walks and the batch.
      if (i % kSignalCheckEvery == kSignalCheckEvery - 1 && PyErr_CheckSignals() != 0) return PyError::fetch();
      const ResultShape<D> shape = shape_of(i);
      if (!shape.make) continue;
      PyObject* descr = (*api)->descr_from_type(kTypeUint8);
      if (descr == nullptr) return PyError::fetch();
      PyObject* array = (*api)->new_from_descr(descr, static_cast<int>(D), shape.dims.data(), shape.fortran);
      if (array == nullptr) {
        PyErr_Clear();
        continue;
      }
      objects[i] = PyRef::steal(array);
      targets[i] = numpy_data(array);
      sizes[i] = 1;
      for (Py_intptr_t d : shape.dims) sizes[i] *= static_cast<std::size_t>(d);  // NumPy made it: no overflow
    }
  }
  // An enlarged photo's result (1280x960: 3.7 MB) filled in small pages
  // spends as long on page faults as on the resize itself.
  platform::LargePageRequest large(platform::kLargePage);
  if (large_pages) {
    for (std::size_t i = 0; i < count; ++i) large.add(targets[i], sizes[i]);
  } else {
    // NumPy asks for large pages for every big array it makes; where free
    // large pages are scarce, the first fault then stalls while the kernel
    // compacts memory. Small pages for these results instead.
    for (std::size_t i = 0; i < count; ++i) platform::ask_for_large_pages(targets[i], sizes[i], false);
  }
  CancelFlag cancel;
  auto outcomes = run_batch(count, [&](std::size_t i) { return item(i, targets[i]); }, cancel);
  large.take_back();
  if (!outcomes) return std::move(outcomes).error();
  for (std::size_t i = 0; i < count; ++i) {
    const auto& outcome = (*outcomes)[i];
    if (outcome.ok()) continue;
    if (refusals == Refusals::kNone && outcome.error().kind == OperationError::Kind::kRefused) {
      objects[i] = PyRef();  // part-written: never handed out
      continue;
    }
    return batch_error(kind, outcome.error(), i);
  }
  for (PyRef& object : objects) {
    if (!object) object = PyRef::borrow(Py_None);
  }
  return make_list(std::move(objects));
}

}  // namespace batchaugmentor::bindings
