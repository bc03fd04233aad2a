// What happens when an internal invariant breaks: a report on standard error,
// then the process ends at once. Faults are never turned into Python
// exceptions and nothing is unwound, because a broken invariant means the
// process state can no longer be trusted.
//
//   if (written != count) fault("expected 3 total writes, but got 2");
//   BA_ASSERT(index <= len);   // "assertion failed: index <= len"
//
// Report format (one write when it fits in 512 bytes):
//   \nthread '<unnamed>' panicked at src/x.cpp:12:5:\n<message>\n
// BATCHAUGMENTOR_BACKTRACE switches stack traces on: unset or "0" off,
// "full" every frame, anything else without the frames of this machinery.
//
// Declared here, with the vocabulary every layer shares; defined in
// platform/fault.cpp, since writing the report, walking the stack and ending
// the process are all calls to the OS. Code that faults links the platform
// layer.
#pragma once

#include <cstddef>
#include <source_location>
#include <string_view>

namespace batchaugmentor {

inline constexpr const char kBacktraceVariable[] = "BATCHAUGMENTOR_BACKTRACE";

[[noreturn]] void fault(std::string_view message,
                        std::source_location where = std::source_location::current());

// "memory allocation of N bytes failed" for internal buffers whose size no
// caller controls.
[[noreturn]] void fault_allocation(std::size_t bytes);

}  // namespace batchaugmentor

#define BA_ASSERT(cond)                                        \
  do {                                                         \
    if (!(cond)) ::batchaugmentor::fault("assertion failed: " #cond); \
  } while (0)
