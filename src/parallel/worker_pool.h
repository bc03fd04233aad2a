// WorkerPool: the process-wide set of worker threads that run batch items,
// and its fork-join primitive.
//
//   WorkerPool& pool = WorkerPool::global();      // built on first use
//   auto [left, right] = pool.join(
//       [&](bool moved) { return sum(lo, mid); },
//       [&](bool moved) { return sum(mid, hi); });
//
// join runs both tasks, possibly in parallel, and returns when both are
// done. `moved` tells a task whether it runs on a different thread than the
// join's caller (always true for a join entered from outside the pool, in
// which case the calling thread blocks until a worker has run the join).
//
// Each worker owns a WorkerDeque; threads outside the pool post through the
// InjectionQueue. An idle worker pops its own deque, then steals the oldest
// job of another worker (victims tried from a random start), then takes from
// the queue; after 32 fruitless rounds of yielding it sleeps (see Sleep).
// Job records live in the stack frame of the thread that waits for them;
// nothing is allocated per job.
//
// The pool is never torn down. In a child made by fork() the workers do not
// exist, so the child's first batch builds a pool of its own; the parent's
// records are left alone (and leaked) because a worker may have been halfway
// through changing them when the fork happened.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "common/cancel.h"
#include "common/fault.h"
#include "common/outcome.h"
#include "parallel/deque.h"
#include "parallel/injection_queue.h"
#include "parallel/latch.h"
#include "parallel/sleep.h"

namespace batchaugmentor::parallel {

// A job as the scheduler sees it: what to run and on what.
struct PoolJob {
  void (*execute)(void* data);
  void* data;
};

class WorkerPool;

// One worker's record.
struct WorkerThread {
  WorkerPool* pool = nullptr;
  std::size_t index = 0;
  WorkerDeque<PoolJob*> deque;
  std::uint64_t random_state = 1;  // xorshift64*, never 0
  std::optional<JoinLatch> stop;   // set only to stop a worker of a failed build

  std::uint64_t next_random();
};

// Starts a detached thread; kSystem, with the OS error number, when it cannot.
using ThreadStarter = Outcome<> (*)(void (*entry)(void*), void* argument, std::size_t stack_bytes);

// "+4" -> 4, "007" -> 7; nothing for "", "+", " 4", "-1", "4a" or a value
// beyond 64 bits.
std::optional<std::uint64_t> parse_count(std::string_view text);

// Thread count from "RAYON_NUM_THREADS" (1 or more: that many; 0: the
// processor count), then, only when that one is unset or not a number,
// "RAYON_RS_NUM_CPUS" (0: the processor count), else the processor count;
// at least 1, at most 65535.
std::size_t thread_count_from_environment();

// What a thread outside the pool does while it waits for a batch it handed
// in: every kPollInterval it calls poll(context), and the first time that
// returns true it requests `cancel` and then just waits for the batch to
// wind down. Installed for the current thread by ScopedWaitHook.
struct WaitHook {
  static constexpr std::chrono::milliseconds kPollInterval{50};
  bool (*poll)(void* context);
  void* context;
  CancelFlag* cancel;
};

class ScopedWaitHook {
 public:
  explicit ScopedWaitHook(WaitHook* hook);
  ~ScopedWaitHook();
  ScopedWaitHook(const ScopedWaitHook&) = delete;
  ScopedWaitHook& operator=(const ScopedWaitHook&) = delete;

 private:
  WaitHook* previous_;
};

// Worker stack size in bytes: "BATCHAUGMENTOR_STACK_SIZE" (same parsing
// rule) or 2 MiB. Read once per process.
std::size_t worker_stack_bytes();

class WorkerPool {
 public:
  static constexpr std::size_t kMaxThreads = 65535;

  // The process-wide pool, built under a one-time guard on the first call.
  // A failed build is fatal here; callers that can report it use try_global.
  static WorkerPool& global();

  // The process-wide pool, or kSystem (with the OS error number) when it
  // could not be built. A failed build leaves nothing behind (the threads it
  // started are stopped) and the next call tries again.
  //
  //   Outcome<WorkerPool*> pool = WorkerPool::try_global();
  //   if (!pool.ok()) report(WorkerPool::global_build_failure());
  static Outcome<WorkerPool*> try_global();
  // Why the calling thread's last try_global failed, in words: it names the
  // variables, the thread count and the OS error.
  static std::string global_build_failure();
  // The pool of the calling worker thread, or the global one.
  static WorkerPool& current();
  // N of current().
  static std::size_t thread_count() { return current().size(); }

  // Builds a pool of `threads` workers, each started with `start`; a
  // failure is the starter's. On failure the workers already started are
  // told to stop and the record is freed once they have left. Built pools
  // are never destroyed: their threads may outlive any owner.
  static Outcome<WorkerPool*> build(std::size_t threads, ThreadStarter start);
  // build(), with the fallback for a platform without threads: one worker,
  // which is the calling thread itself. Any other failure is fatal.
  static WorkerPool& build_or_fault(std::size_t threads, ThreadStarter start);

  std::size_t size() const { return size_; }
  // True for the fallback pool that started no thread.
  bool runs_in_caller() const { return in_caller_; }

  template <class A, class B>
  auto join(A&& a, B&& b);

  // The calling thread's worker record if it is a worker of any pool.
  static WorkerThread* current_worker();

  // Scheduler internals, public for the templates below and for tests.
  void post_local(WorkerThread& worker, PoolJob* job);
  void post_injected(PoolJob* job);
  void wait_until(WorkerThread& worker, JoinLatch& latch);
  static void run_job(PoolJob* job) { job->execute(job->data); }
  Sleep& sleep() { return sleep_; }

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

 private:
  explicit WorkerPool(std::size_t threads);
  // build(), counting in `started` the workers started before a failure.
  static Outcome<WorkerPool*> build(std::size_t threads, ThreadStarter start, std::size_t& started);
  static void worker_main(void* record);
  // The one-worker pool of a platform without threads: the calling thread.
  static WorkerPool& caller_pool();
  // After a failed build: true once `started` stopped workers have left.
  bool wait_for_exits(std::size_t started);

  template <class A, class B>
  auto join_on_worker(WorkerThread& worker, A& a, B& b, bool injected);
  template <class Op>
  auto run_injected(Op& op);

  PoolJob* find_work(WorkerThread& worker);
  PoolJob* steal(WorkerThread& worker);

  std::size_t size_;
  bool in_caller_ = false;
  std::unique_ptr<WorkerThread[]> workers_;
  InjectionQueue<PoolJob*> injected_;
  Sleep sleep_;
  std::atomic<std::size_t> exited_{0};  // workers stopped after a failed build
};

// The hook installed for the calling thread, or null.
WaitHook* current_wait_hook();

// Touches this library's thread-local state on the calling thread, so that
// its storage exists before a call starts allocating.
void prepare_calling_thread();

namespace internal {

// The second half of a join, waiting in its creator's frame to be run by
// whoever gets to it first.
template <class B>
struct StackJob {
  using Result = std::invoke_result_t<B&, bool>;
  StackJob(B& task, Sleep& sleep, std::size_t owner) : task(task), latch(sleep, owner) {}

  static void execute(void* data) {
    auto* self = static_cast<StackJob*>(data);
    self->result.emplace(self->task(true));  // stolen: runs on another worker
    self->latch.set();  // the frame may vanish from here on
  }

  B& task;
  JoinLatch latch;
  std::optional<Result> result;
};

// A whole join handed in from outside the pool.
template <class Op>
struct InjectedJob {
  using Result = std::invoke_result_t<Op&, WorkerThread&, bool>;

  static void execute(void* data) {
    auto* self = static_cast<InjectedJob*>(data);
    WorkerThread* worker = WorkerPool::current_worker();
    bool injected = true;  // only the injection queue ever holds this job
    if (!(injected && worker != nullptr && worker->pool == self->pool)) {
      fault("assertion failed: injected && !worker_thread.is_null()");
    }
    self->result.emplace(self->op(*worker, true));
    self->latch->set();  // the frame may vanish from here on
  }

  WorkerPool* pool;
  Op& op;
  CallerLatch* latch;
  std::optional<Result> result;
};

}  // namespace internal

template <class A, class B>
auto WorkerPool::join(A&& a, B&& b) {
  WorkerThread* worker = current_worker();
  if (worker != nullptr && worker->pool == this) return join_on_worker(*worker, a, b, false);
  if (in_caller_) {
    // The fallback pool has no threads to hand work to: whichever thread
    // calls runs both halves itself.
    using RA = std::invoke_result_t<A&, bool>;
    using RB = std::invoke_result_t<B&, bool>;
    RA ra = a(false);
    RB rb = b(false);
    return std::pair<RA, RB>(std::move(ra), std::move(rb));
  }
  auto op = [&](WorkerThread& w, bool injected) { return join_on_worker(w, a, b, injected); };
  return run_injected(op);
}

template <class A, class B>
auto WorkerPool::join_on_worker(WorkerThread& worker, A& a, B& b, bool injected) {
  using RA = std::invoke_result_t<A&, bool>;
  using RB = std::invoke_result_t<B&, bool>;
  internal::StackJob<B> job_b(b, sleep_, worker.index);
  PoolJob ref{&internal::StackJob<B>::execute, &job_b};
  post_local(worker, &ref);

  RA ra = a(injected);

  while (!job_b.latch.probe()) {
    PoolJob* job = worker.deque.pop();
    if (job == &ref) {
      // Nobody stole b: run it here, with the join's own flag.
      RB rb = b(injected);
      return std::pair<RA, RB>(std::move(ra), std::move(rb));
    }
    if (job == nullptr) {
      // b was stolen; help others until it is done.
      wait_until(worker, job_b.latch);
      break;
    }
    run_job(job);  // left behind by a
  }
  if (!job_b.result) fault("internal error: entered unreachable code");
  return std::pair<RA, RB>(std::move(ra), std::move(*job_b.result));
}

template <class Op>
auto WorkerPool::run_injected(Op& op) {
  CallerLatch latch;
  internal::InjectedJob<Op> job{this, op, &latch, std::nullopt};
  PoolJob ref{&internal::InjectedJob<Op>::execute, &job};
  post_injected(&ref);
  if (WaitHook* hook = current_wait_hook()) {
    // The hook may run arbitrary code (signal handlers), but the job's
    // frame stays put: this loop leaves only once the latch is set.
    bool requested = false;
    while (!latch.wait_for(WaitHook::kPollInterval)) {
      if (!requested && hook->poll(hook->context)) {
        hook->cancel->request();
        requested = true;
      }
    }
  } else {
    latch.wait();
  }
  // The latch's mutex orders the worker's write of the result before this read.
  if (!job.result) fault("internal error: entered unreachable code");
  return std::move(*job.result);
}

}  // namespace batchaugmentor::parallel
