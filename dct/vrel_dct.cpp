// The exported kernels: the fastest version every processor of the
// architecture runs.
#include "dct.h"

#if KELVO4_X86
#include <mmintrin.h>

void Vrel_IDct16_MMX(short* block) {
  kelvo4::idctMmx(block);
  _mm_empty();
}

void Vrel_Dct16_MMX(short* block) { kelvo4::fdctMmx(block); }
#elif KELVO4_ARM
// NEON unless the CPU mask has taken it away, so that a masked run executes
// only the portable code.
void Vrel_IDct16_MMX(short* block) {
  if (kelvo4::cpuFlags() & kelvo4::kCpuNeon) {
    kelvo4::idctNeon(block);
  } else {
    kelvo4::idctC(block);
  }
}

void Vrel_Dct16_MMX(short* block) {
  if (kelvo4::cpuFlags() & kelvo4::kCpuNeon) {
    kelvo4::fdctNeon(block);
  } else {
    kelvo4::fdctC(block);
  }
}
#else
void Vrel_IDct16_MMX(short* block) { kelvo4::idctC(block); }

void Vrel_Dct16_MMX(short* block) { kelvo4::fdctC(block); }
#endif

// The same entry under its plain C name, for callers that link by that name.
extern "C" KELVO4_DCT_EXPORT void vrelIDct16MmxPlain(short* block) asm("Vrel_IDct16_MMX")
    __attribute__((alias("_Z15Vrel_IDct16_MMXPs")));
