// Runs a test body on its own thread and ends the test binary if it has not
// finished in time, so a lost wake-up shows up as a failure, not a hang.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>

namespace batchaugmentor::testing {

template <class F>
void run_with_deadline(std::chrono::seconds limit, F&& body) {
  std::mutex lock;
  std::condition_variable done_cv;
  bool done = false;
  std::thread runner([&] {
    body();
    std::lock_guard<std::mutex> guard(lock);
    done = true;
    done_cv.notify_all();
  });
  {
    std::unique_lock<std::mutex> guard(lock);
    if (!done_cv.wait_for(guard, limit, [&] { return done; })) {
      std::fprintf(stderr, "test did not finish within %lld s: deadlock or lost wake-up\n",
                   static_cast<long long>(limit.count()));
      std::abort();
    }
  }
  runner.join();
}

// Sanitizer builds run several times slower.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

inline std::chrono::seconds deadline() { return std::chrono::seconds(kSanitized ? 300 : 60); }

}  // namespace batchaugmentor::testing
