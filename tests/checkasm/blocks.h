// Blocks for the transforms: random ones of several distributions and fixed
// ones at the limits, shared by the checker and the references' digests.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

namespace checkasm {

using Rng = std::mt19937_64;  // its sequence is fixed by the standard
inline int draw(Rng& rng, int lo, int hi) {
  return lo + static_cast<int>(rng() % static_cast<std::uint64_t>(hi - lo + 1));
}

// Frame sizes of every shape, leaving partial blocks, bands and
// macroblocks, empty ones among them, then 30 at random.
inline std::vector<std::pair<int, int>> frameSizes(Rng& rng) {
  std::vector<std::pair<int, int>> out = {{1, 1},   {2, 1},   {1, 2},    {3, 3},   {5, 1},   {1, 9},  {8, 8},
                                          {9, 7},   {16, 16}, {17, 3},   {17, 16}, {20, 20}, {1, 30}, {33, 35},
                                          {40, 37}, {64, 48}, {352, 18}, {0, 4},   {4, 0}};
  for (int i = 0; i < 30; ++i) out.push_back({draw(rng, 1, 70), draw(rng, 1, 40)});
  return out;
}

using Block = std::array<short, 64>;

// Six uniform ranges (all 16 bits, samples, coefficients, tiny values, the
// range where the inverse clamps, small values under a large DC), sparse,
// only extreme values, and magnitudes near 12646, above which row sums can
// wrap.
inline constexpr const char* kDists[] = {"full range", "[-256, 255]", "[-2048, 2047]", "[-5, 5]",   "[-300, 300]",
                                         "large DC",   "sparse",      "extremes",      "near 12646"};

inline Block randomBlock(int dist, Rng& rng) {
  static constexpr int ranges[6][2] = {{-32768, 32767}, {-256, 255}, {-2048, 2047}, {-5, 5}, {-300, 300}, {-64, 63}};
  static constexpr int extremes[] = {-32768, -1, 0, 1, 32767};
  Block b;
  for (auto& v : b) {
    const bool near = dist == 8 && draw(rng, 0, 3);  // three times in four
    v = static_cast<short>(dist < 6          ? draw(rng, ranges[dist][0], ranges[dist][1])
                           : dist == 6       ? (draw(rng, 0, 15) ? 0 : draw(rng, -32768, 32767))
                           : dist == 7       ? extremes[draw(rng, 0, 4)]
                           : !near           ? draw(rng, -32768, 32767)
                           : draw(rng, 0, 1) ? draw(rng, 12000, 13500)
                                             : draw(rng, -13500, -12000));
  }
  if (dist == 5) b[0] = static_cast<short>(draw(rng, 0, 1) ? draw(rng, 24000, 32767) : draw(rng, -32768, -24000));
  return b;
}

// Constant blocks around the limits where the forward column sums saturate
// or wrap and around 12646, alternating extremes in both phases, and single
// values at each of the 64 positions.
inline std::vector<Block> fixedBlocks() {
  std::vector<Block> out;
  for (short v : {0, 255, 256, 1023, 1024, 2047, 2048, 4095, -256, -257, -1024, -1025, -2048, 32767, -32768, 12646,
                  12647, -12647})
    out.emplace_back().fill(v);
  for (int flip = 0; flip < 2; flip++) {
    Block& b = out.emplace_back();
    for (int i = 0; i < 64; i++) b[i] = ((i + i / 8 + flip) & 1) ? -32768 : 32767;
  }
  for (short v : {-32768, -4096, -1, 1, 255, 4096, 12647, 32767})
    for (int i = 0; i < 64; i++) out.emplace_back()[i] = v;
  return out;
}

}  // namespace checkasm
