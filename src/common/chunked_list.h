// A list that grows a chunk at a time and never moves what it holds.
//
//   ChunkedList<CropBox> boxes;
//   boxes.push_back(box);            // may throw std::bad_alloc
//   boxes[i]; boxes.size();
//
// Input lists are walked element by element with the interpreter's signal
// checks in between; a std::vector's doubling would copy everything walked
// so far in one step (a second or more once the walk is gigabytes long),
// during which Ctrl-C could not be answered. Chunks never move, and no
// chunk is large: chunk k holds 2^(k+4) elements up to 2^16, so a short
// list stays small, and all later chunks hold 2^16, so that making one
// (its elements are constructed when it is made) is a short step too.
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
  ChunkedList(ChunkedList&& other) noexcept
      : chunks_(std::move(other.chunks_)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {
    other.chunks_.clear();
  }
  ChunkedList& operator=(ChunkedList&& other) noexcept {
    chunks_ = std::move(other.chunks_);
    other.chunks_.clear();
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    return *this;
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return at(i); }
  const T& operator[](std::size_t i) const { return const_cast<ChunkedList*>(this)->at(i); }
  T& back() { return at(size_ - 1); }

  void push_back(T value) {
    if (size_ == capacity_) {
      const std::size_t n = chunks_.size() < kGrowing ? kFirst << chunks_.size() : kLargest;
      chunks_.push_back(std::make_unique_for_overwrite<T[]>(n));
      capacity_ += n;
    }
    at(size_) = std::move(value);
    ++size_;
  }

 private:
  static constexpr std::size_t kFirst = 16;
  static constexpr int kFirstBits = 5;              // bit width of kFirst
  static constexpr std::size_t kGrowing = 13;       // chunks 0..12 double in size
  static constexpr std::size_t kLargest = kFirst << (kGrowing - 1);  // 2^16
  static constexpr std::size_t kInGrowing = kFirst * ((std::size_t{1} << kGrowing) - 1);

  T& at(std::size_t i) {
    if (i >= kInGrowing) {
      const std::size_t j = i - kInGrowing;
      return chunks_[kGrowing + j / kLargest][j % kLargest];
    }
    const std::size_t j = i + kFirst;
    const int k = std::bit_width(j) - kFirstBits;
    return chunks_[static_cast<std::size_t>(k)][j - (kFirst << k)];
  }

  std::vector<std::unique_ptr<T[]>> chunks_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace batchaugmentor
