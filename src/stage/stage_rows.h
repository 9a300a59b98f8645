// Internal: the parts of the stages that every level shares, written once;
// a level supplies only its vector operations. Internal linkage throughout,
// so that each file built for an instruction set keeps its own copies (see
// tests/isa).
#pragma once

#include <cstdint>

#include "src/stage/stage_shared.h"

namespace kelvo4 {
namespace {

// Quotient of the wrapped 16-bit sum of four samples by 4, truncated toward
// zero.
inline short quarterOfSum(int l, int r, int u, int d) {
  int s = static_cast<std::int16_t>(static_cast<std::uint16_t>(l + r + u + d));
  if (s < 0) s += 3;
  return static_cast<short>(s >> 2);
}

// The prediction of rows [y0, y1) of dst from src (see smooth). The interior
// of each row goes through the vector steps, widest first: Step::smooth
// predicts samples [i, end) in whole vectors and returns where it stopped.
template <class... Step>
void smoothRowsWith(const BandContext& ctx, const short* src, short* dst, int y0, int y1) {
  const int w = ctx.width;
  if (w <= 0) return;
  const std::ptrdiff_t stride = ctx.width3, end = stride - 3;
  for (int y = y0; y < y1; ++y) {
    const short* row = src + y * stride;
    const short* up = y > 0 ? row - stride : row;
    const short* down = y < ctx.height - 1 ? row + stride : row;
    short* out = dst + y * stride;
    // Edge pixels stand in for their missing horizontal neighbour.
    for (int k = 0; k < 3; ++k) {
      const std::ptrdiff_t last = end + k;
      out[k] = quarterOfSum(row[k], row[w > 1 ? 3 + k : k], up[k], down[k]);
      if (w > 1) out[last] = quarterOfSum(row[last - 3], row[last], up[last], down[last]);
    }
    // Interior samples: left and right are 3 samples away.
    std::ptrdiff_t i = 3;
    ((i = Step::smooth(row, up, down, out, i, end)), ...);
    for (; i < end; ++i) out[i] = quarterOfSum(row[i - 3], row[i + 3], up[i], down[i]);
  }
}

// The output conversion (see convertPixel) on lanes of components, before
// the clamp: V supplies wrapping 16-bit add and sub and an arithmetic shift
// by 2. With g = c + (c >> 2) for c1 and c2, the first two outputs are
// c0 - g2 and c0 - g1, and the third, 3 c0 less both, is c0 + g1 + g2
// (modulo 2^16 throughout).
template <class V, class Vec>
inline void convertLanes(Vec c0, Vec c1, Vec c2, Vec& first, Vec& second, Vec& third) {
  const Vec g1 = V::add(c1, V::shift2(c1)), g2 = V::add(c2, V::shift2(c2));
  first = V::sub(c0, g2);
  second = V::sub(c0, g1);
  third = V::add(V::add(c0, g1), g2);
}

}  // namespace
}  // namespace kelvo4
