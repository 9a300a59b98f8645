// The components nearest to a colour under the decoder's conversion.
#include <cmath>

#include "tools/encoder/encoder.h"
#include "src/stage/format.h"

namespace kelvo4 {

std::array<int, 3> rgbToComponents(int r, int g, int b) {
  // c + (c >> 2) is close to 1.25c - 0.375, which the starting points invert.
  auto inverse = [](int d) { return static_cast<int>(std::floor((d + 0.375) / 1.25)); };
  const int base = static_cast<int>(std::lround((r + g + b) / 3.0));
  // Near 0 or 255 a channel can clamp, and components well beyond the linear
  // inverse may then come closer: search wider there.
  auto edge = [](int v) { return v < kInnerLow || v > kInnerHigh; };
  const bool clamped = edge(r) || edge(g) || edge(b);
  const int reach0 = clamped ? 3 : 1, lo = clamped ? -3 : -1, hi = clamped ? 4 : 2;
  std::array<int, 3> best{};
  int bestErr = -1;
  for (int d0 = 0; d0 <= 2 * reach0; ++d0) {
    // Candidates nearest the linear inverse come first and win ties.
    const int c0 = base + (d0 % 2 ? -(d0 + 1) / 2 : d0 / 2);
    const int c2Lo = inverse(c0 - r), c1Lo = inverse(c0 - g);
    for (int c2 = c2Lo + lo; c2 <= c2Lo + hi; ++c2) {
      for (int c1 = c1Lo + lo; c1 <= c1Lo + hi; ++c1) {
        const auto out = kelvo4::convertPixel(c0, c1, c2);
        const int er = out[0] - r, eg = out[1] - g, eb = out[2] - b;
        const int err = er * er + eg * eg + eb * eb;
        if (bestErr < 0 || err < bestErr) {
          bestErr = err;
          best = {c0, c1, c2};
        }
      }
    }
  }
  return best;
}

}  // namespace kelvo4
