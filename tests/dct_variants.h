// Every version of the two kernels, scalar reference first, for the tests and
// benchmarks to iterate; the exported entry points last, whichever version
// they chose at load.
#pragma once

#include "src/cpu/cpu.h"
#include "src/dct/dct.h"
#if KELVO4_X86
#include "src/x86/x86.h"
#endif
#if KELVO4_ARM
#include "src/arm/neon.h"
#endif

namespace kelvo4 {

struct DctVersion {
  const char* name;
  unsigned cpu;  // the CPU flags the version needs
  void (*fn)(short* block);
};

#if KELVO4_X86
// The decoder's inverse paths as single-block kernels: the row-skipping form
// with the mask of the block's non-zero rows, and each lane of the two-block
// form beside a different block (the first block reversed).
inline void idctSkipRowsSse2(short* block) {
  unsigned rows = 0;
  for (int i = 0; i < 64; i++) rows |= (block[i] != 0) << (i / 8);
  idctRowsSse2(block, rows);
}
inline void idctPairLowAvx2(short* block) {
  short other[64];
  for (int i = 0; i < 64; i++) other[i] = block[63 - i];
  idctPairAvx2(block, other);
}
inline void idctPairHighAvx2(short* block) {
  short other[64];
  for (int i = 0; i < 64; i++) other[i] = block[63 - i];
  idctPairAvx2(other, block);
}
#endif

inline constexpr DctVersion kIdctVersions[] = {
    {"idct_c", 0, idctC},
#if KELVO4_X86
    {"idct_mmx", kCpuMmx, idctMmxClear},
    {"idct_sse", kCpuSse, idctSse},
    {"idct_sse2", kCpuSse2, idctSse2},
    {"idct_sse2_rows", kCpuSse2, idctSkipRowsSse2},
    {"idct_avx2_pair_lo", kCpuAvx2, idctPairLowAvx2},
    {"idct_avx2_pair_hi", kCpuAvx2, idctPairHighAvx2},
#endif
#if KELVO4_ARM
    {"idct_neon", kCpuNeon, idctNeon},
#endif
    {"idct_exported", 0, Vrel_IDct16_MMX},
};

inline constexpr DctVersion kFdctVersions[] = {
    {"fdct_c", 0, fdctC},
#if KELVO4_X86
    {"fdct_mmx", kCpuMmx, fdctMmx},
    {"fdct_sse", kCpuSse, fdctSse},
    {"fdct_sse2", kCpuSse2, fdctSse2},
#endif
#if KELVO4_ARM
    {"fdct_neon", kCpuNeon, fdctNeon},
#endif
    {"fdct_exported", 0, Vrel_Dct16_MMX},
};

// Clears the MMX state a version may leave behind (a no-op elsewhere).
inline void dctClearMmxState() {
#if KELVO4_X86
  if (cpuFlags() & kCpuMmx) clearMmxState();
#endif
}

}  // namespace kelvo4
