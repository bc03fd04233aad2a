// load_image_batch over the loading schedule: the homes it reads into are
// the bytes objects the caller receives.
#include "python_bindings/loading_batch.h"

#include <vector>

#include "common/cancel.h"
#include "loading/batch_load.h"
#include "python_bindings/arguments.h"
#include "python_bindings/batch.h"
#include "python_bindings/results.h"

namespace batchaugmentor::bindings {
namespace {

const FunctionSignature kLoadSignature{"load_image_batch", {"image_paths"}};

// Slot i of the result list holds the first bytes object made for file i
// as soon as it exists; an exact-size replacement waits in `second` until
// the content has been copied into it from the first.
class BytesHomes {
 public:
  BytesHomes(PyObject* list, std::size_t count) : list_(list), placed_(count), second_(count) {}

  std::uint8_t* make(std::size_t i, std::uint64_t size) {
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return nullptr;
    PyRef object = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!object) {
      PyErr_Clear();
      return nullptr;
    }
    auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(object.get()));
    if (!placed_[i]) {
      placed_[i] = true;
      set_slot(i, std::move(object));
    } else {
      second_[i] = std::move(object);
    }
    return data;
  }

  void finish(std::size_t i, bool ok) {
    if (!ok) {
      second_[i] = PyRef();
      set_slot(i, PyRef());
    } else if (second_[i]) {
      set_slot(i, std::move(second_[i]));
    }
  }

 private:
  // Slot i becomes `object` (a new reference, or None when null).
  void set_slot(std::size_t i, PyRef object) {
    if (!object) object = PyRef::borrow(Py_None);
    // Cannot fail: the index is in range and the object is not null.
    PyList_SetItem(list_, static_cast<Py_ssize_t>(i), object.release());
  }

  PyObject* list_;
  std::vector<bool> placed_;
  std::vector<PyRef> second_;
};

}  // namespace

PyResult<PyRef> load_image_batch_list(PyObject* args, PyObject* kwargs) {
  auto slots = bind_arguments(kLoadSignature, args, kwargs);
  if (!slots) return std::move(slots).error();
  auto paths = extract_path_list((*slots)[0], "image_paths");
  if (!paths) return std::move(paths).error();

  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(paths->size())));
  if (!list) {
    PyErr_Clear();
    return PyError::no_memory(" for the result list");
  }
  BytesHomes homes(list.get(), paths->size());
  if (PyStatus read = load_paths(*paths, loading::ContentHomes(homes)); !read) return std::move(read).error();
  return list;  // finish() has filled every slot
}

PyStatus load_paths(const ChunkedList<std::string>& paths, const loading::ContentHomes& homes) {
  if (PyStatus pool = ensure_pool(); !pool) return pool;
  // Set when Ctrl-C stops the call: a read waiting on a pipe gives up.
  CancelFlag cancel;
  SignalCheck check;
  auto done = loading::load_files(paths, homes, cancel, {&SignalCheck::poll, &check, nullptr});
  if (check.raised) return std::move(*check.raised);
  if (!done.ok()) return batch_error(BatchKind::kLoad, done.error());
  return Done{};
}

}  // namespace batchaugmentor::bindings
