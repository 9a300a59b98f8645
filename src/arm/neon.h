// Internal: the NEON code of arm/, the init functions that put it in the
// tables of generic code, and the functions themselves for the tests; they
// run only on processors with NEON.
#pragma once

#include <cstddef>
#include <cstdint>

#include "src/dct/dct.h"
#include "src/stage/stage_shared.h"

namespace kelvo4 {

// Put in the stages, and the DCT kernels, the NEON forms when the flags
// allow them.
void initStagesArm(Stages& stages, unsigned flags);
void initDctArm(DctFunctions& kernels, unsigned flags);

// Same results as the scalar references.
void idctNeon(short* block);
void fdctNeon(short* block);

void smoothRowsNeon(const BandContext& ctx, const short* src, short* dst, int y0, int y1);
void convertNeon(const short* frame, signed char* out, std::size_t pixels);
void convertArgbNeon(const short* frame, std::uint32_t* out, std::size_t pixels);
void addLumaNeon(short* base, std::ptrdiff_t stride, const short* block);
void addChromaNeon(short* base, std::ptrdiff_t stride, const short* u, const short* v);
BlockKind prepareBlockNeon(const short* quant, const signed char* block, short* out, unsigned& rows);

}  // namespace kelvo4
