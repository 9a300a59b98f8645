// Internal: the vector code of x86/, the init functions that put it in the
// tables of generic code, and the functions themselves for the tests and the
// encoder's vector code; each runs only on processors with the instruction
// set its name ends in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "src/dct/dct.h"
#include "src/stage/stage_shared.h"

namespace kelvo4 {

// Put in the stages, and the DCT kernels, the fastest x86 forms that the
// flags allow.
void initStagesX86(Stages& stages, unsigned flags);
void initDctX86(DctFunctions& kernels, unsigned flags);

// MMX bodies of the exported kernels, for processors with MMX; idctMmx
// leaves the MMX state set, idctMmxClear clears it.
void idctMmx(short* block);
void idctMmxClear(short* block);
void fdctMmx(short* block);
void fdctMmxClear(short* block);
// Clears the MMX state; for processors with MMX only.
void clearMmxState();

// Variants for the SSE integer extensions (word shuffles), same results as the
// MMX kernels; neither clears the MMX state.
void idctSse(short* block);
void fdctSse(short* block);

// The inverse transforms as the frame stages take them (see IdctRowsFn):
// every row transformed, the MMX state cleared after each block, since
// 32-bit x86 computes floating point on the x87 registers MMX shares.
void idctRowsMmx(short* block, unsigned rows);
void idctRowsSse(short* block, unsigned rows);

// Inverse on 128-bit registers: rows one at a time, all eight columns at once.
void idctSse2(short* block);
// The same for a block whose rows outside `rows` (bit r for row r) are all
// zero: those rows skip the row transform.
void idctRowsSse2(short* block, unsigned rows);

// Forward on 128-bit registers, all eight columns at once, then two rows at
// a time. The second form reads in and writes out, which may be the same.
void fdctSse2(short* block);
void fdctSse2(const short* in, short* out);

// Two independent blocks at once on 256-bit registers (AVX2 processors only).
void idctPairAvx2(short* a, short* b);

// nonzeroBytes in SSE2.
std::uint64_t nonzeroBytesSse2(const signed char* block);

// The row tables in the layouts of the kernels (dct_tables.cpp), hidden as
// those of dct/dct_tables.h.
#pragma GCC visibility push(hidden)
extern const RowTables kIdctRowMmx, kIdctRowSse, kIdctRowAvx2, kFdctRowSse2;
#pragma GCC visibility pop

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

}  // namespace kelvo4
