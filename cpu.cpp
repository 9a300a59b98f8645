#include "cpu.h"

#include <atomic>
#include <cstdlib>

namespace kelvo4 {

namespace {

unsigned detect() {
  unsigned flags = 0;
#if KELVO4_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("sse2")) flags |= kCpuSse2;
  if (__builtin_cpu_supports("ssse3")) flags |= kCpuSsse3;
  // The AVX2 stages shuffle with SSSE3 as well.
  if (__builtin_cpu_supports("avx2") && (flags & kCpuSsse3)) flags |= kCpuAvx2;
#elif KELVO4_ARM
  flags |= kCpuNeon;  // part of every aarch64 processor
#endif
  return flags;
}

unsigned maskFromEnvironment() {
  const char* text = std::getenv("KELVO4_CPU_MASK");
  if (text == nullptr || *text == '\0') return ~0u;
  char* end = nullptr;
  const unsigned long mask = std::strtoul(text, &end, 0);
  return *end == '\0' ? static_cast<unsigned>(mask) : ~0u;
}

std::atomic<unsigned>& mask() {
  static std::atomic<unsigned> m{maskFromEnvironment()};
  return m;
}

}  // namespace

unsigned cpuFlags() {
  static const unsigned detected = detect();
  return detected & mask().load(std::memory_order_relaxed);
}

unsigned setCpuMask(unsigned m) { return mask().exchange(m, std::memory_order_relaxed); }

}  // namespace kelvo4
