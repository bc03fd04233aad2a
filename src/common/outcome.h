// Outcome of one per-item operation: a value or an OperationError.
//
//   Outcome<ImageArray> r = crop_image(view, box);
//   if (!r.ok()) return r.error();          // refusal or out-of-memory
//   ImageArray a = std::move(r).value();
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
  };

  Kind kind = Kind::kRefused;
  const char* message = "";

  static OperationError refused(const char* text) { return {Kind::kRefused, text}; }
  static OperationError out_of_memory() { return {Kind::kOutOfMemory, "Out of memory"}; }
  bool is_out_of_memory() const { return kind == Kind::kOutOfMemory; }
};

template <class T>
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
