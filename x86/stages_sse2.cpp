// SSE2 prediction: 16-bit lanes, whose wrap-around is exactly the decoder's
// arithmetic. SSE2 is the x86-64 baseline.
#include "stages_x86.h"

namespace kelvo4 {

void smoothRowsSse2(const BandContext& ctx, const short* src, short* dst, int y0, int y1) {
  smoothRowsWith<SmoothStepSse2>(ctx, src, dst, y0, y1);
}

}  // namespace kelvo4
