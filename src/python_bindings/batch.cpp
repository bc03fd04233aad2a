#include "python_bindings/batch.h"

namespace batchaugmentor::bindings {

PyStatus ensure_pool() {
  if (!parallel::WorkerPool::try_global().ok()) {
    return PyError::make(PyExc_RuntimeError, parallel::WorkerPool::global_build_failure());
  }
  return Done{};
}

}  // namespace batchaugmentor::bindings
