// Internal to the encoder: the levels of a block, found for squared error
// alone or for error plus rate, and the constants its files share.
#pragma once

#include <algorithm>

#include "tools/writer/coefficient_encoder.h"
#include "tools/encoder/kernels.h"

namespace kelvo4::encoding {

// Factors above this could give a dequantised coefficient (byte times factor)
// beyond 12646, where the inverse transform's row sums start to wrap.
inline constexpr int kMaxFactor = 96;

// A chroma sample stands for four pixels, and a unit of c1 or c2 moves two
// RGB bytes by 1.25 where one of c0 moves three by 1: its squared errors
// weigh 4 x 3.125 / 3 times as much.
inline constexpr float kChromaWeight = 4 * 3.125f / 3;

// Histogram bins of |coefficient|; larger values share the last bin.
inline constexpr int kBins = 4096;
// Magnitudes beyond this are counted in every block, the rest in a sample.
inline constexpr int kCounted = 127;

inline int clampInt(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

// Clears a block of 64 shorts in two halves: compilers turn one fill of all
// 128 bytes into a string instruction, whose start costs more than the
// eight vector stores of the halves.
inline void clearBlock(short* block) {
  for (int half = 0; half < 64; half += 32) std::fill(block + half, block + half + 32, short{0});
}

// Bits of a level's sign and plain low bits.
inline float plainBits(int magnitudeClass) {
  return static_cast<float>(coefficients::plainBitCount(magnitudeClass));
}

// 1/q of each factor, 0 for a useless one.
struct Steps {
  alignas(16) float reciprocal[64];
  explicit Steps(const short* quant) {
    for (int i = 0; i < 64; ++i) reciprocal[i] = quant[i] == 0 ? 0.0f : 1.0f / static_cast<float>(quant[i]);
  }
};

// What the rate-distortion choice of a block's levels needs: per zigzag band,
// the bits of each token in the block's context (rows of one table, as the
// AVX2 search reaches them from the first), and the squared error worth one
// bit (finite and far below 1e30, the bits of an option never taken).
struct RateTerms {
  const float* band[coefficients::kBands];
  float lambda;
};

}  // namespace kelvo4::encoding
