#include "python_bindings/results.h"

#include <cstring>
#include <string>

namespace batchaugmentor::bindings {
namespace {

template <std::size_t D>
bool is_c_contiguous(const OwnedArray<D>& a) {
  std::ptrdiff_t expected = 1;
  for (std::size_t i = D; i-- > 0;) {
    if (a.shape[i] != 1 && a.strides[i] != expected) return false;
    expected *= static_cast<std::ptrdiff_t>(a.shape[i]);
  }
  return true;
}

template <std::size_t D>
bool is_f_contiguous(const OwnedArray<D>& a) {
  std::ptrdiff_t expected = 1;
  for (std::size_t i = 0; i < D; ++i) {
    if (a.shape[i] != 1 && a.strides[i] != expected) return false;
    expected *= static_cast<std::ptrdiff_t>(a.shape[i]);
  }
  return true;
}

// Row-major element copy for layouts NumPy cannot take as one block
// (negative or otherwise permuted strides).
template <std::size_t D>
void copy_row_major(const OwnedArray<D>& a, std::uint8_t* out) {
  std::array<std::size_t, D> index{};
  const std::size_t inner = a.shape[D - 1];
  const std::ptrdiff_t inner_stride = a.strides[D - 1];
  const std::size_t rows = a.count() / inner;
  for (std::size_t r = 0; r < rows; ++r) {
    const std::uint8_t* src = a.origin_ptr();
    for (std::size_t i = 0; i + 1 < D; ++i) src += static_cast<std::ptrdiff_t>(index[i]) * a.strides[i];
    for (std::size_t k = 0; k < inner; ++k) *out++ = src[static_cast<std::ptrdiff_t>(k) * inner_stride];
    for (std::size_t i = D - 1; i-- > 0;) {
      if (++index[i] < a.shape[i]) break;
      index[i] = 0;
    }
  }
}

const char* prefix_of(BatchKind kind) {
  switch (kind) {
    case BatchKind::kCrop: return "Cropping failed: ";
    case BatchKind::kCenterCrop: return "Center cropping failed: ";
    case BatchKind::kRandomCrop: return "Random cropping failed: ";
    case BatchKind::kResize: return "Resizing failed: ";
    case BatchKind::kResizeVideo: return "Video resizing failed";
  }
  return "";
}

}  // namespace

template <std::size_t D>
bool copies_as_block(const OwnedArray<D>& array) {
  return array.count() == 0 || is_c_contiguous(array) || (D > 1 && is_f_contiguous(array));
}

template <std::size_t D>
PyResult<PyRef> new_numpy_like(const NumpyApi& numpy, const OwnedArray<D>& array) {
  std::array<Py_intptr_t, D> dims{};
  for (std::size_t i = 0; i < D; ++i) dims[i] = static_cast<Py_intptr_t>(array.shape[i]);
  PyObject* descr = numpy.descr_from_type(kTypeUint8);
  if (descr == nullptr) return PyError::fetch();
  // A Fortran-ordered block stays Fortran-ordered; everything else is C order.
  const bool fortran = array.count() != 0 && copies_as_block(array) && !is_c_contiguous(array);
  return checked(numpy.new_from_descr(descr, static_cast<int>(D), dims.data(), fortran));
}

template <std::size_t D>
void fill_numpy_data(std::uint8_t* out, const OwnedArray<D>& array) {
  if (array.count() == 0) return;
  if (copies_as_block(array)) {
    std::memcpy(out, array.bytes.data(), array.count());
  } else {
    copy_row_major(array, out);
  }
}

template PyResult<PyRef> new_numpy_like<3>(const NumpyApi&, const OwnedArray<3>&);
template void fill_numpy_data<3>(std::uint8_t*, const OwnedArray<3>&);

PyError raise_batch_error(BatchKind kind, const OperationError& error) {
  std::string message = prefix_of(kind);
  if (error.is_out_of_memory()) {
    if (kind == BatchKind::kResizeVideo) message += ": ";
    message += "not enough memory for the result";
    return PyError::make(PyExc_MemoryError, message);
  }
  if (kind == BatchKind::kResizeVideo) return PyError::make(PyExc_RuntimeError, message);
  message += error.message;
  return PyError::make(PyExc_ValueError, message);
}

PyResult<PyRef> make_list(std::vector<PyRef> items) {
  auto list = checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < items.size(); ++i) {
    // PyList_SetItem steals the item even when it fails.
    if (PyList_SetItem(list->get(), static_cast<Py_ssize_t>(i), items[i].release()) != 0) {
      return PyError::fetch();
    }
  }
  return list;
}

}  // namespace batchaugmentor::bindings
