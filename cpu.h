// Internal: the one place that knows which instruction sets this processor
// has. Kernels and frame stages alike are chosen from these flags.
#pragma once

// The vector code this build carries: x86/ on x86-64 (SSE2 baseline), arm/ on
// aarch64 (NEON baseline), neither elsewhere.
#if defined(__x86_64__)
#define KELVO4_X86 1
#else
#define KELVO4_X86 0
#endif
#if defined(__aarch64__)
#define KELVO4_ARM 1
#else
#define KELVO4_ARM 0
#endif

namespace kelvo4 {

// Instruction sets beyond the portable code. On x86-64 SSE2 is the baseline
// of the build, but it is a flag too, so that a mask can force the scalar
// stages.
enum CpuFlag : unsigned {
  kCpuSse2 = 1u << 0,
  kCpuSsse3 = 1u << 1,
  kCpuAvx2 = 1u << 2,
  kCpuNeon = 1u << 3,
};

// The flags of this processor that the mask leaves. Detected once (any
// thread may ask first); the environment variable KELVO4_CPU_MASK, a number
// (0x for hexadecimal), sets the first mask, so that a user or a test run can
// lower the level of everything the library picks afterwards.
unsigned cpuFlags();

// Test hook: replaces the mask; returns the one before. Stages already chosen
// (the process-wide decoder's at load, a handle's at open) stay.
unsigned setCpuMask(unsigned mask);

}  // namespace kelvo4
