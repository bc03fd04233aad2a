// Reading one file whole, undecoded.
//
//   LoadOutcome r = load_file_bytes("/data/cat.jpg");
//   if (auto* bytes = std::get_if<FileBytes>(&r)) use(bytes->data(), bytes->size());
//
// Any file that cannot be opened or read (missing, a directory, no
// permission, a NUL in the path, an empty path) is a FileReadFailure. Memory
// that cannot be had for the content is reported as out_of_memory so the
// caller can raise MemoryError instead of ending the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "loading/content_buffer.h"

namespace batchaugmentor::loading {

// The content of a file, size() bytes at data(); owns them.
struct FileBytes {
  ContentBuffer content;
  const std::uint8_t* data() const { return content.data(); }
  std::size_t size() const { return content.size(); }
};

struct FileReadFailure {
  int os_error = 0;            // errno of the failing call, 0 when none applies
  bool out_of_memory = false;  // the content did not fit in memory
};

using LoadOutcome = std::variant<FileBytes, FileReadFailure>;

LoadOutcome load_file_bytes(std::string_view path);

}  // namespace batchaugmentor::loading
