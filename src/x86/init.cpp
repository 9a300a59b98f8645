// The x86 levels of the stages and the DCT kernels, as the tables of generic
// code take them. Built for the baseline: nothing here runs a vector
// instruction, it only names the functions of the levels the flags allow.
#include "src/cpu/cpu.h"
#include "src/stage/band.h"
#include "src/x86/x86.h"

namespace kelvo4 {

namespace {

constexpr Stages kSse2 = {smoothRowsSse2, convertC, convertArgbVia<convertC>,
                          addBandFast<prepareBlockSse2, idctRowsSse2, addLumaC, addChromaC>,
                          decodeBlockSparse<prepareBlockSse2, idctRowsSse2>};
constexpr Stages kSsse3 = {smoothRowsSse2, convertSsse3, convertArgbVia<convertSsse3>,
                           addBandFast<prepareBlockSsse3, idctRowsSse2, addLumaSsse3, addChromaSsse3>,
                           decodeBlockSparse<prepareBlockSsse3, idctRowsSse2>};
constexpr Stages kAvx2 = {smoothRowsAvx2, convertAvx2, convertArgbAvx2,
                          addBandFast<prepareBlockSsse3, idctRowsSse2, addLumaSsse3, addChromaSsse3, true,
                                      addLumaPairAvx2, addChromaPairAvx2>,
                          decodeBlockSparse<prepareBlockSsse3, idctRowsSse2>};

}  // namespace

void initStagesX86(Stages& stages, unsigned flags) {
  if (flags & kCpuSse2) {
    const bool ssse3 = flags & kCpuSsse3;
    stages = ssse3 && (flags & kCpuAvx2) ? kAvx2 : ssse3 ? kSsse3 : kSse2;
  } else if (flags & kCpuSse) {
    stages = kScalarWith<idctRowsSse>;
  } else if (flags & kCpuMmx) {
    stages = kScalarWith<idctRowsMmx>;
  }
}

void initDctX86(DctFunctions& kernels, unsigned flags) {
  // The exported kernels stay the MMX ones on every processor that has MMX.
  if (flags & kCpuMmx) {
    kernels.idct = idctMmxClear;
    kernels.fdct = fdctMmx;
    kernels.fdctClear = fdctMmxClear;
    kernels.idctRows = idctRowsMmx;
  }
  if (flags & kCpuSse) kernels.idctRows = idctRowsSse;
  if (flags & kCpuSse2) kernels.idctRows = idctRowsSse2;
  if ((flags & (kCpuSse2 | kCpuAvx2)) == (kCpuSse2 | kCpuAvx2)) kernels.idctPair = idctPairAvx2;
}

}  // namespace kelvo4
