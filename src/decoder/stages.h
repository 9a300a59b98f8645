// Internal: the per-row forms of the frame stages, as the level chosen for
// this processor has them. decodeFrame works band by band through them so a
// band is predicted, corrected and converted while it is still in cache; the
// exported stages run them over the whole frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "src/cpu/cpu.h"
#include "src/dct/dct.h"
#include "src/stage/stage_shared.h"
// The init functions of this processor's vector code.
#if KELVO4_X86
#include "src/x86/x86.h"
#endif
#if KELVO4_ARM
#include "src/arm/neon.h"
#endif

namespace kelvo4 {

// The stages of the levels these flags allow (within those the processor
// has: see kCpuLevels), the scalar stages with what the ISA folder of this
// processor puts in their place.
Stages stagesFor(unsigned flags);

// The DCT kernels of the levels these flags allow, as stagesFor.
DctFunctions dctFunctionsFor(unsigned flags);
// The kernels the exported entry points run: those of the processor's flags
// (with their mask) when the library was loaded.
const DctFunctions& exportedKernels();

// Test hook for the process-wide decoder: use the stages of the processor's
// flags within `flags` (~0u: the fastest again).
void useStages(unsigned flags);

// A table entry: truncated toward zero; anything outside 16 bits, and NaN,
// gives -32768.
short toFactor(float v);
// Fills `samples` samples with the initial frame (0, 128, 128) per pixel.
void fillInitialFrame(short* frame, std::size_t samples);
// The number of 16-row bands of a frame `height` rows high.
int bandCount(int height);
// Blocks in a payload of this size.
int blockCount(int width, int height);

// Where a decode puts the converted frame: the top-left width x height
// pixels (at most the frame's), as three bytes per pixel or as packed
// 0xFFRRGGBB pixels, row y at y * stride bytes (0: rows without gaps). The
// packed pixels may lie at any address. Both null: no conversion.
struct Output {
  signed char* bytes = nullptr;
  unsigned char* argb = nullptr;
  int width = 0, height = 0;
  std::size_t stride = 0;
};

// One band of a frame: predicts rows 16 band .. 16 band + 15 of cur from
// prev, adds the band's residual from payload and converts the band's rows
// of the output region. Bands read only prev and their own rows of cur, so
// any number of threads may decode distinct bands of one frame at once.
// With `predicted`, cur holds the prediction already and prev is not read.
void decodeBand(const Stages& stages, BandContext& ctx, const signed char* payload, const short* prev, short* cur,
                const Output& out, int band, bool predicted = false);

}  // namespace kelvo4
