// Internal: the NEON stages of arm/ that decoder/ picks from; they run only
// on processors with NEON.
#pragma once

#include <cstddef>
#include <cstdint>

#include "src/stage/stage_shared.h"

namespace kelvo4 {

void smoothRowsNeon(const BandContext& ctx, const short* src, short* dst, int y0, int y1);
void convertNeon(const short* frame, signed char* out, std::size_t pixels);
void convertArgbNeon(const short* frame, std::uint32_t* out, std::size_t pixels);
void addLumaNeon(short* base, std::ptrdiff_t stride, const short* block);
void addChromaNeon(short* base, std::ptrdiff_t stride, const short* u, const short* v);
BlockKind prepareBlockNeon(const short* quant, const signed char* block, short* out, unsigned& rows);

}  // namespace kelvo4
