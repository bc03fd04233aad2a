#include "common/fault.h"

#include <execinfo.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/process.h"

namespace batchaugmentor {
namespace {

// Two reports never interleave; the lock is never released because the
// reporting thread terminates the process while holding it.
std::mutex& report_lock() {
  static std::mutex lock;
  return lock;
}

std::atomic<bool> g_note_written{false};
thread_local bool t_reporting = false;

void write_text(std::string_view text) { platform::write_stderr(text.data(), text.size()); }

enum class TraceMode { kOff, kShort, kFull };

TraceMode trace_mode() {
  auto value = platform::get_env(kBacktraceVariable);
  if (!value || value->empty() || *value == "0") return TraceMode::kOff;
  return *value == "full" ? TraceMode::kFull : TraceMode::kShort;
}

void write_trace(TraceMode mode) {
  void* frames[128];
  int n = ::backtrace(frames, 128);
  // The short form drops write_trace, report and fault themselves.
  int skip = mode == TraceMode::kFull ? 0 : 3;
  if (skip > n) skip = n;
  write_text("stack backtrace:\n");
  ::backtrace_symbols_fd(frames + skip, n - skip, 2);
}

[[noreturn]] void report(std::string_view message, const std::source_location& where) {
  char location[320];
  std::snprintf(location, sizeof location, "%s:%u:%u", where.file_name(),
                static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()));

  if (t_reporting) {
    // A fault while reporting a fault: say so briefly and stop.
    write_text("panicked at ");
    write_text(location);
    write_text(":\n");
    write_text(message);
    write_text("\nthread panicked while processing panic. aborting.\n");
    platform::terminate_now();
  }
  t_reporting = true;

  report_lock().lock();
  char buffer[512];
  int n = std::snprintf(buffer, sizeof buffer, "\nthread '<unnamed>' panicked at %s:\n%.*s\n",
                        location, static_cast<int>(message.size()), message.data());
  if (n >= 0 && static_cast<std::size_t>(n) < sizeof buffer) {
    platform::write_stderr(buffer, static_cast<std::size_t>(n));
  } else {
    write_text("\nthread '<unnamed>' panicked at ");
    write_text(location);
    write_text(":\n");
    write_text(message);
    write_text("\n");
  }
  TraceMode mode = trace_mode();
  if (mode != TraceMode::kOff) {
    write_trace(mode);
  } else if (!g_note_written.exchange(true)) {
    write_text("note: run with `BATCHAUGMENTOR_BACKTRACE=1` environment variable to display a backtrace\n");
  }
  platform::terminate_now();
}

}  // namespace

void fault(std::string_view message, std::source_location where) { report(message, where); }

void fault_allocation(std::size_t bytes) {
  char buffer[96];
  int n = std::snprintf(buffer, sizeof buffer, "memory allocation of %zu bytes failed\n", bytes);
  platform::write_stderr(buffer, static_cast<std::size_t>(n));
  platform::terminate_now();
}

}  // namespace batchaugmentor
