#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace batchaugmentor::platform {

namespace {

// Linux moves at most this much per read() anyway; asking for more than
// SSIZE_MAX would be undefined.
constexpr std::size_t kMaxReadRequest = 0x7ffff000;

Outcome<ReadChunk> settle(ssize_t n, int error) {
  if (n >= 0) return ReadChunk{static_cast<std::size_t>(n), false};
  if (error == EPIPE) return ReadChunk{0, false};
  if (error == EAGAIN || error == EWOULDBLOCK) return ReadChunk{0, true};
  return OperationError::system(error);
}

}  // namespace

Outcome<ReadOnlyFile> ReadOnlyFile::open(const char* path) {
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return OperationError::system(errno);
  return ReadOnlyFile(fd);
}

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
  if (this != &other) {
    close_now();
    fd_ = std::exchange(other.fd_, -1);
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

Outcome<FileInfo> ReadOnlyFile::info() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return OperationError::system(errno);
  FileInfo info;
  info.regular = S_ISREG(st.st_mode);
  info.size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  return info;
}

Outcome<ReadChunk> ReadOnlyFile::read_some(void* buffer, std::size_t capacity) {
  const std::size_t request = std::min(capacity, kMaxReadRequest);
  for (;;) {
    ssize_t n = ::read(fd_, buffer, request);
    if (n < 0 && errno == EINTR) continue;
    return settle(n, n < 0 ? errno : 0);
  }
}

Outcome<ReadChunk> ReadOnlyFile::read_at(void* buffer, std::size_t capacity, std::uint64_t offset) const {
  const std::size_t request = std::min(capacity, kMaxReadRequest);
  if (offset > static_cast<std::uint64_t>(INT64_MAX)) return ReadChunk{0, false};  // past any end
  for (;;) {
    ssize_t n = ::pread(fd_, buffer, request, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    return settle(n, n < 0 ? errno : 0);
  }
}

bool ReadOnlyFile::wait_readable(int milliseconds) const {
  struct pollfd p{fd_, POLLIN, 0};
  const int n = ::poll(&p, 1, milliseconds);
  // An interrupted or failed wait counts as time run out: the caller reads
  // again either way, and the read reports any real error.
  return n > 0;
}

bool is_descriptor_shortage(int os_error) { return os_error == EMFILE || os_error == ENFILE; }

std::uint64_t descriptor_limit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
  return static_cast<std::uint64_t>(limit.rlim_cur);
}

}  // namespace batchaugmentor::platform
