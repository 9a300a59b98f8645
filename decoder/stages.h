// Internal: the per-row forms of the frame stages, in a scalar reference form
// and the fastest form this processor runs. decodeFrame works band by band
// through them so a band is predicted, corrected and converted while it is
// still in cache; the exported stages run them over the whole frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cpu.h"
#include "format.h"

namespace kelvo4 {

// Spreads prefetches of the next band's source rows over the work of the
// current band, so the memory system stays busy while blocks are decoded.
// Each step asks for the next 16 lines; the last step may ask for lines past
// the end, which a prefetch may do (it never faults), so addresses are kept
// as integers.
struct PrefetchCursor {
  std::uintptr_t next = 0, end = 0;
  void begin(const char* from, const char* to) {
    next = reinterpret_cast<std::uintptr_t>(from);
    end = reinterpret_cast<std::uintptr_t>(to);
  }
  void step() {
    if (next >= end) return;
    for (int i = 0; i < 16; ++i) __builtin_prefetch(reinterpret_cast<const void*>(next + 64 * i), 0, 2);
    next += 16 * 64;
  }
};

// What one thread reads and uses besides the frames while it decodes bands:
// the size, the table, and scratch of its own.
struct BandContext {
  int width = 0, height = 0, width3 = 0;
  const short* quant = nullptr;
  short* block = nullptr;  // one coefficient block, 32-byte aligned
  PrefetchCursor prefetch;
};

// Prediction of rows [y0, y1) of dst from src (see smooth).
using SmoothRowsFn = void (*)(const BandContext& ctx, const short* src, short* dst, int y0, int y1);
// Conversion of `pixels` triplets starting at frame to 3 * pixels bytes.
using ConvertFn = void (*)(const short* frame, signed char* out, std::size_t pixels);
// The same conversion to packed pixels 0xFFRRGGBB, a pixel's three output
// bytes read as R, G and B.
using ConvertArgbFn = void (*)(const short* frame, std::uint32_t* out, std::size_t pixels);

// Adds an 8x8 residual block to c0 of the 8x8 pixels whose top-left c0 sample
// is at base; rows are stride samples apart. Sums wrap in 16 bits.
using AddLumaFn = void (*)(short* base, std::ptrdiff_t stride, const short* block);
// Adds the c1 and c2 residual blocks u and v to a 16x16 macroblock whose
// top-left c0 sample is at base, each sample covering 2x2 pixels.
using AddChromaFn = void (*)(short* base, std::ptrdiff_t stride, const short* u, const short* v);
// Adds the residual of the 16-row band `band` of a frame payload to frame:
// luma block rows 2 band and 2 band + 1 and macroblock row `band`.
using AddBandFn = void (*)(BandContext& ctx, const signed char* payload, short* frame, int band);
// Decodes a 64-byte block into out with the table quant (see internalIDCT);
// false when the residual is zero and need not be added.
using DecodeBlockFn = bool (*)(const short* quant, const signed char* block, short* out);

void smoothRowsC(const BandContext& ctx, const short* src, short* dst, int y0, int y1);
void convertC(const short* frame, signed char* out, std::size_t pixels);
// Packs 3 * pixels output bytes into pixels 0xFFRRGGBB (the packed-pixel
// tails of the vector conversions).
void packArgb(const signed char* bytes, std::uint32_t* out, std::size_t pixels);
void addLumaC(short* base, std::ptrdiff_t stride, const short* block);
void addChromaC(short* base, std::ptrdiff_t stride, const short* u, const short* v);
bool decodeBlockC(const short* quant, const signed char* block, short* out);
void addBandC(BandContext& ctx, const signed char* payload, short* frame, int band);
// The inverse transform of a block whose rows outside `rows` (bit r for row
// r) are zero; each level of stages has its own (the SSE2 one skips the row
// transforms of zero rows).
using IdctRowsFn = void (*)(short* block, unsigned rows);

enum class BlockKind {
  Zero,          // the residual is zero
  Residual,      // the residual is ready (a lone DC coefficient)
  Coefficients,  // dequantised coefficients, still to be transformed
};
// Dequantises a 64-byte block into out, in natural order. rows gets bit r
// set for each row r that may hold a non-zero coefficient.
BlockKind prepareBlock(const short* quant, const signed char* block, short* out, unsigned& rows);
// prepareBlock for a block with nothing but a DC coefficient (nonzero, its
// nonzeroBytes, is 0 or 1): a zero residual, or the lone DC's residual.
BlockKind prepareClosedForm(const short* quant, const signed char* block, std::uint64_t nonzero, short* out);
// prepareBlock with the block's non-zero bytes (see nonzeroBytes) found.
BlockKind prepareBlockFrom(const short* quant, const signed char* block, std::uint64_t nonzero, short* out,
                           unsigned& rows);
using PrepareBlockFn = BlockKind (*)(const short* quant, const signed char* block, short* out, unsigned& rows);
// Skips the work that zero coefficients would do: whole zero blocks, lone DC
// coefficients and, where Idct can, the row transforms of zero rows.
template <PrepareBlockFn Prepare, IdctRowsFn Idct>
bool decodeBlockSparse(const short* quant, const signed char* block, short* out);

// The order in which the paired AVX2 transform takes the 8 coefficients of
// a row, and so the order of each row of the table it is given.
inline constexpr unsigned char kPairedRowOrder[8] = {0, 4, 1, 5, 2, 6, 3, 7};

// Bit k set when byte k of the 64-byte block is non-zero.
std::uint64_t nonzeroBytes(const signed char* block);
#if KELVO4_X86
// The vector stages of x86/; each runs only on processors with the
// instruction set its name ends in.
void smoothRowsSse2(const BandContext& ctx, const short* src, short* dst, int y0, int y1);
void smoothRowsAvx2(const BandContext& ctx, const short* src, short* dst, int y0, int y1);
void convertSsse3(const short* frame, signed char* out, std::size_t pixels);
void convertAvx2(const short* frame, signed char* out, std::size_t pixels);
void convertArgbAvx2(const short* frame, std::uint32_t* out, std::size_t pixels);
void addLumaSsse3(short* base, std::ptrdiff_t stride, const short* block);
void addChromaSsse3(short* base, std::ptrdiff_t stride, const short* u, const short* v);
// prepareBlock without per-coefficient work: the whole block permuted,
// widened and multiplied in vector registers.
BlockKind prepareBlockSsse3(const short* quant, const signed char* block, short* out, unsigned& rows);
// prepareBlock with the non-zero bytes found in vector registers.
BlockKind prepareBlockSse2(const short* quant, const signed char* block, short* out, unsigned& rows);
// When both blocks hold coefficients beyond a lone DC value, decodes them
// together without leaving the registers and adds them to c0 of the 16x8
// pixels (8x8 each, side by side) whose top-left sample is at pixels; else
// returns false having done nothing. The rows of quant come in
// kPairedRowOrder.
bool addLumaPairAvx2(const short* quant, const signed char* a, const signed char* b, short* pixels,
                     std::ptrdiff_t stride);
// The same for the c1 and c2 blocks of the macroblock at mb (see addChroma).
bool addChromaPairAvx2(const short* quant, const signed char* u, const signed char* v, short* mb,
                       std::ptrdiff_t stride);
#endif

#if KELVO4_ARM
void smoothRowsNeon(const BandContext& ctx, const short* src, short* dst, int y0, int y1);
void convertNeon(const short* frame, signed char* out, std::size_t pixels);
void convertArgbNeon(const short* frame, std::uint32_t* out, std::size_t pixels);
void addLumaNeon(short* base, std::ptrdiff_t stride, const short* block);
void addChromaNeon(short* base, std::ptrdiff_t stride, const short* u, const short* v);
BlockKind prepareBlockNeon(const short* quant, const signed char* block, short* out, unsigned& rows);
#endif

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
// pixels (at most the frame's), rows without gaps, as three bytes per pixel
// or as packed 0xFFRRGGBB pixels. Both null: no conversion.
struct Output {
  signed char* bytes = nullptr;
  std::uint32_t* argb = nullptr;
  int width = 0, height = 0;
};

// One band of a frame: predicts rows 16 band .. 16 band + 15 of cur from
// prev, adds the band's residual from payload and converts the band's rows
// of the output region. Bands read only prev and their own rows of cur, so
// any number of threads may decode distinct bands of one frame at once.
void decodeBand(const Stages& stages, BandContext& ctx, const signed char* payload, const short* prev, short* cur,
                const Output& out, int band);

}  // namespace kelvo4
