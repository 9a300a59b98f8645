// Internal: the vector stages of x86/ that decoder/ picks from; each runs
// only on processors with the instruction set its name ends in.
#pragma once

#include <cstddef>
#include <cstdint>

#include "src/stage/stage_shared.h"

namespace kelvo4 {

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
