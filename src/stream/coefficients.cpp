// What the coefficient encoder and decoder compute alike: the blocks' layout
// and the frequencies a table's levels give.
#include "src/stream/coefficients.h"

#include <algorithm>

namespace kelvo4 {

using namespace coefficients;

coefficients::BlockLayout::BlockLayout(int width, int height) {
  const int bw = width / 8, bh = height / 8, mw = width / 16, mh = height / 16;
  lumaBlocks = bw * bh;
  blocks = lumaBlocks + 2 * mw * mh;
  left.resize(blocks);
  above.resize(blocks);
  for (int by = 0; by < bh; ++by)
    for (int bx = 0; bx < bw; ++bx) {
      const int b = by * bw + bx;
      left[b] = bx ? b - 1 : -1;
      above[b] = by ? b - bw : -1;
    }
  for (int my = 0; my < mh; ++my)
    for (int mx = 0; mx < mw; ++mx)
      for (int c = 0; c < 2; ++c) {
        const int m = my * mw + mx, b = lumaBlocks + 2 * m + c;
        left[b] = mx ? b - 2 : -1;
        above[b] = my ? b - 2 * mw : -1;
      }
}

Frequencies coefficients::normalise(const std::uint8_t* levels) {
  Frequencies f{};
  std::uint64_t total = 0;
  for (int t = 0; t < kTokens; ++t)
    if (levels[t]) total += weight(levels[t]);
  int sum = 0;
  for (int t = 0; t < kTokens; ++t) {
    if (!levels[t]) continue;
    const auto v = static_cast<int>((weight(levels[t]) * kProbScale + total / 2) / total);
    f[t] = static_cast<std::uint16_t>(std::max(v, 1));
    sum += f[t];
  }
  // Settle the difference on the largest frequencies (the first of equals),
  // never below 1.
  while (sum != static_cast<int>(kProbScale)) {
    const bool over = sum > static_cast<int>(kProbScale);
    int best = -1;
    for (int t = 0; t < kTokens; ++t)
      if (f[t] > (over ? 1 : 0) && (best < 0 || f[t] > f[best])) best = t;
    const int step = over ? -std::min(sum - static_cast<int>(kProbScale), f[best] - 1)
                          : static_cast<int>(kProbScale) - sum;
    f[best] = static_cast<std::uint16_t>(f[best] + step);
    sum += step;
  }
  return f;
}

}  // namespace kelvo4
