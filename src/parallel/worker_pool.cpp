#include "parallel/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "platform/process.h"
#include "platform/thread.h"

namespace batchaugmentor::parallel {
namespace {

constexpr std::size_t kDefaultStackBytes = std::size_t{2} << 20;
constexpr char kStackVariable[] = "BATCHAUGMENTOR_STACK_SIZE";

thread_local WorkerThread* t_worker = nullptr;
thread_local WaitHook* t_wait_hook = nullptr;
// Set by a failed try_global, for global_build_failure on the same thread.
// Plain bytes, not a std::string: a thread-local with a destructor is
// registered with the C library on first use, which allocates, and a build
// that failed for want of memory must not end the process that way.
thread_local char t_build_failure[512];

// The global pool. Acquire/release on the pointer publishes the fully built
// pool to threads that skip the build lock.
std::atomic<WorkerPool*> g_pool{nullptr};
std::mutex g_build_lock;
bool g_fork_handler_registered = false;  // under g_build_lock

void forget_pool_after_fork() {
  // Runs in the child on the forking thread, the only thread there. The
  // parent's workers are gone; their records may be mid-update, so they are
  // abandoned, never touched. Python holds its interpreter lock around both
  // the batch calls and fork(), so the build lock is free here; it is made
  // anew anyway, as a lock copied from a multi-threaded parent may not be.
  g_pool.store(nullptr, std::memory_order_relaxed);
  new (&g_build_lock) std::mutex;
  t_worker = nullptr;  // set only for the calling thread of a fallback pool
}

std::uint64_t seed_hash(std::uint64_t x) {
  // A 64-bit finaliser: consecutive counter values give unrelated seeds.
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

std::uint64_t next_seed() {
  // Relaxed: only distinctness matters, not ordering with other memory.
  static std::atomic<std::uint64_t> counter{0};
  for (;;) {
    std::uint64_t seed = seed_hash(counter.fetch_add(1, std::memory_order_relaxed) + 1);
    if (seed != 0) return seed;
  }
}

std::optional<std::uint64_t> count_variable(const char* name) {
  std::optional<std::string> value = platform::get_env(name);
  if (!value) return std::nullopt;
  return parse_count(*value);
}

}  // namespace

std::uint64_t WorkerThread::next_random() {
  std::uint64_t x = random_state;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  random_state = x;
  return x * 0x2545F4914F6CDD1DULL;
}

std::optional<std::uint64_t> parse_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t thread_count_from_environment() {
  // A number in the first variable settles it, 0 included (the default);
  // only a missing or unreadable one defers to the second.
  std::optional<std::uint64_t> v = count_variable("RAYON_NUM_THREADS");
  if (!v) v = count_variable("RAYON_RS_NUM_CPUS");
  std::uint64_t n = v && *v > 0 ? *v : std::max<std::size_t>(platform::processor_count(), 1);
  return static_cast<std::size_t>(std::min<std::uint64_t>(n, WorkerPool::kMaxThreads));
}

namespace {

// "RAYON_NUM_THREADS=65535" or "the processor count", for build failures.
std::string thread_count_origin() {
  for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
    if (auto v = count_variable(name)) {
      if (*v > 0) return std::string(name) + "=" + *platform::get_env(name);
      break;  // 0 in the first readable variable means the default
    }
  }
  return "the processor count";
}

std::string describe_build_failure(std::size_t threads, std::size_t started, int os_error) {
  std::string stack = "stack " + std::to_string(worker_stack_bytes()) + " bytes";
  if (auto raw = platform::get_env(kStackVariable)) stack += " from " + std::string(kStackVariable) + "=" + *raw;
  return "The worker pool could not be built: thread " + std::to_string(started + 1) + " of " +
         std::to_string(threads) + " (from " + thread_count_origin() + ", " + stack +
         ") failed to start: " + platform::describe_os_error(os_error);
}

}  // namespace

ScopedWaitHook::ScopedWaitHook(WaitHook* hook) : previous_(std::exchange(t_wait_hook, hook)) {}
ScopedWaitHook::~ScopedWaitHook() { t_wait_hook = previous_; }
WaitHook* current_wait_hook() { return t_wait_hook; }

void prepare_calling_thread() {
  // One variable is enough: a library's thread-local block is allocated whole.
  static_cast<void>(*static_cast<WaitHook* volatile*>(&t_wait_hook));
}

std::size_t worker_stack_bytes() {
  static const std::size_t bytes = [] {
    std::optional<std::uint64_t> v = count_variable(kStackVariable);
    if (!v || *v > std::numeric_limits<std::size_t>::max()) return kDefaultStackBytes;
    return static_cast<std::size_t>(*v);
  }();
  return bytes;
}

WorkerPool::WorkerPool(std::size_t threads)
    : size_(threads), workers_(std::make_unique<WorkerThread[]>(threads)), sleep_(threads) {
  for (std::size_t i = 0; i < threads; ++i) {
    workers_[i].pool = this;
    workers_[i].index = i;
    workers_[i].random_state = next_seed();
    workers_[i].stop.emplace(sleep_, i);
  }
}

WorkerThread* WorkerPool::current_worker() { return t_worker; }

Outcome<WorkerPool*> WorkerPool::build(std::size_t threads, ThreadStarter start) {
  std::size_t started = 0;
  return build(threads, start, started);
}

Outcome<WorkerPool*> WorkerPool::build(std::size_t threads, ThreadStarter start, std::size_t& started) {
  BA_ASSERT(threads >= 1 && threads <= kMaxThreads);
  // Never freed once built: started threads use it until the process ends.
  auto* pool = new WorkerPool(threads);
  for (started = 0; started < threads; ++started) {
    Outcome<> begun = start(&WorkerPool::worker_main, &pool->workers_[started], worker_stack_bytes());
    if (!begun.ok()) {
      for (std::size_t j = 0; j < started; ++j) pool->workers_[j].stop->set();
      // A failed build is retried by the next call, so its record is freed
      // once the stopped threads are out of it; a thread that takes
      // unreasonably long to leave keeps it alive (leaked) instead.
      if (pool->wait_for_exits(started)) delete pool;
      return begun.error();
    }
  }
  return pool;
}

WorkerPool& WorkerPool::build_or_fault(std::size_t threads, ThreadStarter start) {
  Outcome<WorkerPool*> built = build(threads, start);
  if (built.ok()) return *built.value();
  const int os_error = built.error().os_error;
  if (platform::is_not_supported_error(os_error) && t_worker == nullptr) return caller_pool();
  fault("The global thread pool has not been initialized.: ThreadPoolBuildError { kind: IOError(" +
        platform::describe_os_error(os_error) + ") }");
}

WorkerPool& WorkerPool::caller_pool() {
  auto* pool = new WorkerPool(1);
  pool->in_caller_ = true;
  t_worker = &pool->workers_[0];
  return *pool;
}

Outcome<WorkerPool*> WorkerPool::try_global() {
  WorkerPool* pool = g_pool.load(std::memory_order_acquire);
  if (pool != nullptr) return pool;
  std::lock_guard<std::mutex> guard(g_build_lock);
  pool = g_pool.load(std::memory_order_relaxed);  // the lock orders it
  if (pool != nullptr) return pool;
  if (!g_fork_handler_registered) {
    platform::on_fork_child(&forget_pool_after_fork);
    g_fork_handler_registered = true;
  }
  const std::size_t threads = thread_count_from_environment();
  std::size_t started = 0;
  Outcome<WorkerPool*> built = build(threads, &platform::start_detached_thread, started);
  if (!built.ok()) {
    const int os_error = built.error().os_error;
    if (!platform::is_not_supported_error(os_error) || t_worker != nullptr) {
      const std::string text = describe_build_failure(threads, started, os_error);
      const std::size_t n = text.size() < sizeof t_build_failure - 1 ? text.size() : sizeof t_build_failure - 1;
      std::memcpy(t_build_failure, text.data(), n);
      t_build_failure[n] = '\0';
      return built.error();
    }
    built = &caller_pool();
  }
  g_pool.store(built.value(), std::memory_order_release);
  return built.value();
}

std::string WorkerPool::global_build_failure() { return t_build_failure; }

WorkerPool& WorkerPool::global() {
  Outcome<WorkerPool*> built = try_global();
  if (!built.ok()) fault("The global thread pool has not been initialized.: " + global_build_failure());
  return *built.value();
}

WorkerPool& WorkerPool::current() {
  WorkerThread* worker = t_worker;
  return worker != nullptr ? *worker->pool : global();
}

bool WorkerPool::wait_for_exits(std::size_t started) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (exited_.load(std::memory_order_acquire) < started) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    platform::yield_now();
  }
  return true;
}

void WorkerPool::worker_main(void* record) {
  // A thread entry point: nothing may unwind out of it. Jobs never throw
  // (items report through their outcomes), so anything caught here is an
  // internal fault, such as a deque that could not grow.
  try {
    auto* worker = static_cast<WorkerThread*>(record);
    t_worker = worker;
    WorkerPool* pool = worker->pool;
    pool->wait_until(*worker, *worker->stop);
    t_worker = nullptr;  // told to stop: the thread ends here
    // The last touch of the record: the builder may free it from now on.
    pool->exited_.fetch_add(1, std::memory_order_release);
  } catch (const std::bad_alloc&) {
    fault("memory allocation failed on a worker thread");
  } catch (...) {
    fault("unexpected exception on a worker thread");
  }
}

void WorkerPool::post_local(WorkerThread& worker, PoolJob* job) {
  bool was_empty = worker.deque.empty();
  worker.deque.push(job);
  sleep_.notify_jobs(was_empty);
}

void WorkerPool::post_injected(PoolJob* job) {
  bool was_empty = injected_.push(job);
  sleep_.notify_jobs(was_empty);
}

void WorkerPool::wait_until(WorkerThread& worker, JoinLatch& latch) {
  while (!latch.probe()) {
    if (PoolJob* job = worker.deque.pop()) {
      run_job(job);
      continue;
    }
    IdleState idle = sleep_.start_looking(worker.index);
    PoolJob* found = nullptr;
    while (!latch.probe()) {
      found = find_work(worker);
      if (found != nullptr) break;
      sleep_.no_work_found(idle, latch.core());
    }
    sleep_.work_found();
    if (found != nullptr) run_job(found);
  }
}

PoolJob* WorkerPool::find_work(WorkerThread& worker) {
  if (PoolJob* job = worker.deque.pop()) return job;
  if (PoolJob* job = steal(worker)) return job;
  return injected_.pop();
}

PoolJob* WorkerPool::steal(WorkerThread& worker) {
  std::size_t n = size_;
  if (n <= 1) return nullptr;
  for (;;) {
    bool retry = false;
    std::size_t start = static_cast<std::size_t>(worker.next_random() % n);
    for (std::size_t k = 0; k < n; ++k) {
      std::size_t victim = start + k < n ? start + k : start + k - n;
      if (victim == worker.index) continue;
      Steal<PoolJob*> s = workers_[victim].deque.steal();
      if (s.state == StealState::kSuccess) return s.value;
      if (s.state == StealState::kRetry) retry = true;
    }
    if (!retry) return nullptr;
  }
}

}  // namespace batchaugmentor::parallel
