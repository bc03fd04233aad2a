// Threads for the worker pool: start one detached with a chosen stack size,
// give up the processor, and get told when the process has forked.
//
//   Outcome<> started = platform::start_detached_thread(&worker_main, pool, 2 << 20);
//   if (!started.ok()) ... platform::describe_os_error(started.error().os_error) ...
//   platform::yield_now();
//   platform::on_fork_child(&forget_pool);
#pragma once

#include <cstddef>
#include <string>

#include "common/outcome.h"

namespace batchaugmentor::platform {

// Starts a thread running entry(argument) with a stack of at least
// stack_bytes (raised to the system minimum and rounded up to whole pages),
// no name, and detached: nobody ever joins it. A failure is kSystem with the
// OS error number.
Outcome<> start_detached_thread(void (*entry)(void*), void* argument, std::size_t stack_bytes);

// The error means "threads cannot be made here at all" rather than a
// transient shortage.
bool is_not_supported_error(int error);

// "Os { code: 11, kind: WouldBlock, message: \"Resource temporarily unavailable\" }"
std::string describe_os_error(int error);

void yield_now();

// Registers a handler that runs in the child process after fork(), on the
// one thread the child has. Handlers run in registration order.
void on_fork_child(void (*handler)());

}  // namespace batchaugmentor::platform
