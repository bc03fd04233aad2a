#include "platform/process.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace batchaugmentor::platform {

void write_stderr(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // closed or unusable: the report is dropped
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

void terminate_now() {
  // SIGABRT with the default action: the process dies abnormally (exit status
  // 134, a core dump where enabled) without running any handler that Python
  // or a debugger installed. If that somehow returns, leave without cleanup.
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGABRT, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGABRT);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(SIGABRT);
  ::_exit(134);
}

std::optional<std::string> get_env(const char* name) {
  const char* value = ::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::size_t processor_count() {
  long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

MonotonicReading monotonic_now() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return {static_cast<std::uint64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec)};
}

std::uint64_t current_thread_number() {
  // Relaxed is enough: only uniqueness matters, not ordering with other data.
  static std::atomic<std::uint64_t> next{1};
  thread_local std::uint64_t number = next.fetch_add(1, std::memory_order_relaxed);
  return number;
}

}  // namespace batchaugmentor::platform
