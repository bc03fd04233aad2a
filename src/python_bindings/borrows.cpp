#include "python_bindings/borrows.h"

#include <map>
#include <new>
#include <numeric>
#include <string>
#include <unordered_map>

#include "common/fault.h"

namespace batchaugmentor::bindings {
namespace {

constexpr const char kCapsuleName[] = "_RUST_NUMPY_BORROW_CHECKING_API";

struct BorrowKey {
  std::uintptr_t range_start;  // lowest byte any element occupies
  std::uintptr_t range_end;    // one past the highest
  std::uintptr_t data;
  std::uintptr_t gcd_strides;

  static BorrowKey from(const RecordedBorrow& r) { return {r.key[0], r.key[1], r.key[2], r.key[3]}; }

  auto operator<=>(const BorrowKey&) const = default;

  // May report a conflict that does not exist, never misses one.
  bool conflicts(const BorrowKey& other) const {
    if (range_end <= other.range_start || other.range_end <= range_start) return false;
    std::uintptr_t divisor = std::gcd(gcd_strides, other.gcd_strides);
    if (divisor == 0) return true;  // both touch one element each and the ranges overlap
    std::uintptr_t diff = data > other.data ? data - other.data : other.data - data;
    return diff % divisor == 0;
  }
};

// Relies on the interpreter lock: every operation runs with it held.
struct Registry {
  const NumpyApi* numpy;
  std::unordered_map<PyObject*, std::map<BorrowKey, std::int64_t>> borrows;
};

PyObject* base_object(const NumpyApi& numpy, PyObject* array) {
  PyObject* current = array;
  for (;;) {
    PyObject* base = as_raw_array(current)->base;
    if (base == nullptr) return current;
    if (!numpy.is_array(base)) return base;
    current = base;
  }
}

BorrowKey borrow_key(const NumpyApi& numpy, PyObject* array) {
  RawArray* raw = as_raw_array(array);
  auto data = reinterpret_cast<std::uintptr_t>(raw->data);
  BorrowKey key{data, data, data, 0};
  bool empty = false;
  std::intptr_t low = 0, high = 0;
  for (int i = 0; i < raw->nd; ++i) {
    std::intptr_t dim = raw->dimensions[i];
    std::intptr_t stride = raw->strides[i];
    if (dim == 0) empty = true;
    key.gcd_strides = std::gcd(key.gcd_strides, static_cast<std::uintptr_t>(stride < 0 ? -stride : stride));
    if (dim > 0) {
      std::intptr_t span = (dim - 1) * stride;
      if (span < 0) low += span; else high += span;
    }
  }
  if (!empty) {
    key.range_start = data + static_cast<std::uintptr_t>(low);
    key.range_end = data + static_cast<std::uintptr_t>(high) + numpy.element_size(array);
  }
  return key;
}

using KeyMap = std::map<BorrowKey, std::int64_t>;

// A base whose last key went, or that was looked up for a refused borrow,
// leaves no empty entry behind.
void drop_if_empty(Registry* registry, PyObject* base) {
  auto outer = registry->borrows.find(base);
  if (outer != registry->borrows.end() && outer->second.empty()) registry->borrows.erase(outer);
}

int acquire_key(Registry* registry, PyObject* base, const BorrowKey& key) {
  KeyMap& keys = registry->borrows[base];
  if (auto it = keys.find(key); it != keys.end()) {
    if (it->second < 0 || it->second == INT64_MAX) return -1;
    ++it->second;
    return 0;
  }
  for (const auto& [other, count] : keys) {
    if (count < 0 && key.conflicts(other)) return -1;
  }
  keys.emplace(key, 1);
  return 0;
}

// The registry's operations are called by other extensions through plain C
// function pointers: no exception may leave them. A map that cannot grow
// refuses the borrow, which every caller must handle anyway.
int registry_acquire(void* flags, PyObject* array) {
  auto* registry = static_cast<Registry*>(flags);
  PyObject* base = base_object(*registry->numpy, array);
  int status = -1;
  try {
    status = acquire_key(registry, base, borrow_key(*registry->numpy, array));
  } catch (const std::bad_alloc&) {
    status = -1;
  }
  if (status != 0) drop_if_empty(registry, base);
  return status;
}

int registry_acquire_mut(void* flags, PyObject* array) {
  auto* registry = static_cast<Registry*>(flags);
  if ((as_raw_array(array)->flags & kArrayWriteable) == 0) return -2;
  PyObject* base = base_object(*registry->numpy, array);
  BorrowKey key = borrow_key(*registry->numpy, array);
  try {
    KeyMap& keys = registry->borrows[base];
    for (const auto& entry : keys) {
      if (entry.first == key || key.conflicts(entry.first)) {
        drop_if_empty(registry, base);
        return -1;
      }
    }
    keys.emplace(key, -1);
    return 0;
  } catch (const std::bad_alloc&) {
    drop_if_empty(registry, base);
    return -1;
  }
}

// Lookups and erasures only: nothing here allocates.
void remove_key(Registry* registry, PyObject* base, const BorrowKey& key, bool exclusive) noexcept {
  auto outer = registry->borrows.find(base);
  if (outer == registry->borrows.end()) return;
  auto& keys = outer->second;
  auto it = keys.find(key);
  if (it == keys.end()) return;
  if (exclusive || --it->second == 0) keys.erase(it);
  if (keys.empty()) registry->borrows.erase(outer);
}

void registry_release(void* flags, PyObject* array) {
  auto* registry = static_cast<Registry*>(flags);
  remove_key(registry, base_object(*registry->numpy, array), borrow_key(*registry->numpy, array), false);
}

void registry_release_mut(void* flags, PyObject* array) {
  auto* registry = static_cast<Registry*>(flags);
  remove_key(registry, base_object(*registry->numpy, array), borrow_key(*registry->numpy, array), true);
}

struct OwnedRecord {
  SharedBorrowApi api;
  Registry registry;
};

void destroy_capsule(PyObject* capsule) {
  delete static_cast<OwnedRecord*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

const SharedBorrowApi* g_borrow_api = nullptr;  // kept with one capsule reference

PyResult<const SharedBorrowApi*> borrow_api(const NumpyApi& numpy) {
  if (g_borrow_api != nullptr) return g_borrow_api;
  auto multiarray = import_multiarray();
  if (!multiarray) return std::move(multiarray).error();
  PyRef name = PyRef::steal(PyUnicode_FromString(kCapsuleName));
  if (!name) return PyError::fetch();
  PyRef capsule = PyRef::steal(PyObject_GetAttr(multiarray->get(), name.get()));
  if (!capsule) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PyError::fetch();
    PyErr_Clear();
    auto* record = new OwnedRecord{
        {1, nullptr, registry_acquire, registry_acquire_mut, registry_release, registry_release_mut},
        {&numpy, {}}};
    record->api.flags = &record->registry;
    capsule = PyRef::steal(PyCapsule_New(record, kCapsuleName, destroy_capsule));
    if (!capsule) {
      delete record;
      return PyError::fetch();
    }
    if (PyObject_SetAttr(multiarray->get(), name.get(), capsule.get()) != 0) return PyError::fetch();
  } else if (!PyCapsule_CheckExact(capsule.get())) {
    fault("Interal borrow checking API error");
  }
  const char* capsule_name = PyCapsule_GetName(capsule.get());
  auto* api = static_cast<const SharedBorrowApi*>(PyCapsule_GetPointer(capsule.get(), capsule_name));
  if (api == nullptr) return PyError::fetch();
  if (api->version < 1) fault("Interal borrow checking API error");
  capsule.release();  // the record must outlive every hold
  g_borrow_api = api;
  return g_borrow_api;
}

}  // namespace

ArrayHold::~ArrayHold() {
  if (!array_) return;
  if (own_) {
    remove_key(static_cast<Registry*>(recorded_.registry), recorded_.base, BorrowKey::from(recorded_), false);
  } else {
    api_->release(api_->flags, array_.get());
  }
}

bool ArrayHold::covers(const NumpyApi& numpy, PyObject* array) const {
  if (!own_ || !array_) return false;
  if (base_object(numpy, array) != recorded_.base) return false;
  return borrow_key(numpy, array) == BorrowKey::from(recorded_);
}

PyResult<ArrayHold> hold_array(const NumpyApi& numpy, PyObject* array, const char* parameter) {
  auto api = borrow_api(numpy);
  if (!api) return std::move(api).error();
  const SharedBorrowApi* record = *api;
  if (record->acquire == &registry_acquire) {
    // Our own registry: take the borrow under a key recorded now, and give
    // it back under the same key.
    auto* registry = static_cast<Registry*>(record->flags);
    RecordedBorrow recorded{registry, base_object(numpy, array), {}};
    BorrowKey key = borrow_key(numpy, array);
    recorded.key[0] = key.range_start;
    recorded.key[1] = key.range_end;
    recorded.key[2] = key.data;
    recorded.key[3] = key.gcd_strides;
    int status = -1;
    try {
      status = acquire_key(registry, recorded.base, key);
    } catch (const std::bad_alloc&) {
      drop_if_empty(registry, recorded.base);
      return PyError::no_memory();
    }
    if (status == 0) return ArrayHold(record, PyRef::borrow(array), &recorded);
    drop_if_empty(registry, recorded.base);
  } else {
    int status = record->acquire(record->flags, array);
    if (status == 0) return ArrayHold(record, PyRef::borrow(array), nullptr);
    if (status != -1) fault("acquire of a read-only borrow returned an unexpected status");
  }
  std::string message = "argument '";
  message += parameter;
  message += "': the array is exclusively borrowed elsewhere and cannot be read";
  return PyError::make(PyExc_RuntimeError, message);
}

}  // namespace batchaugmentor::bindings
