// The choice of a block's levels (chooseLevels in level_search.h) with its
// costs worked out for eight candidates at a time in AVX2: the same
// arithmetic lane by lane, in the same order, so the same levels. Built for
// AVX2 alone, and run only once cpuFlags() has said yes: everything here but
// the entry point has internal linkage, and nothing here calls an inline
// function or template of the headers, so that no function built for AVX2
// is shared with the other files (tests/isa checks this).
#include <immintrin.h>

#include <cstdint>

#include "tools/writer/coefficient_encoder.h"
#include "src/stage/format.h"
#include "tools/encoder/x86/x86.h"
#include "tools/encoder/levels.h"

namespace kelvo4::encoding {

namespace {

namespace cf = coefficients;

// Room for the candidates, two stand-ins before them (the start of the
// block, and one no path may come from) and a vector's worth of padding.
constexpr int kFirst = 2, kRoom = kFirst + 64 + 8;

// The band of each position, and of 64 (where a padding lane may ask).
struct Bands {
  alignas(32) int of[80];
  constexpr Bands() : of{} {
    for (int z = 0; z < 80; ++z) of[z] = z < 64 ? cf::kBand[z] : cf::kBands - 1;
  }
};
constexpr Bands kBands{};

// The zigzag position of each natural one (level_search.h's kUnzigzag, which
// this file cannot take: its initialiser would be a function shared with
// the files built for the baseline).
struct Unzigzag {
  unsigned char of[64];
  constexpr Unzigzag() : of{} {
    for (int z = 0; z < 64; ++z) of[kZigzag[z]] = static_cast<unsigned char>(z);
  }
};
constexpr Unzigzag kUnzigzag{};

// The zigzag bits of each set of the 8 natural positions 8 r .. 8 r + 7.
struct ZigzagBits {
  std::uint64_t of[8][256];
  constexpr ZigzagBits() : of{} {
    for (int r = 0; r < 8; ++r)
      for (int m = 0; m < 256; ++m)
        for (int c = 0; c < 8; ++c)
          if (m >> c & 1) of[r][m] |= std::uint64_t{1} << kUnzigzag.of[8 * r + c];
  }
};
constexpr ZigzagBits kZigzagBits{};

constexpr float kNever = 1e30f;  // bits that no option can be worth, as in level_search.h


// The bit width of each lane (1 to 2^24), from its exponent as a float.
__m256i bitWidth(__m256i v) {
  const __m256i exponent = _mm256_srli_epi32(_mm256_castps_si256(_mm256_cvtepi32_ps(v)), 23);
  return _mm256_sub_epi32(exponent, _mm256_set1_epi32(126));
}

// The class of each magnitude (1 to 127) and its plain bits.
void classes(__m256i m, __m256i& cls, __m256& plain) {
  cls = bitWidth(_mm256_or_si256(_mm256_sub_epi32(_mm256_add_epi32(m, m), _mm256_set1_epi32(1)), _mm256_set1_epi32(1)));
  plain = _mm256_cvtepi32_ps(_mm256_max_epi32(_mm256_sub_epi32(cls, _mm256_set1_epi32(1)), _mm256_set1_epi32(1)));
}

// The sixteen-zero tokens between a kept candidate ending at from and one at
// at, as the scalar search sums them; returns where the value token starts.
int zeroRunBits(const RateTerms& rate, int from, int at, float& bits) {
  for (; at - from >= 16; from += 16) bits += rate.band[cf::kBand[from]][cf::kSixteenZeros];
  return from;
}

}  // namespace

bool chooseLevelsAvx2(const short* coef, const short* quant, const Steps& steps, const RateTerms& rate,
                      short* bytes) {
  // The rounded levels, limited to a byte as quantiseInto limits them, and
  // the candidates as chooseLevels takes them: the positions of non-zero
  // levels, but for a 1 that gains less than its sign bit and half a bit of
  // token (the same test in the same floating point).
  const float lambda = rate.lambda;
  const __m256 worthless = _mm256_set1_ps(lambda * 1.5f);
  alignas(32) int levels[64], wholes[64], factors[64];
  std::uint64_t zigzag = 0;
  for (int i = 0; i < 64; i += 8) {
    const __m256i c = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + i)));
    const __m256i q = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(quant + i)));
    __m256 x = _mm256_mul_ps(_mm256_cvtepi32_ps(c), _mm256_loadu_ps(steps.reciprocal + i));
    x = _mm256_min_ps(_mm256_max_ps(x, _mm256_set1_ps(-32768.0f)), _mm256_set1_ps(32767.0f));
    __m256i r = _mm256_cvtps_epi32(x);  // to nearest, ties to even, as nearbyint
    r = _mm256_abs_epi32(_mm256_min_epi32(_mm256_max_epi32(r, _mm256_set1_epi32(-128)), _mm256_set1_epi32(127)));
    const __m256i whole = _mm256_abs_epi32(c);
    const __m256 a = _mm256_cvtepi32_ps(whole), qf = _mm256_cvtepi32_ps(q);
    const __m256 gain = _mm256_mul_ps(qf, _mm256_sub_ps(_mm256_mul_ps(_mm256_set1_ps(2.0f), a), qf));
    const __m256i pays = _mm256_or_si256(_mm256_cmpgt_epi32(r, _mm256_set1_epi32(1)),
                                         _mm256_castps_si256(_mm256_cmp_ps(gain, worthless, _CMP_NLT_UQ)));
    const __m256i kept = _mm256_andnot_si256(_mm256_cmpeq_epi32(r, _mm256_setzero_si256()), pays);
    _mm256_store_si256(reinterpret_cast<__m256i*>(levels + i), _mm256_min_epi32(r, _mm256_set1_epi32(127)));
    _mm256_store_si256(reinterpret_cast<__m256i*>(wholes + i), whole);
    _mm256_store_si256(reinterpret_cast<__m256i*>(factors + i), q);
    zigzag |= kZigzagBits.of[i / 8][_mm256_movemask_ps(_mm256_castsi256_ps(kept))];
  }

  // The candidates in zigzag order.
  alignas(32) int posAt[kRoom], levelAt[kRoom], wholeAt[kRoom], factorAt[kRoom];
  int* const pos = posAt + kFirst;
  int* const level = levelAt + kFirst;
  int count = 0;
  for (; zigzag; zigzag &= zigzag - 1, ++count) {
    const int z = __builtin_ctzll(zigzag), n = kZigzag[z];
    pos[count] = z;
    level[count] = levels[n];
    wholeAt[kFirst + count] = wholes[n];
    factorAt[kFirst + count] = factors[n];
  }
  pos[-1] = pos[-2] = -1;
  for (int i = count; i < count + 8; ++i) {
    pos[i] = 63;
    level[i] = 1;
    wholeAt[kFirst + i] = factorAt[kFirst + i] = 1;
  }

  // Each step's cost as in chooseLevels, for the kept candidate just before
  // (d = 0) and the one before that (d = 1): (runs - gain) + lambda (token
  // + plain bits) for the level and the one below it, whichever is less.
  alignas(32) float step[2][64 + 8], endCost[64 + 8];
  std::uint64_t lowered[2] = {0, 0};  // bit i: the lower level wins the step to candidate i
  const float* const base = rate.band[0];
  // Where the row of the tokens that start at each position begins (80:
  // padding lanes may ask for 64 and beyond).
  alignas(32) int rowAt[80];
  {
    int bandAt[cf::kBands];
    for (int b = 0; b < cf::kBands; ++b) bandAt[b] = static_cast<int>(rate.band[b] - base);
    for (int z = 0; z < 80; ++z) rowAt[z] = bandAt[kBands.of[z]];
  }
  const __m256 lambdas = _mm256_set1_ps(lambda);
  const __m256i one = _mm256_set1_epi32(1);
  // Each lane's value moved up a lane, the last lane of before in lane 0.
  const auto upALane = [](__m256i v, __m256i before) {
    return _mm256_blend_epi32(_mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(7, 0, 1, 2, 3, 4, 5, 6)),
                              _mm256_permutevar8x32_epi32(before, _mm256_set1_epi32(7)), 0x01);
  };
  // The rows of the tokens after each candidate (where its end token, or
  // the next step from it, starts), and of the steps from the candidate just
  // before, for the group of eight before (whose last lanes are the start's).
  __m256i endRows = _mm256_set1_epi32(rowAt[0]), rows = endRows;
  for (int i = 0; i < count; i += 8) {
    const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pos + i));
    const __m256i next = _mm256_add_epi32(p, one);
    const __m256i lastEndRows = endRows, lastRows = rows;
    endRows = _mm256_i32gather_epi32(rowAt, next, 4);
    const __m256i l = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(level + i));
    const __m256 a = _mm256_cvtepi32_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(wholeAt + kFirst + i)));
    const __m256 q = _mm256_cvtepi32_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(factorAt + kFirst + i)));
    // Gains a^2 - (a - l q)^2 of the level and the one below, their
    // classes and plain bits (a 1 has no lower option).
    const __m256i lower = _mm256_sub_epi32(l, one);
    const __m256 e0 = _mm256_sub_ps(a, _mm256_mul_ps(_mm256_cvtepi32_ps(l), q));
    const __m256 e1 = _mm256_sub_ps(a, _mm256_mul_ps(_mm256_cvtepi32_ps(lower), q));
    const __m256 aa = _mm256_mul_ps(a, a);
    const __m256 gain0 = _mm256_sub_ps(aa, _mm256_mul_ps(e0, e0));
    const __m256 gain1 = _mm256_sub_ps(aa, _mm256_mul_ps(e1, e1));
    __m256i cls0, cls1;
    __m256 plain0, plain1;
    classes(l, cls0, plain0);
    classes(_mm256_max_epi32(lower, one), cls1, plain1);
    plain1 = _mm256_add_ps(plain1, _mm256_and_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(l, one)), _mm256_set1_ps(kNever)));
    std::uint32_t longRuns = 0;
    for (int d = 0; d < 2; ++d) {
      const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pos + i - 1 - d));
      const __m256i from = _mm256_add_epi32(before, one);
      const __m256i run = _mm256_sub_epi32(p, from);
      longRuns |= static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpgt_epi32(run, _mm256_set1_epi32(15))))) << (8 * d);
      // The step from the candidate before starts after it; the step from
      // the one two before where the step of the one before did.
      const __m256i row = d == 0 ? upALane(endRows, lastEndRows) : upALane(rows, lastRows);
      if (d == 0) rows = row;
      // valueToken(run, cls) = 2 + 8 run + cls - 1; a run beyond 15 (worked
      // out below) or of a padding lane is kept within the row.
      const __m256i within = _mm256_min_epi32(_mm256_max_epi32(run, _mm256_setzero_si256()), _mm256_set1_epi32(15));
      const __m256i token = _mm256_add_epi32(row, _mm256_add_epi32(_mm256_slli_epi32(within, 3), one));
      const __m256 bits0 = _mm256_i32gather_ps(base, _mm256_add_epi32(token, cls0), 4);
      const __m256 bits1 = _mm256_i32gather_ps(base, _mm256_add_epi32(token, cls1), 4);
      const __m256 runs = _mm256_setzero_ps();  // lambda times no bits of zero runs
      const __m256 rounded0 = _mm256_add_ps(_mm256_sub_ps(runs, gain0), _mm256_mul_ps(lambdas, _mm256_add_ps(bits0, plain0)));
      const __m256 lower1 = _mm256_add_ps(_mm256_sub_ps(runs, gain1), _mm256_mul_ps(lambdas, _mm256_add_ps(bits1, plain1)));
      const __m256 lowerWins = _mm256_cmp_ps(lower1, rounded0, _CMP_LT_OQ);
      _mm256_store_ps(step[d] + i, _mm256_blendv_ps(rounded0, lower1, lowerWins));
      lowered[d] |= std::uint64_t{static_cast<unsigned>(_mm256_movemask_ps(lowerWins))} << i;
    }
    // The end after each: its token, where one follows.
    const __m256 end = _mm256_mul_ps(lambdas, _mm256_i32gather_ps(base, _mm256_add_epi32(endRows, _mm256_set1_epi32(cf::kEndOfBlock)), 4));
    const __m256 ends = _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32(64), next));
    _mm256_store_ps(endCost + i, _mm256_and_ps(end, ends));
    // Runs of sixteen zeros or more, rare: those steps as the scalar search
    // works them out.
    const int lanes = count - i < 8 ? count - i : 8;
    longRuns &= ((1u << lanes) - 1) * 0x101u;
    alignas(32) float g0[8], g1[8], b0[8], b1[8];
    alignas(32) int c0[8], c1[8];
    if (longRuns) {
      _mm256_store_ps(g0, gain0);
      _mm256_store_ps(g1, gain1);
      _mm256_store_ps(b0, plain0);
      _mm256_store_ps(b1, plain1);
      _mm256_store_si256(reinterpret_cast<__m256i*>(c0), cls0);
      _mm256_store_si256(reinterpret_cast<__m256i*>(c1), cls1);
    }
    for (; longRuns; longRuns &= longRuns - 1) {
      const int bit = __builtin_ctz(longRuns), d = bit / 8, k = i + bit % 8;
      float zeros = 0;
      const int start = zeroRunBits(rate, pos[k - 1 - d] + 1, pos[k], zeros);
      const float* r = rate.band[cf::kBand[start]];
      const int run = pos[k] - start;
      const float runs = lambda * zeros;
      const int lane = bit % 8;
      const float keep = runs - g0[lane] + lambda * (r[2 + 8 * run + c0[lane] - 1] + b0[lane]);
      const float drop = runs - g1[lane] + lambda * (r[2 + 8 * run + c1[lane] - 1] + b1[lane]);
      lowered[d] = (lowered[d] & ~(std::uint64_t{1} << k)) | std::uint64_t{drop < keep} << k;
      step[d][k] = drop < keep ? drop : keep;
    }
  }

  // The chain of sums that links the paths, and where the block ends, as in
  // chooseLevels.
  // Without a branch: whether the step from the one two before is cheaper
  // (it must be strictly, as d = 0 comes first) is a coin toss.
  float bestAt[kFirst + 64];
  float* const best = bestAt + kFirst;
  best[-1] = 0;
  best[-2] = __builtin_inff();
  std::uint64_t skips = 0;  // bit i: candidate i follows the one two before
  for (int i = 0; i < count; ++i) {
    const float near = best[i - 1] + step[0][i], far = best[i - 2] + step[1][i];
    const bool skip = far < near;
    best[i] = skip ? far : near;
    skips |= std::uint64_t{skip} << i;
  }
  // Bit i: candidate i keeps the level below its rounded one, on its step.
  const std::uint64_t picks = (lowered[0] & ~skips) | (lowered[1] & skips);
  float bestEnd = lambda * rate.band[0][cf::kEndOfBlock];
  int last = -1;
  for (int i = 0; i < count; ++i) {
    const float cost = best[i] + endCost[i];
    if (cost < bestEnd) {
      bestEnd = cost;
      last = i;
    }
  }
  for (int i = 0; i < 64; i += 16) _mm256_storeu_si256(reinterpret_cast<__m256i*>(bytes + i), _mm256_setzero_si256());
  for (int i = last; i >= 0; i -= 1 + static_cast<int>(skips >> i & 1)) {
    const int n = kZigzag[pos[i]], l = level[i] - static_cast<int>(picks >> i & 1);
    const int sign = coef[n] >> 15;  // 0 or -1: the level takes the coefficient's sign
    bytes[n] = static_cast<short>((l ^ sign) - sign);
  }
  return last >= 0;
}

}  // namespace kelvo4::encoding
