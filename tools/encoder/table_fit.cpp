// The table of each frame, fitted to its coefficient statistics.
#include <algorithm>
#include <cmath>
#include <vector>

#include "tools/encoder/encoder.h"
#include "tools/encoder/levels.h"
#include "src/platform/platform.h"

namespace kelvo4 {

using encoding::kBins;
using encoding::kChromaWeight;
using encoding::kMaxFactor;
using encoding::plainBits;

Encoder::Statistics::Statistics(int threads)
    : histograms(static_cast<std::size_t>(threads)),
      tops(static_cast<std::size_t>(threads)),
      spread(static_cast<std::size_t>(threads)) {
  for (auto& h : histograms) os::growPrefaulted(h, 2 * 64 * kBins, true);
}

void Encoder::Statistics::clear() {
  // Only the counted part of each histogram needs clearing.
  for (std::size_t t = 0; t < histograms.size(); ++t) {
    const std::size_t top = *std::max_element(tops[t].begin(), tops[t].end());
    std::fill_n(histograms[t].begin(), top * 128, 0u);
    tops[t].fill(0);
    spread[t] = 0;
  }
}

Table Encoder::fitTable(const Statistics& statistics, bool hold, double* total) const {
  // Per position, the factor with the least squared error plus lambda times
  // bits over the frame's coefficients, each taking roughly the level that the
  // choice of levels would give it: the one with the least error plus lambda
  // times a guess of its bits (a token that grows with the magnitude class,
  // the plain bits; a zero costs nothing). Level l then takes the magnitudes
  // from (l - 1/2) q plus a dead zone of lambda times the extra bits over
  // 2 q, and 127 all larger ones.
  auto levelBits = [](int level) {
    if (level == 0) return 0.0;
    const int c = coefficients::magnitudeClass(level);
    return 3.0 + 0.7 * (c - 1) + plainBits(c);
  };
  double bits[129];
  for (int l = 0; l <= 128; ++l) bits[l] = levelBits(std::min(l, 127));
  Table table;
  double fitCost = 0;
  std::vector<double> count(kBins + 1), sum(kBins + 1), squares(kBins + 1);
  double cost[kMaxFactor + 1] = {};
  for (int i = 0; i < 64; ++i) {
    std::fill(std::begin(cost), std::end(cost), 0.0);
    for (int chroma = 0; chroma < 2; ++chroma) {
      const std::size_t at = static_cast<std::size_t>(chroma) * 64 + static_cast<std::size_t>(i);
      int top = 0;
      for (const auto& tops : statistics.tops) top = std::max(top, int{tops[at]});
      if (top == 0) continue;
      for (int v = 0; v < top; ++v) {
        double h = 0;
        for (const auto& histogram : statistics.histograms) h += histogram[static_cast<std::size_t>(v) * 128 + at];
        count[v + 1] = count[v] + h;
        sum[v + 1] = sum[v] + h * v;
        squares[v + 1] = squares[v] + h * v * v;
      }
      // Sums over the magnitudes from lo up to below hi.
      auto from = [&](double x) { return std::clamp(static_cast<int>(std::ceil(x)), 0, top); };
      const double weight = chroma ? kChromaWeight : 1.0, lambda = lambda_ / weight;
      for (int q = 1; q <= kMaxFactor; ++q) {
        double c = 0;
        int lo = 0;
        for (int l = 0; l <= 127 && lo < top; ++l) {
          const int hi = l == 127 ? top : from((l + 0.5) * q + lambda * (bits[l + 1] - bits[l]) / (2.0 * q));
          if (hi <= lo) continue;
          const double n = count[hi] - count[lo], s1 = sum[hi] - sum[lo], s2 = squares[hi] - squares[lo];
          const double lq = static_cast<double>(l) * q;
          c += weight * (s2 - 2 * lq * s1 + lq * lq * n) + lambda_ * bits[l] * n;
          lo = hi;
        }
        cost[q] += c;
        // Every magnitude is 0, and the dead zone only grows with the factor
        // from here on: so for all larger factors.
        if (q * q >= lambda * bits[1] && from(0.5 * q + lambda * bits[1] / (2.0 * q)) == top) {
          for (int r = q + 1; r <= kMaxFactor; ++r) cost[r] += c;
          break;
        }
      }
    }
    int bestQ = 1;
    for (int q = 2; q <= kMaxFactor; ++q)
      if (cost[q] < cost[bestQ]) bestQ = q;
    // The factor in force stays unless another is clearly better: a new
    // factor changes every level at its position, so a still scene whose
    // statistics wobble would never settle.
    const int held = hold && started_ ? static_cast<int>(table_[i]) : 0;
    // Going back to the factor it left takes a clearer gain still: the
    // statistics of the frame after a change follow the factor just taken,
    // so without it a still's tables flipped to and fro at a few positions
    // on half its frames (1080p, qualities 75 to 85: quality 80 took more
    // bytes than 85 and 90; 10% fewer at 0.1 dB less with it).
    const double margin = bestQ == static_cast<int>(left_[i]) ? 1.1 : 1.02;
    if (held >= 1 && held <= kMaxFactor && cost[held] <= cost[bestQ] * margin) bestQ = held;
    table[i] = static_cast<float>(bestQ);
    fitCost += cost[bestQ];
  }
  for (const double s : statistics.spread) fitCost += s;
  if (total) *total = fitCost;
  return table;
}

}  // namespace kelvo4
