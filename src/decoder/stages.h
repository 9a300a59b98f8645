// Internal: the per-row forms of the frame stages, in a scalar reference form
// and the fastest form this processor runs. decodeFrame works band by band
// through them so a band is predicted, corrected and converted while it is
// still in cache; the exported stages run them over the whole frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "src/cpu/cpu.h"
#include "src/stage/stage_shared.h"
// The vector stages of this processor.
#if KELVO4_X86
#include "src/x86/x86.h"
#endif
#if KELVO4_ARM
#include "src/arm/neon.h"
#endif

namespace kelvo4 {

void smoothRowsC(const BandContext& ctx, const short* src, short* dst, int y0, int y1);
void addLumaC(short* base, std::ptrdiff_t stride, const short* block);
void addChromaC(short* base, std::ptrdiff_t stride, const short* u, const short* v);
bool decodeBlockC(const short* quant, const signed char* block, short* out);
void addBandC(BandContext& ctx, const signed char* payload, short* frame, int band);

// Dequantises a 64-byte block into out, in natural order. rows gets bit r
// set for each row r that may hold a non-zero coefficient.
BlockKind prepareBlock(const short* quant, const signed char* block, short* out, unsigned& rows);
// Skips the work that zero coefficients would do: whole zero blocks, lone DC
// coefficients and, where Idct can, the row transforms of zero rows.
template <PrepareBlockFn Prepare, IdctRowsFn Idct>
bool decodeBlockSparse(const short* quant, const signed char* block, short* out);

struct Stages {
  SmoothRowsFn smoothRows;
  ConvertFn convert;
  ConvertArgbFn convertArgb;
  AddBandFn addBand;
  DecodeBlockFn decodeBlock;
};

// Sets of stages by instruction set, for the tests to try each one. Mmx and
// Sse are the scalar stages with the MMX or SSE inverse transform, for 32-bit
// x86 processors without SSE2.
enum class StageLevel {
  Scalar,
  Sse2,
  Ssse3,
  Avx2,
  Neon,
  Mmx,
  Sse,
};
bool stageLevelSupported(StageLevel level);
// The stages of a level; the fastest this processor runs when it lacks it.
const Stages& stagesFor(StageLevel level);
// The fastest stages the CPU flags (with their mask) allow.
const Stages& bestStages();

// Test hooks for the process-wide decoder: use the stages of this level (the
// fastest when unsupported), or the fastest again.
void useStages(StageLevel level);
void useBestStages();

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
