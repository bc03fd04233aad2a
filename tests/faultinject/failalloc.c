/* An allocator shim for LD_PRELOAD that fails one chosen allocation.
 *
 *   faultinject_arm(0);          count allocations from now on
 *   faultinject_arm(n);          ... and fail the n-th one (n >= 1), once
 *   long seen = faultinject_disarm();   stop; allocations seen while armed
 *   int hit = faultinject_fired();      whether the n-th one was reached
 *
 * Every thread's allocations count, the worker threads' included. The real
 * allocator is glibc's, reached through its __libc_* entry points, which
 * (unlike dlsym) never allocate themselves. free() is left alone. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdatomic.h>
#include <stddef.h>
#include <string.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);

static atomic_int g_armed;
static atomic_long g_seen;
static atomic_long g_target; /* 0: count only */
static atomic_int g_fired;

void faultinject_arm(long n) {
  atomic_store(&g_seen, 0);
  atomic_store(&g_target, n);
  atomic_store(&g_fired, 0);
  atomic_store(&g_armed, 1);
}

long faultinject_disarm(void) {
  atomic_store(&g_armed, 0);
  return atomic_load(&g_seen);
}

int faultinject_fired(void) { return atomic_load(&g_fired); }

/* True when this allocation is the one to fail. */
static int should_fail(void) {
  if (!atomic_load_explicit(&g_armed, memory_order_relaxed)) return 0;
  long n = atomic_fetch_add(&g_seen, 1) + 1;
  if (n != atomic_load(&g_target)) return 0;
  atomic_store(&g_fired, 1);
  return 1;
}

void* malloc(size_t size) {
  if (should_fail()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  if (should_fail()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_calloc(count, size);
}

void* realloc(void* old, size_t size) {
  if (should_fail()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_realloc(old, size);
}

void* memalign(size_t alignment, size_t size) {
  if (should_fail()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void** out, size_t alignment, size_t size) {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* p = memalign(alignment, size);
  if (p == NULL) return ENOMEM;
  *out = p;
  return 0;
}
