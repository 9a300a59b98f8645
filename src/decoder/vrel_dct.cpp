// The DCT kernels of each level, and the exported kernels: one choice of
// version, made when the library is loaded, so a call costs one indirect jump
// and no check of the processor.
#include "src/decoder/stages.h"

namespace kelvo4 {

namespace {

// The scalar references until the choice is made, so a call from another
// library's start-up code, before this one's, is still right.
DctFunctions chosen = kScalarDct;

[[maybe_unused]] const bool choiceMade = [] {
  chosen = dctFunctionsFor(cpuFlags());
  return true;
}();

}  // namespace

DctFunctions dctFunctionsFor(unsigned flags) {
  DctFunctions kernels = kScalarDct;
#if KELVO4_X86
  initDctX86(kernels, flags);
#elif KELVO4_ARM
  initDctArm(kernels, flags);
#else
  (void)flags;
#endif
  return kernels;
}

const DctFunctions& exportedKernels() { return chosen; }

}  // namespace kelvo4

void Vrel_IDct16_MMX(short* block) { kelvo4::chosen.idct(block); }

void Vrel_Dct16_MMX(short* block) { kelvo4::chosen.fdct(block); }

// The same entry under its plain C name, for callers that link by that name
// (as the assembler spells a C name: with a leading underscore on 32-bit
// Windows).
#define KELVO4_TEXT(x) #x
#define KELVO4_C_NAME(prefix, name) KELVO4_TEXT(prefix) name
extern "C" KELVO4_DCT_EXPORT void vrelIDct16MmxPlain(short* block) asm(
    KELVO4_C_NAME(__USER_LABEL_PREFIX__, "Vrel_IDct16_MMX")) __attribute__((alias("_Z15Vrel_IDct16_MMXPs")));
