// SSE2 stages: the prediction on 16-bit lanes, whose wrap-around is exactly
// the decoder's arithmetic, and the search for a block's non-zero bytes.
#include "src/x86/stages_x86.h"

namespace kelvo4 {

void smoothRowsSse2(const BandContext& ctx, const short* src, short* dst, int y0, int y1) {
  smoothRowsWith<SmoothStepSse2>(ctx, src, dst, y0, y1);
}

std::uint64_t nonzeroBytesSse2(const signed char* block) {
  std::uint64_t zero = 0;
  for (int i = 0; i < 4; ++i) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i));
    zero |= static_cast<std::uint64_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128()))) << (16 * i);
  }
  return ~zero;
}

BlockKind prepareBlockSse2(const short* quant, const signed char* block, short* out, unsigned& rows) {
  return prepareBlockFrom(quant, block, nonzeroBytesSse2(block), out, rows);
}

}  // namespace kelvo4
