// Internal access to decoder handles for the encoder and the tests.
#pragma once

#include "kelvo4/decoder.h"
#include "stages.h"

namespace kelvo4 {

// Test hook: the handle runs the stages of this level (the fastest when the
// processor lacks it).
void useStages(kelvo4_decoder* d, StageLevel level);
// The handle's table as the decoder uses it: 64 factors in natural order.
const short* decoderTable(const kelvo4_decoder* d);
// The prediction the next decode starts from: the current frame filtered
// into dst (3 * width * height samples), rows [y0, y1) only.
void predictNext(const kelvo4_decoder* d, short* dst, int y0, int y1);

}  // namespace kelvo4
