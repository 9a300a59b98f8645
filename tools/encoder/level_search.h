// Internal to the encoder: the search for a block's levels, written once
// and instantiated for each set of helpers (kernels.cpp, x86/), so that the
// helpers inline into it.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <limits>

#include "src/stage/format.h"
#include "tools/encoder/levels.h"

namespace kelvo4::encoding {

// How many candidates a kept level may skip back to the kept one before it
// (the block's end may drop any number): skipping more measured 0.3% fewer
// bytes at 10% of the encoder's time.
inline constexpr int kLookBack = 1;

// Bits that no option can be worth.
inline constexpr float kNever = 1e30f;

// The zigzag position of each natural one.
inline constexpr auto kUnzigzag = [] {
  std::array<std::uint8_t, 64> u{};
  for (int z = 0; z < 64; ++z) u[kZigzag[z]] = static_cast<std::uint8_t>(z);
  return u;
}();

// The levels of a block that cost least in squared error (in the transform
// domain) plus lambda times bits, the bits counted as the coefficient coder
// spends them: each position keeps its rounded level, one less, or 0, and the
// block ends where that pays. A shortest-path search over the positions that
// round to non-zero, the state being the last one kept (it sets the run and
// the band of the next token). bytes gets natural order.
template <const EncoderKernels& k>
bool chooseLevels(const short* coef, const short* quant, const Steps& steps,
                  const RateTerms& rate, short* bytes) {
  struct Candidate {
    int pos, level;    // zigzag position, rounded level
    float gain[2];     // a^2 - (a - level q)^2 for level and level - 1
    float bits[2];     // their plain bits
    int cls[2];        // their magnitude classes
  };
  // The candidates start at cand[0]. The kFirst before them end at position
  // -1: cand[-1] stands for the start of the block (nothing kept, at no
  // cost), and no path may come from those before it. With them, each
  // candidate looks back the same kLookBack + 1 places without a test.
  constexpr int kFirst = kLookBack + 1;
  Candidate cands[kFirst + 64];
  Candidate* const cand = cands + kFirst;
  for (int s = 1; s <= kFirst; ++s) cand[-s].pos = -1;
  // The rounded levels first, all at once: most are 0. The non-zero ones
  // are then visited in zigzag order through a mask.
  alignas(16) short rounded[64];
  clearBlock(rounded);
  k.quantiseInto(coef, steps.reciprocal, rounded);
  std::uint64_t natural = k.beyond(rounded, 0), zigzag = 0;
  for (; natural; natural &= natural - 1) zigzag |= std::uint64_t{1} << kUnzigzag[std::countr_zero(natural)];
  const float lambda = rate.lambda;
  // A 1 that gains less than its sign bit and half a bit of token never pays
  // (measured: dropping those at once changes nothing but the time).
  const float worthless = lambda * 1.5f;
  int count = 0;
  for (; zigzag; zigzag &= zigzag - 1) {
    const int z = std::countr_zero(zigzag), n = kZigzag[z];
    const int level = std::min(std::abs(int{rounded[n]}), 127);
    const float a = static_cast<float>(std::abs(int{coef[n]})), q = static_cast<float>(quant[n]);
    // Written in any case, kept by the count, and without a branch on
    // whether the level is 1: about half are, in no order a branch
    // predictor can follow.
    Candidate& c = cand[count];
    count += (level > 1) | !(q * (2 * a - q) < worthless);
    c.pos = z;
    c.level = level;
    for (int d = 0; d < 2; ++d) {
      const int l = level - d;
      const float e = a - static_cast<float>(l) * q;
      c.gain[d] = a * a - e * e;
      c.cls[d] = coefficients::magnitudeClass(std::max(l, 1));
      c.bits[d] = plainBits(c.cls[d]);
    }
    // A 1 has no lower option: its bits put that beyond any cost (a table,
    // where a product with 0 or 1 compiles back to the branch).
    static constexpr float kNoLower[2] = {0.0f, kNever};
    c.bits[1] += kNoLower[level == 1];
  }
  // What keeping candidate i costs after the kept candidate d + 1 places
  // before it (d = 0: the one just before; a j of -1: none kept before),
  // error gained and bits of its tokens: it does not depend on the path to
  // that one, so it is found for all first, apart from the chain of sums
  // below that links the paths.
  float step[kLookBack + 1][64];
  bool lowered[kLookBack + 1][64];
  for (int i = 0; i < count; ++i) {
    const Candidate& c = cand[i];
    for (int d = 0; d <= kLookBack; ++d) {
      const int j = i - 1 - d;
      float bits = 0;
      const int start = coefficients::zeroRuns(cand[j].pos + 1, c.pos, [&](int token, int position) {
        bits += rate.band[coefficients::kBand[position]][token];
      });
      const int run = c.pos - start;
      const float* row = rate.band[coefficients::kBand[start]];
      // Both options at once (a branch per option would be mispredicted
      // half the time).
      const float runs = lambda * bits;
      const float rounded = runs - c.gain[0] + lambda * (row[coefficients::valueToken(run, c.cls[0])] + c.bits[0]);
      const float lower = runs - c.gain[1] + lambda * (row[coefficients::valueToken(run, c.cls[1])] + c.bits[1]);
      lowered[d][i] = lower < rounded;
      step[d][i] = lowered[d][i] ? lower : rounded;
    }
  }
  float bests[kFirst + 64];
  float* const best = bests + kFirst;
  best[-1] = 0;
  for (int s = 2; s <= kFirst; ++s) best[-s] = std::numeric_limits<float>::infinity();
  int from[64], pick[64];
  for (int i = 0; i < count; ++i) {
    float bestCost = 3e38f;
    int bestFrom = -1, bestPick = 0;
    for (int d = 0; d <= kLookBack; ++d) {
      const int j = i - 1 - d;
      const float cost = best[j] + step[d][i];
      if (cost < bestCost) {
        bestCost = cost;
        bestFrom = j;
        bestPick = lowered[d][i];
      }
    }
    best[i] = bestCost;
    from[i] = bestFrom;
    pick[i] = bestPick;
  }
  // Where the block ends: after the last kept candidate, or at once.
  float bestEnd = lambda * rate.band[0][coefficients::kEndOfBlock];
  int last = -1;
  for (int i = 0; i < count; ++i) {
    const int next = cand[i].pos + 1;
    const float cost = best[i] + (coefficients::endsWithToken(next) ? lambda * rate.band[coefficients::kBand[next]][coefficients::kEndOfBlock] : 0.0f);
    if (cost < bestEnd) {
      bestEnd = cost;
      last = i;
    }
  }
  clearBlock(bytes);
  for (int i = last; i >= 0; i = from[i]) {
    const int n = kZigzag[cand[i].pos], level = cand[i].level - pick[i];
    const int sign = coef[n] >> 15;  // 0 or -1: the level takes the coefficient's sign
    bytes[n] = static_cast<short>((level ^ sign) - sign);
  }
  return last >= 0;
}

// The choice of a block's levels for error plus rate, as chooseLevels.
using ChooseLevelsFn = bool (*)(const short* coef, const short* quant, const Steps& steps, const RateTerms& rate,
                                short* bytes);

// codeBlock on a block whose forward transform is known, with the helpers k;
// with rate terms its levels are chosen for error plus rate (by choose), and
// the refinement only moves the levels kept.
template <const EncoderKernels& k, ChooseLevelsFn choose = chooseLevels<k>>
long codeTransformedWith(const short* target, const short* transformed, const short* quant, const Steps& steps,
                         signed char* zigzag, int passes, const RateTerms* rate) {
  alignas(16) short coef[64];
  alignas(16) short bytes[64], samples[64], diff[64];
  // A block whose levels clamp needs the others to make up for it: its
  // refinement may then move any level.
  bool clamped = false;
  if (rate) {
    if (!choose(transformed, quant, steps, *rate, bytes)) {
      // No level kept, the common case: the refinement moves only kept
      // levels, so the block stays empty, and its samples are those of
      // every empty block.
      alignas(16) static const std::array<short, 64> kEmpty = [] {
        alignas(16) std::array<short, 64> none{}, samples;
        k.reconstruct(none.data(), none.data(), samples.data());  // zero levels: any factors do
        return samples;
      }();
      std::fill(zigzag, zigzag + 64, static_cast<signed char>(0));
      return k.blockError(target, kEmpty.data(), diff);
    }
    clamped = k.beyond(bytes, 126) != 0;
  } else {
    clearBlock(bytes);
    k.quantiseInto(transformed, steps.reciprocal, bytes);
  }
  k.reconstruct(bytes, quant, samples);
  long err = k.blockError(target, samples, diff);
  // The rounded coefficients miss wherever a byte clamps, the inverse
  // transform rounds or clamps, or the forward one was scaled: move the bytes
  // by the quantised transform of what is still missing while that helps.
  for (int pass = 0; pass < passes && err > 0; ++pass) {
    alignas(16) short trial[64];
    std::copy(bytes, bytes + 64, trial);
    k.transform(diff, coef);
    if (!k.quantiseInto(coef, steps.reciprocal, trial)) break;
    if (rate && !clamped && !k.keepZeros(bytes, trial)) break;
    alignas(16) short trialSamples[64], trialDiff[64];
    k.reconstruct(trial, quant, trialSamples);
    const long trialErr = k.blockError(target, trialSamples, trialDiff);
    if (trialErr >= err) break;
    err = trialErr;
    std::copy(trial, trial + 64, bytes);
    std::copy(trialDiff, trialDiff + 64, diff);
  }
  // Most bytes are 0: only the others are placed.
  std::fill(zigzag, zigzag + 64, static_cast<signed char>(0));
  for (std::uint64_t kept = k.beyond(bytes, 0); kept; kept &= kept - 1) {
    const int n = std::countr_zero(kept);
    zigzag[kUnzigzag[n]] = static_cast<signed char>(bytes[n]);
  }
  return err;
}

// The helpers of k with the search built on them.
constexpr EncoderKernels withSearch(EncoderKernels k, CodeTransformedFn search) {
  k.codeTransformed = search;
  return k;
}

}  // namespace kelvo4::encoding
