// Internal: the one place that knows which instruction sets this processor
// has. Kernels and frame stages alike are chosen from these flags.
#pragma once

// The vector code this build carries: x86/ on 32- and 64-bit x86, arm/ on
// aarch64 and 32-bit Arm, neither elsewhere. Nothing in x86/ is the baseline
// of 32-bit x86 (an i686 need not have MMX): every level is chosen at run time.
#if defined(__x86_64__) || defined(__i386__)
#define KELVO4_X86 1
#else
#define KELVO4_X86 0
#endif
#if defined(__aarch64__) || defined(__arm__)
#define KELVO4_ARM 1
#else
#define KELVO4_ARM 0
#endif

namespace kelvo4 {

// The instruction sets beyond the portable code, as the bits of a flag mask
// (KELVO4_CPU_MASK takes these values). On x86-64 MMX, SSE and SSE2 and on
// aarch64 NEON are the baseline of the build, but they are flags too, so
// that a mask can force the scalar stages and kernels.
enum CpuFlag : unsigned {
  kCpuSse2 = 1u << 0,
  kCpuSsse3 = 1u << 1,
  kCpuAvx2 = 1u << 2,
  kCpuNeon = 1u << 3,
  kCpuMmx = 1u << 4,
  kCpuSse = 1u << 5,  // the integer extensions to MMX (word shuffles)
};

// The levels of vector code, lowest first, each named and given as the flags
// it needs: a function table built for just a level's flags holds that
// level's functions (on x86 the MMX and SSE levels are the 32-bit ones
// without SSE2). Every table is built for a mask (the stages by
// stagesFor, the kernels by dctFunctionsFor), so tests and benchmarks reach
// each level by its flags.
struct CpuLevel {
  const char* name;
  unsigned flags;
};
inline constexpr CpuLevel kCpuLevels[] = {
    {"scalar", 0},
#if KELVO4_X86
    {"mmx", kCpuMmx},
    {"sse", kCpuSse},
    {"sse2", kCpuSse2},
    {"ssse3", kCpuSse2 | kCpuSsse3},
    {"avx2", kCpuSse2 | kCpuSsse3 | kCpuAvx2},
#endif
#if KELVO4_ARM
    {"neon", kCpuNeon},
#endif
};

// The flags of this processor that the mask leaves. Detected once (any
// thread may ask first); the environment variable KELVO4_CPU_MASK, a number
// (0x for hexadecimal), sets the first mask, so that a user or a test run can
// lower the level of everything the library picks afterwards.
unsigned cpuFlags();

// Test hook: replaces the mask; returns the one before. Stages and kernels
// already chosen (the exported kernels and the process-wide decoder's stages
// at load, a handle's at open) stay.
unsigned setCpuMask(unsigned mask);

// Whether this processor, under the mask, has every one of these flags.
inline bool cpuHas(unsigned flags) { return (cpuFlags() & flags) == flags; }

}  // namespace kelvo4
