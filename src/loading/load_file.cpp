#include "loading/load_file.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/buffer.h"
#include "loading/content_buffer.h"
#include "platform/files.h"

namespace batchaugmentor::loading {

namespace {

// The first read asks for this much: one read fills a typical image file
// and the next one returns 0. Larger files double the capacity from here.
constexpr std::size_t kFirstRead = 128 * 1024;

// Paths up to this length are terminated on the stack; longer ones (rare,
// and already past most OS limits) on the heap.
constexpr std::size_t kInlinePathSize = 512;

FileReadFailure out_of_memory() { return FileReadFailure{.os_error = 0, .out_of_memory = true}; }

// Reads straight into the content's tail, so each byte is copied once. A
// full buffer is grown before the read that may find the end: growing only
// remaps, so it costs nothing the next read does not need anyway.
LoadOutcome read_to_end(platform::ReadOnlyFile& file) {
  ContentBuffer content;
  if (!content.make_room(kFirstRead)) return out_of_memory();
  for (;;) {
    if (!content.make_room(1)) return out_of_memory();
    platform::ReadResult r = file.read_some(content.end(), content.spare());
    if (r.os_error != 0) return FileReadFailure{.os_error = r.os_error};
    if (r.bytes == 0) break;
    content.commit(r.bytes);
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
