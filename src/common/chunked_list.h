// A list that grows a chunk at a time and never moves what it holds.
//
//   ChunkedList<CropBox> boxes;
//   boxes.push_back(box);            // may throw std::bad_alloc
//   boxes[i]; boxes.size();
//
// Input lists are walked element by element with the interpreter's signal
// checks in between; a std::vector's doubling would copy everything walked
// so far in one step (a second or more once the walk is gigabytes long),
// during which Ctrl-C could not be answered. Here chunk k holds 2^(k+4)
// elements, so a short list stays small and no step copies anything.
#pragma once

#include <bit>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace batchaugmentor {

template <class T>
class ChunkedList {
 public:
  ChunkedList() = default;
  ChunkedList(ChunkedList&&) noexcept = default;
  ChunkedList& operator=(ChunkedList&&) noexcept = default;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return at(i); }
  const T& operator[](std::size_t i) const { return const_cast<ChunkedList*>(this)->at(i); }
  T& back() { return at(size_ - 1); }

  void push_back(T value) {
    const std::size_t j = size_ + kFirst;
    if (std::has_single_bit(j)) chunks_.push_back(std::make_unique_for_overwrite<T[]>(j));
    at(size_) = std::move(value);
    ++size_;
  }

 private:
  static constexpr std::size_t kFirst = 16;
  static constexpr int kFirstBits = 5;  // bit width of kFirst

  T& at(std::size_t i) {
    const std::size_t j = i + kFirst;
    const int k = std::bit_width(j) - kFirstBits;
    return chunks_[static_cast<std::size_t>(k)][j - (kFirst << k)];
  }

  std::vector<std::unique_ptr<T[]>> chunks_;
  std::size_t size_ = 0;
};

}  // namespace batchaugmentor
