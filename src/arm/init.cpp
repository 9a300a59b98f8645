// The NEON level of the stages and the DCT kernels, as the tables of generic
// code take them. Built for the baseline (on 32-bit Arm NEON is above it):
// nothing here runs a vector instruction.
#include "src/arm/neon.h"
#include "src/cpu/cpu.h"
#include "src/stage/band.h"

namespace kelvo4 {

namespace {

void idctRowsNeon(short* block, unsigned) { idctNeon(block); }

constexpr Stages kNeon = {smoothRowsNeon, convertNeon, convertArgbNeon,
                          addBandFast<prepareBlockNeon, idctRowsNeon, addLumaNeon, addChromaNeon>,
                          decodeBlockSparse<prepareBlockNeon, idctRowsNeon>};

}  // namespace

void initStagesArm(Stages& stages, unsigned flags) {
  if (flags & kCpuNeon) stages = kNeon;
}

void initDctArm(DctFunctions& kernels, unsigned flags) {
  if (flags & kCpuNeon) {
    kernels.idct = idctNeon;
    kernels.fdct = fdctNeon;
    kernels.fdctClear = fdctNeon;
    kernels.idctRows = idctRowsNeon;
  }
}

}  // namespace kelvo4
