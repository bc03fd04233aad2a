// The processor probe against what the kernel reports: Linux lists avx2 in
// /proc/cpuinfo only when the processor has it and the OS saves its state.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/cpu.h"

namespace batchaugmentor::platform {
namespace {

bool cpuinfo_lists(const std::string& flag) {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("flags", 0) != 0) continue;
    std::istringstream words(line.substr(line.find(':') + 1));
    std::string word;
    while (words >> word) {
      if (word == flag) return true;
    }
    return false;
  }
  return false;
}

TEST(Cpu, Avx2ProbeAgreesWithTheKernel) {
#if !defined(__x86_64__) && !defined(__i386__)
  // Under qemu-user /proc/cpuinfo may describe the host.
  EXPECT_FALSE(cpu_runs_avx2());
  return;
#endif
  if (!std::ifstream("/proc/cpuinfo")) GTEST_SKIP() << "no /proc/cpuinfo";
  EXPECT_EQ(cpu_runs_avx2(), cpuinfo_lists("avx2"));
}

}  // namespace
}  // namespace batchaugmentor::platform
