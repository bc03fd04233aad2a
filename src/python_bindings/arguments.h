// Binding a call's arguments to parameters and converting them into the
// system's own types. Every failure is a held Python exception with the
// exact message callers see; nothing of the batch has run yet.
//
//   static const FunctionSignature kSig{"batch_crop_images", {"images", "crop_boxes"}};
//   auto slots = bind_arguments(kSig, args, kwargs);       // borrowed objects
//   auto images = extract_image_list(slots[0], "images");  // views + holds
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/chunked_list.h"
#include "common/image.h"
#include "python_bindings/borrows.h"
#include "python_bindings/errors.h"

namespace batchaugmentor::bindings {

// At most two parameters, held without allocating: the signatures are
// static objects, and a static that allocates could fail before any
// boundary exists to catch it.
class ParameterNames {
 public:
  constexpr ParameterNames(std::initializer_list<const char*> names) {
    for (const char* n : names) names_[count_++] = n;
  }
  constexpr std::size_t size() const { return count_; }
  constexpr const char* operator[](std::size_t i) const { return names_[i]; }

 private:
  std::array<const char*, 2> names_{};
  std::size_t count_ = 0;
};

struct FunctionSignature {
  const char* name;
  ParameterNames parameters;
};

// Every loop of the calling thread over a batch's items (the walks of the
// arguments, the making of result arrays) runs the interpreter's signal
// handlers this often, so that Ctrl-C stops a walk of 10**11 views as
// promptly as a running batch.
inline constexpr std::size_t kSignalCheckEvery = 1 << 12;

// One borrowed object per parameter, in parameter order.
PyResult<std::vector<PyObject*>> bind_arguments(const FunctionSignature& signature, PyObject* args,
                                                PyObject* kwargs);

// Turns a plain TypeError into "argument '<name>': <text>"; other errors pass.
PyError argument_error(const char* parameter, PyError error);

template <std::size_t D>
struct ArrayList {
  ChunkedList<ArrayView<D>> views;
  std::vector<ArrayHold> holds;  // released when the list goes
};

PyResult<ArrayList<3>> extract_image_list(PyObject* object, const char* parameter);
PyResult<ArrayList<4>> extract_video_list(PyObject* object, const char* parameter);
PyResult<ChunkedList<CropBox>> extract_crop_boxes(PyObject* object, const char* parameter);
// field_bits is 64 for the crop functions, 32 for the resize functions.
PyResult<ChunkedList<TargetSize>> extract_target_sizes(PyObject* object, const char* parameter,
                                                       int field_bits);
PyResult<ChunkedList<std::string>> extract_path_list(PyObject* object, const char* parameter);

// One item of a list of encoded contents: the bytes of a bytes-like object
// held for the call, or None.
struct ByteSpan {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  bool none = false;
};

// A buffer exported by a bytes-like object, released exactly once. While
// it is held the object cannot be resized (bytearray) or freed.
class BufferHold {
 public:
  BufferHold() = default;
  BufferHold(const BufferHold&) = delete;
  BufferHold& operator=(const BufferHold&) = delete;
  ~BufferHold() {
    if (held_) PyBuffer_Release(&view_);
  }
  // Exports object's buffer as contiguous bytes; false with the error held.
  bool take(PyObject* object);
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

struct ContentList {
  ChunkedList<ByteSpan> spans;
  std::deque<BufferHold> holds;  // a deque never moves them
};

// bytes, bytearray, memoryview, 1-D uint8 arrays (any C-contiguous buffer of
// single-byte elements) or None, per item.
PyResult<ContentList> extract_content_list(PyObject* object, const char* parameter);

PyResult<std::uint64_t> to_u64(PyObject* object);
PyResult<std::uint32_t> to_u32(PyObject* object);

}  // namespace batchaugmentor::bindings
