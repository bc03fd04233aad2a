// Reading files through the OS, for the loaders. This is the only code that
// opens, reads and closes files.
//
//   auto opened = platform::ReadOnlyFile::open("/data/cat.jpg");
//   if (!opened.file) return failure(opened.os_error);
//   platform::ReadResult r = opened.file->read_some(buffer, capacity);
//   // r.os_error != 0: failed; r.bytes == 0: end of data
//
// open() takes a NUL-terminated path whose bytes go to the OS unchanged.
// read_some() repeats a read interrupted by a signal and treats a broken
// pipe as the end of data. The handle is closed when the ReadOnlyFile goes
// away, on every path.
#pragma once

#include <cstddef>
#include <optional>

namespace batchaugmentor::platform {

struct ReadResult {
  std::size_t bytes = 0;  // 0 with os_error 0 means end of data
  int os_error = 0;       // errno of the failed read, 0 on success
};

class ReadOnlyFile {
 public:
  struct Opened;

  // Opens for reading, close-on-exec, never as a controlling terminal and
  // without waiting for a writer on a FIFO.
  static Opened open(const char* path);

  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  ReadOnlyFile(ReadOnlyFile&& other) noexcept;
  ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept;
  ~ReadOnlyFile();

  // Reads up to `capacity` bytes from the current position.
  ReadResult read_some(void* buffer, std::size_t capacity);

 private:
  explicit ReadOnlyFile(int fd) : fd_(fd) {}
  void close_now();

  int fd_ = -1;
  bool blocking_ = false;
};

struct ReadOnlyFile::Opened {
  std::optional<ReadOnlyFile> file;  // empty when the open failed
  int os_error = 0;                  // errno of the failed open
};

}  // namespace batchaugmentor::platform
