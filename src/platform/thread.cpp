#include "platform/thread.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <string>

#include "platform/process.h"

namespace batchaugmentor::platform {
namespace {

struct StartRecord {
  void (*entry)(void*);
  void* argument;
};

void* thread_main(void* raw) {
  std::unique_ptr<StartRecord> owned(static_cast<StartRecord*>(raw));
  StartRecord record = *owned;
  owned.reset();
  // A thread entry point: an exception must not unwind into the C library.
  try {
    record.entry(record.argument);
  } catch (...) {
    static const char kText[] = "\nfatal runtime error: exception escaped a thread entry point, aborting\n";
    write_stderr(kText, sizeof kText - 1);
    terminate_now();
  }
  return nullptr;
}

std::size_t usable_stack_size(std::size_t requested) {
  std::size_t minimum = PTHREAD_STACK_MIN;
  if (requested < minimum) requested = minimum;
  long page = ::sysconf(_SC_PAGESIZE);
  std::size_t p = page > 0 ? static_cast<std::size_t>(page) : 4096;
  std::size_t rounded = (requested + p - 1) / p * p;
  return rounded < requested ? requested / p * p : rounded;  // no wrap at the top
}

const char* error_kind(int error) {
  switch (error) {
    case EAGAIN: return "WouldBlock";
    case ENOMEM: return "OutOfMemory";
    case EINVAL: return "InvalidInput";
    case EPERM:
    case EACCES: return "PermissionDenied";
    case ENOSYS:
    case ENOTSUP: return "Unsupported";
    default: return "Uncategorized";
  }
}

}  // namespace

Outcome<> start_detached_thread(void (*entry)(void*), void* argument, std::size_t stack_bytes) {
  pthread_attr_t attr;
  int error = ::pthread_attr_init(&attr);
  if (error != 0) return OperationError::system(error);
  error = ::pthread_attr_setstacksize(&attr, usable_stack_size(stack_bytes));
  if (error == 0) error = ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (error == 0) {
    std::unique_ptr<StartRecord> record(new (std::nothrow) StartRecord{entry, argument});
    if (record == nullptr) {
      error = ENOMEM;
    } else {
      pthread_t thread;
      error = ::pthread_create(&thread, &attr, &thread_main, record.get());
      if (error == 0) record.release();  // the new thread owns it now
    }
  }
  ::pthread_attr_destroy(&attr);
  if (error != 0) return OperationError::system(error);
  return Done{};
}

bool is_not_supported_error(int error) { return error == ENOSYS || error == ENOTSUP; }

std::string describe_os_error(int error) {
  char text[256];
  // The GNU strerror_r may return a static string instead of filling text.
  const char* message = ::strerror_r(error, text, sizeof text);
  std::string out = "Os { code: " + std::to_string(error) + ", kind: " + error_kind(error) +
                    ", message: \"" + message + "\" }";
  return out;
}

void yield_now() { ::sched_yield(); }

void on_fork_child(void (*handler)()) { ::pthread_atfork(nullptr, nullptr, handler); }

}  // namespace batchaugmentor::platform
