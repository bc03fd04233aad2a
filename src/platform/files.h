// Reading files through the OS, for the loaders. This is the only code that
// opens, reads and closes files.
//
//   Outcome<ReadOnlyFile> opened = platform::ReadOnlyFile::open("/data/cat.jpg");
//   if (!opened.ok()) return opened.error();          // kSystem, with the errno
//   ReadOnlyFile& file = opened.value();
//   Outcome<FileInfo> info = file.info();              // regular? how big?
//   Outcome<ReadChunk> r = file.read_some(buffer, capacity);
//   // !r.ok(): failed; r.value().would_block: nothing yet (pipe, device);
//   // r.value().bytes == 0 otherwise: end of data
//   r = file.read_at(buffer, capacity, offset);        // regular files
//   file.wait_readable(50);                            // after would_block
//
// Every failure is an OperationError of kind kSystem whose os_error is the
// errno of the call that failed.
//
// open() takes a NUL-terminated path whose bytes go to the OS unchanged. The
// descriptor is non-blocking, so that neither opening a FIFO without a writer
// nor reading an idle pipe can hold a thread for longer than its caller
// chooses to wait. Reads repeat when interrupted by a signal and treat a
// broken pipe as the end of data. The handle is closed when the ReadOnlyFile
// goes away, on every path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/outcome.h"

namespace batchaugmentor::platform {

struct ReadChunk {
  std::size_t bytes = 0;     // 0 without would_block: end of data
  bool would_block = false;  // no data yet; wait_readable() and read again
};

struct FileInfo {
  bool regular = false;     // a plain file: reads never block, read_at works
  std::uint64_t size = 0;   // as the system reports it; only a hint
};

class ReadOnlyFile {
 public:
  // Opens for reading, close-on-exec, non-blocking and never as a
  // controlling terminal.
  static Outcome<ReadOnlyFile> open(const char* path);

  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  ReadOnlyFile(ReadOnlyFile&& other) noexcept;
  ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept;
  ~ReadOnlyFile();

  Outcome<FileInfo> info() const;

  // Reads up to `capacity` bytes from the current position.
  Outcome<ReadChunk> read_some(void* buffer, std::size_t capacity);
  // Reads up to `capacity` bytes at `offset`, leaving the position alone;
  // safe from several threads at once.
  Outcome<ReadChunk> read_at(void* buffer, std::size_t capacity, std::uint64_t offset) const;
  // Waits up to `milliseconds` for data (or the end, or an error) to be
  // ready. False when the time ran out.
  bool wait_readable(int milliseconds) const;

 private:
  explicit ReadOnlyFile(int fd) : fd_(fd) {}
  void close_now();

  int fd_ = -1;
};

// True for the errno values that mean "too many open files" (the process's
// or the system's limit), after which a later open may succeed:
//   is_descriptor_shortage(opened.error().os_error)
bool is_descriptor_shortage(int os_error);

// The process's soft limit on open descriptors; a large number when
// unlimited or unknown.
std::uint64_t descriptor_limit();

}  // namespace batchaugmentor::platform
