// Large pages for fresh memory that a batch is about to fill.
//
//   LargePageRequest large(4 << 20);        // targets of at least 4 MB
//   for (...) large.add(target, bytes);     // before the workers fill them
//   run the batch
//   large.take_back();                      // or at the end of the scope
//
// Fresh memory filled in 4 KiB pages costs about as much again in page
// bookkeeping (a fault, a zeroed page and a mapping per page) as the bytes
// themselves; large pages cut that to a few hundredths. A target asks only
// for the whole large pages inside it (one that holds fewer is not worth a
// call) and only while the total stays within half of the memory the kernel
// holds in free large blocks, so that no fault has to wait for it to compact
// memory. The request is taken back once the batch is done, so that the
// memory, when the allocator reuses it for something else, is never gathered
// into large pages behind its new user's back. The bytes never change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "platform/pages.h"

namespace batchaugmentor::platform {

class LargePageRequest {
 public:
  explicit LargePageRequest(std::size_t min_bytes) : min_bytes_(min_bytes) {}
  LargePageRequest(const LargePageRequest&) = delete;
  LargePageRequest& operator=(const LargePageRequest&) = delete;
  ~LargePageRequest() { take_back(); }

  // A hint only: a target that does not qualify, or that cannot be recorded,
  // is filled in small pages as before.
  void add(std::uint8_t* at, std::size_t bytes) {
    if (at == nullptr || bytes < min_bytes_) return;
    if (!asked_) {
      room_ = free_large_page_bytes() / 2;
      asked_ = true;
    }
    if (bytes > room_) return;
    try {
      ranges_.push_back({at, bytes});
    } catch (const std::bad_alloc&) {
      return;
    }
    room_ -= bytes;
    ask_for_large_pages(at, bytes, true);
  }

  void take_back() {
    for (const Range& r : ranges_) ask_for_large_pages(r.at, r.bytes, false);
    ranges_.clear();
  }

 private:
  struct Range {
    std::uint8_t* at;
    std::size_t bytes;
  };
  std::size_t min_bytes_;
  bool asked_ = false;
  std::uint64_t room_ = 0;
  std::vector<Range> ranges_;
};

}  // namespace batchaugmentor::platform
