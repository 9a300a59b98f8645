// Internal: what the scalar stages and the vector stages (x86/, arm/) share:
// the band context, the stage function types, the table of a level's stages,
// and the scalar stages (stages_c.cpp) that the vector forms finish with.
#pragma once

#include <cstddef>
#include <cstdint>

#include "src/stage/format.h"

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

// The stages of one level of vector code: the scalar ones (scalarStages),
// with what the ISA folders' init functions put in their place.
struct Stages {
  SmoothRowsFn smoothRows;
  ConvertFn convert;
  ConvertArgbFn convertArgb;
  AddBandFn addBand;
  DecodeBlockFn decodeBlock;
};
Stages scalarStages();

void smoothRowsC(const BandContext& ctx, const short* src, short* dst, int y0, int y1);
void addLumaC(short* base, std::ptrdiff_t stride, const short* block);
void addChromaC(short* base, std::ptrdiff_t stride, const short* u, const short* v);
bool decodeBlockC(const short* quant, const signed char* block, short* out);
void addBandC(BandContext& ctx, const signed char* payload, short* frame, int band);

// Packs 3 * pixels output bytes into pixels 0xFFRRGGBB (the packed-pixel
// tails of the vector conversions).
void packArgb(const signed char* bytes, std::uint32_t* out, std::size_t pixels);
void convertC(const short* frame, signed char* out, std::size_t pixels);

// The inverse transform of a block whose rows outside `rows` (bit r for row
// r) are zero; each level of stages has its own (the SSE2 one skips the row
// transforms of zero rows).
using IdctRowsFn = void (*)(short* block, unsigned rows);

enum class BlockKind {
  Zero,          // the residual is zero
  Residual,      // the residual is ready (a lone DC coefficient)
  Coefficients,  // dequantised coefficients, still to be transformed
};
// prepareBlock for a block with nothing but a DC coefficient (nonzero, its
// nonzeroBytes, is 0 or 1): a zero residual, or the lone DC's residual.
BlockKind prepareClosedForm(const short* quant, const signed char* block, std::uint64_t nonzero, short* out);
// prepareBlock with the block's non-zero bytes (see nonzeroBytes) found.
BlockKind prepareBlockFrom(const short* quant, const signed char* block, std::uint64_t nonzero, short* out,
                           unsigned& rows);
using PrepareBlockFn = BlockKind (*)(const short* quant, const signed char* block, short* out, unsigned& rows);
// Dequantises a 64-byte block into out, in natural order. rows gets bit r
// set for each row r that may hold a non-zero coefficient.
BlockKind prepareBlock(const short* quant, const signed char* block, short* out, unsigned& rows);

// The order in which the paired AVX2 transform takes the 8 coefficients of
// a row, and so the order of each row of the table it is given.
inline constexpr unsigned char kPairedRowOrder[8] = {0, 4, 1, 5, 2, 6, 3, 7};

}  // namespace kelvo4
