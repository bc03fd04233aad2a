#include "platform/cpu.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace batchaugmentor::platform {

#if defined(__x86_64__) || defined(__i386__)

namespace {

bool probe_avx2() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  constexpr unsigned kOsxsave = 1u << 27, kAvx = 1u << 28;
  if ((c & kOsxsave) == 0 || (c & kAvx) == 0) return false;
  // XCR0 bits 1 and 2: the OS saves the XMM and the upper YMM halves.
  unsigned lo = 0, hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  if ((lo & 0x6u) != 0x6u) return false;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  constexpr unsigned kAvx2 = 1u << 5;
  return (b & kAvx2) != 0;
}

}  // namespace

bool cpu_runs_avx2() {
  static const bool runs = probe_avx2();
  return runs;
}

#else

bool cpu_runs_avx2() { return false; }

#endif

}  // namespace batchaugmentor::platform
