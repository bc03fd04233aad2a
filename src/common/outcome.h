// The one way every layer below the bindings reports failure: an Outcome
// holds a value or an OperationError; Outcome<> (of Done) says only "done".
//
//   Outcome<OwnedBuffer> b = OwnedBuffer::allocate(n);
//   if (!b.ok()) return b.error();            // pass it on, whatever it is
//   Outcome<> r = resize_into(view, plan, dst);
//   if (r.error().is_cancelled()) ...         // the batch was interrupted
//
// Kinds: the item's input was refused (the message says why), memory for a
// size taken from the input was not to be had, the batch was cancelled, or
// the system refused a request (os_error holds its errno). The bindings map
// each kind to a Python exception in one table.
//
// Messages are string literals: building an error never allocates, so an
// error can be reported even when memory has run out.
#pragma once

#include <utility>
#include <variant>

namespace batchaugmentor {

struct OperationError {
  enum class Kind {
    kRefused,      // the item's input was refused; message says why
    kOutOfMemory,  // a size taken from the caller's input could not be allocated
    kCancelled,    // the batch was asked to stop before this finished
    kSystem,       // the system refused; os_error is its errno
  };

  Kind kind = Kind::kRefused;
  const char* message = "";
  int os_error = 0;

  static OperationError refused(const char* text) { return {Kind::kRefused, text, 0}; }
  static OperationError out_of_memory() { return {Kind::kOutOfMemory, "Out of memory", 0}; }
  static OperationError cancelled() { return {Kind::kCancelled, "Batch cancelled", 0}; }
  static OperationError system(int os_error, const char* what = "") { return {Kind::kSystem, what, os_error}; }
  bool is_out_of_memory() const { return kind == Kind::kOutOfMemory; }
  bool is_cancelled() const { return kind == Kind::kCancelled; }
};

// The value of an Outcome that only says the work was done.
struct Done {};

template <class T = Done>
class Outcome {
 public:
  Outcome(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Outcome(OperationError error) : v_(std::in_place_index<1>, error) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const OperationError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, OperationError> v_;
};

}  // namespace batchaugmentor
