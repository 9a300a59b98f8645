// Internal: the per-row forms of the frame stages, in a scalar reference form
// and the fastest form this processor runs. decodeFrame works band by band
// through them so a band is predicted, corrected and converted while it is
// still in cache; the exported stages run them over the whole frame.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvo4 {

// Prediction of rows [y0, y1) of dst from src (see smooth).
using SmoothRowsFn = void (*)(const short* src, short* dst, int y0, int y1);
// Conversion of `pixels` triplets starting at frame to 3 * pixels bytes.
using ConvertFn = void (*)(const short* frame, signed char* out, std::size_t pixels);

// Adds an 8x8 residual block to c0 of the 8x8 pixels whose top-left c0 sample
// is at base; rows are stride samples apart. Sums wrap in 16 bits.
using AddLumaFn = void (*)(short* base, std::ptrdiff_t stride, const short* block);
// Adds the c1 and c2 residual blocks u and v to a 16x16 macroblock whose
// top-left c0 sample is at base, each sample covering 2x2 pixels.
using AddChromaFn = void (*)(short* base, std::ptrdiff_t stride, const short* u, const short* v);
// Decodes a 64-byte block into `in` (see internalIDCT); false when the
// residual is zero and need not be added.
using DecodeBlockFn = bool (*)(const signed char* block);

void smoothRowsC(const short* src, short* dst, int y0, int y1);
void convertC(const short* frame, signed char* out, std::size_t pixels);
void addLumaC(short* base, std::ptrdiff_t stride, const short* block);
void addChromaC(short* base, std::ptrdiff_t stride, const short* u, const short* v);
bool decodeBlockC(const signed char* block);
// Skips the work that zero coefficients would do: whole zero blocks, lone DC
// coefficients and the row transforms of zero rows.
bool decodeBlockSparse(const signed char* block);

// Bit k set when byte k of the 64-byte block is non-zero.
std::uint64_t nonzeroBytes(const signed char* block);
// The inverse transform of a block whose rows outside `rows` (bit r for row
// r) are zero.
void idctRows(short* block, unsigned rows);
#if defined(__x86_64__) || defined(__i386__)
void smoothRowsSse2(const short* src, short* dst, int y0, int y1);
void convertSsse3(const short* frame, signed char* out, std::size_t pixels);
void addLumaSsse3(short* base, std::ptrdiff_t stride, const short* block);
void addChromaSsse3(short* base, std::ptrdiff_t stride, const short* u, const short* v);
#endif

struct Stages {
  SmoothRowsFn smoothRows;
  ConvertFn convert;
  AddLumaFn addLuma;
  AddChromaFn addChroma;
  DecodeBlockFn decodeBlock;
};

// The stages in use: the fastest this processor runs, chosen once.
extern Stages active;
// Test hook: use the scalar stages (true) or the fastest (false).
void forceScalarStages(bool scalar);

}  // namespace kelvo4
