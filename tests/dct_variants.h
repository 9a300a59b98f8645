// Every version of the two kernels, scalar reference first, for the tests and
// benchmarks to iterate; the exported entry points last, whichever version
// they chose at load.
#pragma once

#include "src/dct/dct.h"

namespace kelvo4 {

enum class DctCpu { None, Mmx, Sse, Sse2, Avx2, Neon };

struct DctVersion {
  const char* name;
  DctCpu cpu;  // instruction set the version needs
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
    {"idct_c", DctCpu::None, idctC},
#if KELVO4_X86
    {"idct_mmx", DctCpu::Mmx, idctMmxClear},
    {"idct_sse", DctCpu::Sse, idctSse},
    {"idct_sse2", DctCpu::Sse2, idctSse2},
    {"idct_sse2_rows", DctCpu::Sse2, idctSkipRowsSse2},
    {"idct_avx2_pair_lo", DctCpu::Avx2, idctPairLowAvx2},
    {"idct_avx2_pair_hi", DctCpu::Avx2, idctPairHighAvx2},
#endif
#if KELVO4_ARM
    {"idct_neon", DctCpu::Neon, idctNeon},
#endif
    {"idct_exported", DctCpu::None, Vrel_IDct16_MMX},
};

inline constexpr DctVersion kFdctVersions[] = {
    {"fdct_c", DctCpu::None, fdctC},
#if KELVO4_X86
    {"fdct_mmx", DctCpu::Mmx, fdctMmx},
    {"fdct_sse", DctCpu::Sse, fdctSse},
    {"fdct_sse2", DctCpu::Sse2, fdctSse2},
#endif
#if KELVO4_ARM
    {"fdct_neon", DctCpu::Neon, fdctNeon},
#endif
    {"fdct_exported", DctCpu::None, Vrel_Dct16_MMX},
};

// Whether this processor runs the version, as the CPU flags (with their
// mask) say.
inline bool dctCpuHas(DctCpu cpu) {
  const unsigned flags = cpuFlags();
  switch (cpu) {
    case DctCpu::None: return true;
    case DctCpu::Mmx: return flags & kCpuMmx;
    case DctCpu::Sse: return flags & kCpuSse;
    case DctCpu::Sse2: return flags & kCpuSse2;
    case DctCpu::Avx2: return flags & kCpuAvx2;
    case DctCpu::Neon: return flags & kCpuNeon;
  }
  return false;
}

// Clears the MMX state a version may leave behind (a no-op elsewhere).
inline void dctClearMmxState() {
#if KELVO4_X86
  if (cpuFlags() & kCpuMmx) clearMmxState();
#endif
}

}  // namespace kelvo4
