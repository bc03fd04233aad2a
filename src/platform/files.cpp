#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace batchaugmentor::platform {

namespace {

// Linux moves at most this much per read() anyway; asking for more than
// SSIZE_MAX would be undefined.
constexpr std::size_t kMaxReadRequest = 0x7ffff000;

}  // namespace

ReadOnlyFile::Opened ReadOnlyFile::open(const char* path) {
  // O_NONBLOCK only so that opening a FIFO with no writer returns at once
  // instead of hanging a worker thread; regular files ignore it, and the
  // first read that would block switches the descriptor back to blocking.
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  Opened result;
  if (fd < 0) {
    result.os_error = errno;
    return result;
  }
  result.file.emplace(ReadOnlyFile(fd));
  return result;
}

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), blocking_(other.blocking_) {}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
  if (this != &other) {
    close_now();
    fd_ = std::exchange(other.fd_, -1);
    blocking_ = other.blocking_;
  }
  return *this;
}

ReadOnlyFile::~ReadOnlyFile() { close_now(); }

void ReadOnlyFile::close_now() {
  // No retry on EINTR: on Linux the descriptor is released even then, and a
  // second close could hit a descriptor another thread has just opened.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

ReadResult ReadOnlyFile::read_some(void* buffer, std::size_t capacity) {
  const std::size_t request = std::min(capacity, kMaxReadRequest);
  for (;;) {
    ssize_t n = ::read(fd_, buffer, request);
    if (n >= 0) return {static_cast<std::size_t>(n), 0};
    const int error = errno;
    if (error == EINTR) continue;
    if (error == EPIPE) return {0, 0};
    if ((error == EAGAIN || error == EWOULDBLOCK) && !blocking_) {
      // A pipe or device with nothing to read yet: wait for data like any
      // other blocking reader from now on.
      int flags = ::fcntl(fd_, F_GETFL);
      if (flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) < 0) return {0, errno};
      blocking_ = true;
      continue;
    }
    return {0, error};
  }
}

}  // namespace batchaugmentor::platform
