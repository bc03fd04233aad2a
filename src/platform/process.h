// The few process-level services the rest of the code needs from the OS.
// This directory is the only place that makes OS calls.
//
//   platform::write_stderr(text.data(), text.size());
//   if (auto v = platform::get_env("RAYON_NUM_THREADS")) ...
//   platform::terminate_now();   // no handlers, no unwinding
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace batchaugmentor::platform {

// Writes all bytes to standard error, retrying short writes; silently drops
// the text when there is no usable standard error.
void write_stderr(const void* data, std::size_t size);

// Ends the process at once as an abnormal exit: no atexit routines, no signal
// handlers of the host, no destructors.
[[noreturn]] void terminate_now();

// The raw value of an environment variable, or nothing when it is unset.
std::optional<std::string> get_env(const char* name);

// Logical processors of the machine (not the affinity mask); 0 if unknown.
std::size_t processor_count();

struct MonotonicReading {
  std::uint64_t seconds;
  std::uint32_t nanoseconds;
};
MonotonicReading monotonic_now();

// A number unique to the calling thread within this process, never reused.
std::uint64_t current_thread_number();

}  // namespace batchaugmentor::platform
