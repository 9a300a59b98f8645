#include "src/cpu/cpu.h"

#include <atomic>
#include <cstdlib>

#if defined(__arm__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace kelvo4 {

namespace {

unsigned detect() {
  unsigned flags = 0;
#if KELVO4_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("mmx")) flags |= kCpuMmx;
  // SSE brings the integer extensions to MMX that the SSE kernels use.
  if (__builtin_cpu_supports("sse") && (flags & kCpuMmx)) flags |= kCpuSse;
  if (__builtin_cpu_supports("sse2")) flags |= kCpuSse2;
  if (__builtin_cpu_supports("ssse3")) flags |= kCpuSsse3;
  // The AVX2 stages shuffle with SSSE3 as well.
  if (__builtin_cpu_supports("avx2") && (flags & kCpuSsse3)) flags |= kCpuAvx2;
#elif defined(__aarch64__)
  flags |= kCpuNeon;  // part of every aarch64 processor
#elif defined(__arm__)
  // Optional on 32-bit Arm: the kernel says whether this processor has it.
  if (getauxval(AT_HWCAP) & HWCAP_NEON) flags |= kCpuNeon;
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
