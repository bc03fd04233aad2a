#include "loading/load_file.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/buffer.h"
#include "loading/content_buffer.h"
#include "platform/files.h"

namespace batchaugmentor::loading {

namespace {

// Reads that find no room left in the content buffer land here first. A file
// that fits in one staging read gets a content buffer of exactly its size
// (most image files do: two reads, one allocation, one copy), and a file that
// ends exactly at the buffer's capacity does not grow it just to learn that
// nothing follows.
constexpr std::size_t kStagingSize = 256 * 1024;

// One staging block per thread, kept for the thread's life: a block this size
// allocated per file would come fresh from the OS, page faults and all, for
// every file.
std::uint8_t* thread_staging() {
  thread_local OwnedBuffer staging;
  if (staging.data() == nullptr) staging = OwnedBuffer::allocate(kStagingSize);
  return staging.data();
}

// Paths up to this length are terminated on the stack; longer ones (rare,
// and already past most OS limits) on the heap.
constexpr std::size_t kInlinePathSize = 512;

FileReadFailure out_of_memory() { return FileReadFailure{.os_error = 0, .out_of_memory = true}; }

LoadOutcome read_to_end(platform::ReadOnlyFile& file) {
  std::uint8_t* staging = thread_staging();
  if (staging == nullptr) return out_of_memory();
  ContentBuffer content;
  for (;;) {
    if (content.spare() > 0) {
      platform::ReadResult r = file.read_some(content.end(), content.spare());
      if (r.os_error != 0) return FileReadFailure{.os_error = r.os_error};
      if (r.bytes == 0) break;
      content.commit(r.bytes);
      continue;
    }
    platform::ReadResult r = file.read_some(staging, kStagingSize);
    if (r.os_error != 0) return FileReadFailure{.os_error = r.os_error};
    if (r.bytes == 0) break;
    if (!content.append(staging, r.bytes)) return out_of_memory();
  }
  return FileBytes{std::move(content)};
}

}  // namespace

LoadOutcome load_file_bytes(std::string_view path) {
  // A NUL would silently cut the path short at the OS boundary and open
  // some other file.
  if (path.find('\0') != std::string_view::npos) return FileReadFailure{};

  char inline_path[kInlinePathSize];
  OwnedBuffer heap_path;
  char* terminated = inline_path;
  if (path.size() >= kInlinePathSize) {
    heap_path = OwnedBuffer::allocate(path.size() + 1);
    if (heap_path.failed()) return out_of_memory();
    terminated = reinterpret_cast<char*>(heap_path.data());
  }
  if (!path.empty()) std::memcpy(terminated, path.data(), path.size());
  terminated[path.size()] = '\0';

  platform::ReadOnlyFile::Opened opened = platform::ReadOnlyFile::open(terminated);
  if (!opened.file) return FileReadFailure{.os_error = opened.os_error};
  return read_to_end(*opened.file);
}

}  // namespace batchaugmentor::loading
