// What the processor, with the operating system's help, can run.
//
//   if (platform::cpu_runs_avx2()) ... take the AVX2 path
#pragma once

namespace batchaugmentor::platform {

// True when the processor has AVX2 and the operating system saves the
// 256-bit registers across context switches. Asked of the processor itself
// (cpuid, xgetbv): the compiler runtime's feature tables are not filled in by
// every toolchain (the release build's reported no AVX2 anywhere). Always
// false off x86.
bool cpu_runs_avx2();

}  // namespace batchaugmentor::platform
