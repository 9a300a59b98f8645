// The exported kernels: one choice of version, made when the library is
// loaded, so a call costs one indirect jump and no check of the processor.
#include "src/dct/dct.h"

namespace kelvo4 {

namespace {

// The scalar references until the choice is made, so a call from another
// library's start-up code, before this one's, is still right.
ExportedKernels chosen = {idctC, fdctC, fdctC};

[[maybe_unused]] const bool choiceMade = [] {
  const unsigned flags = cpuFlags();
#if KELVO4_X86
  if (flags & kCpuMmx) chosen = {idctMmxClear, fdctMmx, fdctMmxClear};
#elif KELVO4_ARM
  if (flags & kCpuNeon) chosen = {idctNeon, fdctNeon, fdctNeon};
#else
  (void)flags;
#endif
  return true;
}();

}  // namespace

const ExportedKernels& exportedKernels() { return chosen; }

}  // namespace kelvo4

void Vrel_IDct16_MMX(short* block) { kelvo4::chosen.idct(block); }

void Vrel_Dct16_MMX(short* block) { kelvo4::chosen.fdct(block); }

// The same entry under its plain C name, for callers that link by that name.
extern "C" KELVO4_DCT_EXPORT void vrelIDct16MmxPlain(short* block) asm("Vrel_IDct16_MMX")
    __attribute__((alias("_Z15Vrel_IDct16_MMXPs")));
