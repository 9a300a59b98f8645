// The levels of a lone block, for the tests and tools that code one.
#include "tools/encoder/encoder.h"
#include "tools/encoder/kernels.h"
#include "tools/encoder/levels.h"

namespace kelvo4 {

long codeBlock(const short* target, const short* quant, signed char* zigzag, int passes) {
  const EncoderKernels& k = bestEncoderKernels();
  alignas(16) short coef[64];
  k.transform(target, coef);
  return k.codeTransformed(target, coef, quant, encoding::Steps(quant), zigzag, passes, nullptr);
}

}  // namespace kelvo4
