#include "encoder.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>

#include "dct.h"
#include "handle.h"
#include "format.h"
#include "coefficients.h"
#include "stream_format.h"

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#define KELVO4_ENCODER_SSE2 1
#else
#define KELVO4_ENCODER_SSE2 0
#endif

namespace kelvo4 {

namespace {

// Factors above this could give a dequantised coefficient (byte times factor)
// beyond 12646, where the inverse transform's row sums start to wrap.
constexpr int kMaxFactor = 96;

int clampInt(int v, int lo, int hi) { return std::min(std::max(v, lo), hi); }

// Forward transform of residual samples on the fastest exact kernel, which
// takes samples within [-256, 255]: wider blocks are halved until they fit
// and their coefficients doubled back, saturating at the 16-bit limits (far
// beyond the 127 x 96 that a byte can code).
void transform(const short* samples, short* coef) {
  int peak = 0;
#if KELVO4_ENCODER_SSE2
  // Saturating negation: |-32768| counts as 32767, still far beyond 255.
  __m128i top = _mm_setzero_si128();
  for (int i = 0; i < 64; i += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + i));
    top = _mm_max_epi16(top, _mm_max_epi16(v, _mm_subs_epi16(_mm_setzero_si128(), v)));
  }
  top = _mm_max_epi16(top, _mm_srli_si128(top, 8));
  top = _mm_max_epi16(top, _mm_srli_si128(top, 4));
  top = _mm_max_epi16(top, _mm_srli_si128(top, 2));
  peak = _mm_extract_epi16(top, 0);
  if (peak <= 255) {
    // Within the kernel's range as they are: the common case.
    alignas(16) short block[64];
    std::copy(samples, samples + 64, block);
    kelvo4::fdctSse(block);
    _mm_empty();
    std::copy(block, block + 64, coef);
    return;
  }
#else
  for (int i = 0; i < 64; ++i) peak = std::max(peak, std::abs(int{samples[i]}));
#endif
  int shift = 0;
  while ((peak >> shift) > 255) ++shift;
  alignas(16) short block[64];
  for (int i = 0; i < 64; ++i) {
    // Rounded halving, kept within the kernel's range.
    const int v = shift ? (samples[i] + (1 << (shift - 1))) >> shift : samples[i];
    block[i] = static_cast<short>(clampInt(v, -256, 255));
  }
#if KELVO4_ENCODER_SSE2
  kelvo4::fdctSse(block);
  _mm_empty();
#else
  // Cleared: on 32-bit x86 the floating point below runs on the x87
  // registers that MMX shares.
  exportedKernels().fdctClear(block);
#endif
  for (int i = 0; i < 64; ++i) coef[i] = static_cast<short>(clampInt(block[i] * (1 << shift), -32768, 32767));
}

// What the decoder makes of 64 natural-order bytes: the dequantised product
// wraps in 16 bits, then the inverse transform.
void reconstruct(const short* bytes, const short* quant, short* samples) {
#if KELVO4_ENCODER_SSE2
  for (int i = 0; i < 64; i += 8)
    _mm_store_si128(reinterpret_cast<__m128i*>(samples + i),
                    _mm_mullo_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(bytes + i)),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(quant + i))));
  kelvo4::idctSse2(samples);
#else
  for (int i = 0; i < 64; ++i)
    samples[i] = static_cast<short>(static_cast<std::uint16_t>(static_cast<unsigned>(bytes[i]) *
                                                              static_cast<unsigned>(quant[i])));
  Vrel_IDct16_MMX(samples);
#endif
}

// Squared error of samples against target; diff gets target - samples.
// Residuals and samples stay within 16 bits' reach of each other.
long blockError(const short* target, const short* samples, short* diff) {
#if KELVO4_ENCODER_SSE2
  __m128i sum = _mm_setzero_si128();
  for (int i = 0; i < 64; i += 8) {
    const __m128i d = _mm_subs_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(target + i)),
                                     _mm_load_si128(reinterpret_cast<const __m128i*>(samples + i)));
    _mm_store_si128(reinterpret_cast<__m128i*>(diff + i), d);
    const __m128i squares = _mm_madd_epi16(d, d);
    // Pairs of squares reach 2^31 only for 16-bit extremes: add them as
    // unsigned 64-bit halves.
    sum = _mm_add_epi64(sum, _mm_add_epi64(_mm_unpacklo_epi32(squares, _mm_setzero_si128()),
                                           _mm_unpackhi_epi32(squares, _mm_setzero_si128())));
  }
  return static_cast<long>(static_cast<std::uint64_t>(_mm_cvtsi128_si64(sum)) +
                           static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sum, sum))));
#else
  long e = 0;
  for (int i = 0; i < 64; ++i) {
    const int d = clampInt(target[i] - samples[i], -32768, 32767);
    diff[i] = static_cast<short>(d);
    e += d * d;
  }
  return e;
#endif
}

// 1/q of each factor, 0 for a useless one.
struct Steps {
  alignas(16) float reciprocal[64];
  explicit Steps(const short* quant) {
    for (int i = 0; i < 64; ++i) reciprocal[i] = quant[i] == 0 ? 0.0f : 1.0f / static_cast<float>(quant[i]);
  }
};

// Adds round(coef / factor) to each byte, limited to the signed byte range.
// Returns false when nothing changed. Steps beyond the 16-bit range clamp
// anyway.
bool quantiseInto(const short* coef, const Steps& steps, short* bytes) {
#if KELVO4_ENCODER_SSE2
  __m128i changed = _mm_setzero_si128();
  const __m128i lo = _mm_set1_epi16(-128), hi = _mm_set1_epi16(127);
  for (int i = 0; i < 64; i += 8) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + i));
    // Sign extension through the high half of each 32-bit lane.
    auto stepsOf = [&](__m128i widened, int j) {
      return _mm_cvtps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(_mm_srai_epi32(widened, 16)), _mm_load_ps(steps.reciprocal + j)));
    };
    const __m128i step = _mm_packs_epi32(stepsOf(_mm_unpacklo_epi16(c, c), i), stepsOf(_mm_unpackhi_epi16(c, c), i + 4));
    const __m128i old = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes + i));
    const __m128i b = _mm_min_epi16(_mm_max_epi16(_mm_adds_epi16(old, step), lo), hi);
    changed = _mm_or_si128(changed, _mm_xor_si128(b, old));
    _mm_store_si128(reinterpret_cast<__m128i*>(bytes + i), b);
  }
  return _mm_movemask_epi8(_mm_cmpeq_epi8(changed, _mm_setzero_si128())) != 0xFFFF;
#else
  bool changed = false;
  for (int i = 0; i < 64; ++i) {
    const int step = static_cast<int>(std::nearbyint(std::clamp(coef[i] * steps.reciprocal[i], -32768.0f, 32767.0f)));
    const int b = clampInt(bytes[i] + step, -128, 127);
    changed |= b != bytes[i];
    bytes[i] = static_cast<short>(b);
  }
  return changed;
#endif
}

}  // namespace

std::array<int, 3> rgbToComponents(int r, int g, int b) {
  // c + (c >> 2) is close to 1.25c - 0.375, which the starting points invert.
  auto inverse = [](int d) { return static_cast<int>(std::floor((d + 0.375) / 1.25)); };
  const int base = static_cast<int>(std::lround((r + g + b) / 3.0));
  // Near 0 or 255 a channel can clamp, and components well beyond the linear
  // inverse may then come closer: search wider there.
  auto edge = [](int v) { return v < 4 || v > 251; };
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

double psnr(const std::uint8_t* a, const std::uint8_t* b, std::size_t count) {
  std::uint64_t sse = 0;
  std::size_t i = 0;
#if KELVO4_ENCODER_SSE2
  // Squares of byte differences, summed in 32-bit lanes for 16 bytes at a
  // time (at most 4 x 2 x 255^2 per lane and step), 64-bit every 4096 bytes.
  const __m128i zero = _mm_setzero_si128();
  while (i + 16 <= count) {
    __m128i part = zero;
    for (const std::size_t end = std::min(count - 15, i + 4096); i < end; i += 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
      const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
      const __m128i dlo = _mm_sub_epi16(_mm_unpacklo_epi8(x, zero), _mm_unpacklo_epi8(y, zero));
      const __m128i dhi = _mm_sub_epi16(_mm_unpackhi_epi8(x, zero), _mm_unpackhi_epi8(y, zero));
      part = _mm_add_epi32(part, _mm_add_epi32(_mm_madd_epi16(dlo, dlo), _mm_madd_epi16(dhi, dhi)));
    }
    alignas(16) std::uint32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), part);
    sse += std::uint64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
  }
#endif
  for (; i < count; ++i) {
    const int d = int{a[i]} - b[i];
    sse += static_cast<std::uint64_t>(d * d);
  }
  if (sse == 0 || count == 0) return 99.0;
  return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(count) / static_cast<double>(sse));
}

namespace {

namespace cf = coefficients;

// How many candidates a kept level may skip back to the kept one before it
// (the block's end may drop any number): skipping more measured 0.3% fewer
// bytes at 10% of the encoder's time.
constexpr int kLookBack = 1;

// The zigzag position of each natural one.
constexpr auto kUnzigzag = [] {
  std::array<std::uint8_t, 64> u{};
  for (int z = 0; z < 64; ++z) u[kZigzag[z]] = static_cast<std::uint8_t>(z);
  return u;
}();

// Bit i set where |coef[i]| > limit.
std::uint64_t beyond(const short* coef, int limit) {
  std::uint64_t mask = 0;
#if KELVO4_ENCODER_SSE2
  const __m128i hi = _mm_set1_epi16(static_cast<short>(limit)), lo = _mm_set1_epi16(static_cast<short>(-limit));
  for (int i = 0; i < 64; i += 16) {
    auto outside = [&](int at) {
      const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + at));
      return _mm_or_si128(_mm_cmpgt_epi16(c, hi), _mm_cmplt_epi16(c, lo));
    };
    const auto bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(outside(i), outside(i + 8))));
    mask |= std::uint64_t{bits} << i;
  }
#else
  for (int i = 0; i < 64; ++i) mask |= std::uint64_t{std::abs(int{coef[i]}) > limit} << i;
#endif
  return mask;
}

// Clears trial where bytes is 0; whether trial then differs from bytes.
bool keepZeros(const short* bytes, short* trial) {
#if KELVO4_ENCODER_SSE2
  __m128i same = _mm_set1_epi16(-1);
  for (int i = 0; i < 64; i += 8) {
    const __m128i b = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes + i));
    const __m128i t = _mm_andnot_si128(_mm_cmpeq_epi16(b, _mm_setzero_si128()),
                                       _mm_load_si128(reinterpret_cast<const __m128i*>(trial + i)));
    _mm_store_si128(reinterpret_cast<__m128i*>(trial + i), t);
    same = _mm_and_si128(same, _mm_cmpeq_epi16(t, b));
  }
  return _mm_movemask_epi8(same) != 0xFFFF;
#else
  bool moved = false;
  for (int i = 0; i < 64; ++i) {
    if (bytes[i] == 0) trial[i] = 0;
    moved |= trial[i] != bytes[i];
  }
  return moved;
#endif
}

// Bit i set where bytes[i] is non-zero.
std::uint64_t nonzeroMask(const signed char* bytes) {
  std::uint64_t mask = 0;
#if KELVO4_ENCODER_SSE2
  for (int i = 0; i < 64; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
    const auto zero = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
    mask |= std::uint64_t{~zero & 0xFFFFu} << i;
  }
#else
  for (int i = 0; i < 64; ++i) mask |= std::uint64_t{bytes[i] != 0} << i;
#endif
  return mask;
}

// Bits of a level's sign and plain low bits.
float plainBits(int magnitudeClass) { return static_cast<float>(cf::plainBitCount(magnitudeClass)); }

// What the rate-distortion choice of a block's levels needs: per zigzag band,
// the bits of each token in the block's context, and the squared error worth
// one bit.
struct RateTerms {
  const float* band[cf::kBands];
  float lambda;
};

// The levels of a block that cost least in squared error (in the transform
// domain) plus lambda times bits, the bits counted as the coefficient coder
// spends them: each position keeps its rounded level, one less, or 0, and the
// block ends where that pays. A shortest-path search over the positions that
// round to non-zero, the state being the last one kept (it sets the run and
// the band of the next token). bytes gets natural order.
void chooseLevels(const short* coef, const short* quant, const Steps& steps, const RateTerms& rate, short* bytes) {
  struct Candidate {
    int pos, level;    // zigzag position, rounded level
    float gain[2];     // a^2 - (a - level q)^2 for level and level - 1
    float bits[2];     // their plain bits
    int cls[2];        // their magnitude classes
  } cand[64];
  // The rounded levels first, all at once: most are 0. The non-zero ones
  // are then visited in zigzag order through a mask.
  alignas(16) short rounded[64] = {};
  quantiseInto(coef, steps, rounded);
  std::uint64_t natural = beyond(rounded, 0), zigzag = 0;
  for (; natural; natural &= natural - 1) zigzag |= std::uint64_t{1} << kUnzigzag[std::countr_zero(natural)];
  const float lambda = rate.lambda;
  // A 1 that gains less than its sign bit and half a bit of token never pays
  // (measured: dropping those at once changes nothing but the time).
  const float worthless = lambda * 1.5f;
  int k = 0;
  for (; zigzag; zigzag &= zigzag - 1) {
    const int z = std::countr_zero(zigzag), n = kZigzag[z];
    const int level = std::min(std::abs(int{rounded[n]}), 127);
    const float a = static_cast<float>(std::abs(int{coef[n]})), q = static_cast<float>(quant[n]);
    if (level == 1 && q * (2 * a - q) < worthless) continue;
    Candidate& c = cand[k++];
    c.pos = z;
    c.level = level;
    for (int d = 0; d < 2; ++d) {
      const int l = level - d;
      const float e = a - static_cast<float>(l) * q;
      c.gain[d] = l ? a * a - e * e : -1e30f;
      c.cls[d] = cf::magnitudeClass(std::max(l, 1));
      c.bits[d] = plainBits(c.cls[d]);
    }
  }
  float best[64];
  int from[64], pick[64];
  for (int i = 0; i < k; ++i) {
    const Candidate& c = cand[i];
    float bestCost = 3e38f;
    int bestFrom = -1, bestPick = 0;
    const int options = c.level > 1 ? 2 : 1;
    const int stop = std::max(-1, i - 1 - kLookBack);
    for (int j = i - 1; j >= stop; --j) {
      int start = j < 0 ? 0 : cand[j].pos + 1, run = c.pos - start;
      float bits = 0;
      while (run >= 16) {
        bits += rate.band[cf::kBand[start]][cf::kSixteenZeros];
        start += 16;
        run -= 16;
      }
      const float* row = rate.band[cf::kBand[start]];
      const float base = (j < 0 ? 0.0f : best[j]) + lambda * bits;
      for (int d = 0; d < options; ++d) {
        const float cost = base - c.gain[d] + lambda * (row[cf::valueToken(run, c.cls[d])] + c.bits[d]);
        if (cost < bestCost) {
          bestCost = cost;
          bestFrom = j;
          bestPick = d;
        }
      }
    }
    best[i] = bestCost;
    from[i] = bestFrom;
    pick[i] = bestPick;
  }
  // Where the block ends: after the last kept candidate, or at once.
  float bestEnd = lambda * rate.band[0][cf::kEndOfBlock];
  int last = -1;
  for (int i = 0; i < k; ++i) {
    const int next = cand[i].pos + 1;
    const float cost = best[i] + (next < 64 ? lambda * rate.band[cf::kBand[next]][cf::kEndOfBlock] : 0.0f);
    if (cost < bestEnd) {
      bestEnd = cost;
      last = i;
    }
  }
  std::fill(bytes, bytes + 64, short{0});
  for (int i = last; i >= 0; i = from[i]) {
    const int n = kZigzag[cand[i].pos], level = cand[i].level - pick[i];
    bytes[n] = static_cast<short>(coef[n] < 0 ? -level : level);
  }
}

// codeBlock on a block whose forward transform is known; with rate terms its
// levels are chosen for error plus rate, and the refinement only moves the
// levels kept.
long codeTransformed(const short* target, const short* transformed, const short* quant, const Steps& steps,
                     signed char* zigzag, int passes, const RateTerms* rate = nullptr) {
  alignas(16) short coef[64];
  alignas(16) short bytes[64] = {}, samples[64], diff[64];
  // A block whose levels clamp needs the others to make up for it: its
  // refinement may then move any level.
  bool clamped = false;
  if (rate) {
    chooseLevels(transformed, quant, steps, *rate, bytes);
    clamped = beyond(bytes, 126) != 0;
  } else {
    quantiseInto(transformed, steps, bytes);
  }
  reconstruct(bytes, quant, samples);
  long err = blockError(target, samples, diff);
  // The rounded coefficients miss wherever a byte clamps, the inverse
  // transform rounds or clamps, or the forward one was scaled: move the bytes
  // by the quantised transform of what is still missing while that helps.
  for (int pass = 0; pass < passes && err > 0; ++pass) {
    alignas(16) short trial[64];
    std::copy(bytes, bytes + 64, trial);
    transform(diff, coef);
    if (!quantiseInto(coef, steps, trial)) break;
    if (rate && !clamped && !keepZeros(bytes, trial)) break;
    alignas(16) short trialSamples[64], trialDiff[64];
    reconstruct(trial, quant, trialSamples);
    const long trialErr = blockError(target, trialSamples, trialDiff);
    if (trialErr >= err) break;
    err = trialErr;
    std::copy(trial, trial + 64, bytes);
    std::copy(trialDiff, trialDiff + 64, diff);
  }
  for (int i = 0; i < 64; ++i) zigzag[i] = static_cast<signed char>(bytes[kelvo4::kZigzag[i]]);
  return err;
}

}  // namespace

long codeBlock(const short* target, const short* quant, signed char* zigzag, int passes) {
  alignas(16) short coef[64];
  transform(target, coef);
  return codeTransformed(target, coef, quant, Steps(quant), zigzag, passes);
}

namespace {

int checkedSize(int w, int h) {
  if (!validFrameSize(w, h))
    throw std::invalid_argument("impossible frame size " + std::to_string(w) + "x" + std::to_string(h));
  return w;
}

// Histogram bins of |coefficient|; larger values share the last bin.
constexpr int kBins = 4096;
// Magnitudes beyond this are counted in every block, the rest in a sample.
constexpr int kCounted = 127;

// A chroma sample stands for four pixels, and a unit of c1 or c2 moves two
// RGB bytes by 1.25 where one of c0 moves three by 1: its squared errors
// weigh 4 x 3.125 / 3 times as much.
constexpr float kChromaWeight = 4 * 3.125f / 3;

// The squared error of a luma sample worth one bit at the default quality,
// and how the quality scales it: 12.5 quality steps halve it.
constexpr double kDefaultLambda = 2.0;
constexpr double kLambdaHalving = 12.5;

// Bits of a token before any frame was counted, and the weight of that prior
// (in tokens) beside a context's counts: a zero run grows the cost of a
// token, as does its magnitude class.
float priorBits(int token) {
  if (token == cf::kEndOfBlock) return 2.0f;
  if (token == cf::kSixteenZeros) return 7.0f;
  if (token == cf::kDifference) return 3.0f;
  const int run = (token - 2) / 8, cls = (token - 2) % 8 + 1;
  return 2.5f + 0.6f * static_cast<float>(run) + 1.2f * static_cast<float>(cls - 1);
}
constexpr double kPriorTokens = 16;

}  // namespace

// The nearest components of each colour, found once per encoder: the search
// is the costly part, and pictures repeat their colours. The colour cube is
// kept in blocks of 8 x 8 x 8 colours, each allocated when the first of its
// colours turns up, so the memory follows the colours the pictures use. The
// threads of a frame look up and fill at once: a block is published with a
// single exchange, and threads that find the same colour together store the
// same value.
class Encoder::Colours {
  using Entry = std::atomic<std::uint32_t>;  // 1 << 30 | each component + 512 in 10 bits; 0 until found
  static constexpr int kBlocks = 1 << 15, kBlockColours = 1 << 9;

 public:
  Colours() : blocks_(new std::atomic<Entry*>[kBlocks]()) {}
  ~Colours() {
    for (int i = 0; i < kBlocks; ++i) delete[] blocks_[i].load(std::memory_order_relaxed);
  }
  Colours(const Colours&) = delete;
  Colours& operator=(const Colours&) = delete;

  // Asks the memory for the entry of the pixel px, which find() will want
  // soon: pictures visit the cube all over, and a lookup waits on memory.
  void prefetch(const std::uint8_t* px) const {
    const unsigned r = px[0], g = px[1], b = px[2];
    const Entry* block = blocks_[(r >> 3) << 10 | (g >> 3) << 5 | b >> 3].load(std::memory_order_relaxed);
    if (block) __builtin_prefetch(&block[(r & 7) << 6 | (g & 7) << 3 | (b & 7)]);
  }

  // The components of the pixel px (r, g, b) into c.
  void find(const std::uint8_t* px, short* c) {
    const unsigned r = px[0], g = px[1], b = px[2];
    const unsigned index = (r >> 3) << 10 | (g >> 3) << 5 | b >> 3;
    Entry* block = blocks_[index].load(std::memory_order_acquire);
    if (block == nullptr) block = allocate(index);
    Entry* entry = block ? &block[(r & 7) << 6 | (g & 7) << 3 | (b & 7)] : nullptr;
    std::uint32_t packed = entry ? entry->load(std::memory_order_relaxed) : 0;
    if (packed == 0) {
      const auto found = rgbToComponents(px[0], px[1], px[2]);
      packed = 1u << 30 | std::uint32_t(found[0] + 512) << 20 | std::uint32_t(found[1] + 512) << 10 |
               std::uint32_t(found[2] + 512);
      if (entry) entry->store(packed, std::memory_order_relaxed);
    }
    for (int k = 0; k < 3; ++k) c[k] = static_cast<short>(static_cast<int>(packed >> (20 - 10 * k) & 1023) - 512);
  }

 private:
  // The block, zeroed, unless another thread was first; null when out of
  // memory, and then its colours are searched each time.
  Entry* allocate(unsigned index) {
    Entry* fresh = new (std::nothrow) Entry[kBlockColours]();
    if (fresh == nullptr) return nullptr;
    Entry* first = nullptr;
    if (blocks_[index].compare_exchange_strong(first, fresh, std::memory_order_acq_rel, std::memory_order_acquire))
      return fresh;
    delete[] fresh;
    return first;
  }

  std::unique_ptr<std::atomic<Entry*>[]> blocks_;
};

Encoder::Encoder(int w, int h, const EncoderSettings& settings)
    : width_(checkedSize(w, h)),
      height_(h),
      codedWidth_(codedSide(w)),
      codedHeight_(codedSide(h)),
      passes_(settings.passes),
      decoder_(codedWidth_, codedHeight_, settings.threads),
      colours_(std::make_unique<Colours>()),
      histograms_(static_cast<std::size_t>(settings.threads), std::vector<std::uint32_t>(2 * 64 * kBins)),
      decoded_(w, h) {
  const std::size_t samples = payloadBytes(codedWidth_, codedHeight_);
  residuals_.resize(samples);
  coefficients_.resize(samples);
  target_.resize(3 * static_cast<std::size_t>(codedWidth_) * codedHeight_);
  prediction_.resize(target_.size());
  counts_.resize(samples / 64);
  previous_.resize(samples / 64);
  tops_.resize(static_cast<std::size_t>(settings.threads));
  tokenCounts_.assign(static_cast<std::size_t>(settings.threads),
                      std::vector<std::uint32_t>(static_cast<std::size_t>(cf::kContexts) * cf::kTokens));
  const int quality = std::clamp(settings.quality, 1, 100);
  lambda_ = static_cast<float>(kDefaultLambda * std::exp2((kDefaultQuality - quality) / kLambdaHalving));
  updateRates(false);
  if (settings.threads > 1) pool_ = std::make_unique<kelvo4::WorkerPool>(settings.threads);
}

Encoder::~Encoder() = default;

// One frame's work, shared by the threads: each takes whole macroblock rows.
struct Encoder::Job {
  Encoder& encoder;
  const std::uint8_t* rgb;
  signed char* payload;
  const short* quant;
  bool key;
  RowWork work = nullptr;
  std::atomic<int> nextRow{0};
};

void Encoder::run(RowWork work, Job& job) {
  job.work = work;
  job.nextRow = 0;
  if (pool_)
    pool_->run(rows, &job);
  else
    rows(&job, 0);
}

void Encoder::rows(void* context, int worker) {
  Job& job = *static_cast<Job*>(context);
  for (int my; (my = job.nextRow.fetch_add(1, std::memory_order_relaxed)) < job.encoder.codedHeight_ / 16;)
    (job.encoder.*job.work)(job, my, worker);
}

// The macroblock row's pixels as components, its prediction, its residual
// blocks (in payload order) and their transforms.
void Encoder::analyseRow(const Job& job, int my, int worker) {
  const int w = codedWidth_, y0 = 16 * my;
  const std::uint8_t* rgb = job.rgb;
  for (int y = y0; y < y0 + 16 && y < height_; ++y) {
    short* row = &target_[3 * static_cast<std::size_t>(y) * w];
    const std::uint8_t* px = rgb + 3 * static_cast<std::size_t>(y) * width_;
    constexpr int kAhead = 16;
    for (int x = 0; x < width_; ++x, px += 3) {
      if (x + kAhead < width_) colours_->prefetch(px + 3 * kAhead);
      colours_->find(px, row + 3 * x);
    }
    // The margin repeats the edge pixels: smooth content the blocks code
    // cheaply and the prediction carries into the picture without a seam.
    for (int x = width_; x < w; ++x) std::copy(row + 3 * (width_ - 1), row + 3 * width_, row + 3 * x);
  }
  for (int y = std::max(y0, height_); y < y0 + 16; ++y)
    std::copy_n(&target_[3 * static_cast<std::size_t>(height_ - 1) * w], 3 * w,
                &target_[3 * static_cast<std::size_t>(y) * w]);
  // The decoder will start the frame from this prediction.
  kelvo4::predictNext(decoder_.get(), prediction_.data(), y0, y0 + 16);

  auto residual = [&](int x, int y, int k) {
    const std::size_t i = 3 * (static_cast<std::size_t>(y) * w + x) + k;
    return target_[i] - prediction_[i];
  };
  std::uint32_t* histogram = histograms_[static_cast<std::size_t>(worker)].data();
  auto finish = [&](std::size_t block, int chroma) {
    short* coef = &coefficients_[64 * block];
    transform(&residuals_[64 * block], coef);
    // One block in four describes the frame well enough, at a quarter of the
    // scattered counting (of chroma, both blocks of every fourth macroblock:
    // c1 and c2 alternate). Only the few magnitudes beyond kCounted, which
    // tell the range the factors need, are counted in every block: a sample
    // can miss them all.
    std::uint32_t* counts = histogram + chroma * 64 * kBins;
    std::uint16_t* top = &tops_[static_cast<std::size_t>(worker)][64 * chroma];
    if ((chroma ? block / 2 % 4 : block % 4) != 0) {
      for (std::uint64_t big = beyond(coef, kCounted); big; big &= big - 1) {
        const int i = std::countr_zero(big), v = std::min(std::abs(int{coef[i]}), kBins - 1);
        ++counts[i * kBins + v];
        top[i] = static_cast<std::uint16_t>(std::max(int{top[i]}, v + 1));
      }
    } else {
      for (int i = 0; i < 64; ++i) {
        const int v = std::min(std::abs(int{coef[i]}), kBins - 1);
        counts[i * kBins + v] += v > kCounted ? 1 : 4;
        top[i] = static_cast<std::uint16_t>(std::max(int{top[i]}, v + 1));
      }
    }
  };
  const int bw = w / 8;
  for (int by = 2 * my; by < 2 * my + 2; ++by)
    for (int bx = 0; bx < bw; ++bx) {
      const std::size_t block = static_cast<std::size_t>(by) * bw + bx;
      short* samples = &residuals_[64 * block];
      for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c)
          samples[8 * r + c] = static_cast<short>(clampInt(residual(8 * bx + c, 8 * by + r, 0), -32768, 32767));
      finish(block, 0);
    }
  // One residual sample serves a 2x2 group; the group mean of the wanted
  // residuals minimises the squared error over its four pixels.
  const int mw = w / 16;
  for (int mx = 0; mx < mw; ++mx)
    for (int k = 1; k <= 2; ++k) {
      const std::size_t block = static_cast<std::size_t>(bw) * (codedHeight_ / 8) + 2 * (my * mw + mx) + (k - 1);
      short* samples = &residuals_[64 * block];
      for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) {
          const int x = 16 * mx + 2 * c, y = y0 + 2 * r;
          const int sum = residual(x, y, k) + residual(x + 1, y, k) + residual(x, y + 1, k) + residual(x + 1, y + 1, k);
          samples[8 * r + c] = static_cast<short>(clampInt((sum + 2) >> 2, -32768, 32767));
        }
      finish(block, 1);
    }
}

void Encoder::codeRow(const Job& job, int my, int worker) {
  const Steps steps(job.quant);
  const int bw = codedWidth_ / 8, mw = codedWidth_ / 16;
  std::uint32_t* tokens = tokenCounts_[static_cast<std::size_t>(worker)].data();
  // A block's context takes the non-zero counts of its left and upper
  // neighbours as the coefficient coder does, except that an upper one in the
  // macroblock row above counts as missing: another thread may be coding it.
  auto code = [&](std::size_t block, std::ptrdiff_t left, std::ptrdiff_t above, int chroma) {
    const int act = cf::activity(left >= 0 ? counts_[static_cast<std::size_t>(left)] : -1,
                                 above >= 0 ? counts_[static_cast<std::size_t>(above)] : -1,
                                 job.key ? 0 : previous_[block]);
    int context[cf::kBands];
    RateTerms rate;
    rate.lambda = chroma ? lambda_ / kChromaWeight : lambda_;
    for (int b = 0; b < cf::kBands; ++b) {
      context[b] = cf::contextOf(chroma, b, act) * cf::kTokens;
      rate.band[b] = &bits_[static_cast<std::size_t>(context[b])];
    }
    signed char* zigzag = job.payload + 64 * block;
    const long err = codeTransformed(&residuals_[64 * block], &coefficients_[64 * block], job.quant, steps, zigzag,
                                     passes_, &rate);
    // A block that the coder takes as its difference from the frame before
    // may keep the levels it had there if the error they add costs less than
    // the difference's bits: a settled still then costs next to nothing.
    signed char change[64];
    const signed char* coded = zigzag;
    if (!job.key && !last_.empty()) {
      const signed char* before = &last_[64 * block];
      cf::difference(zigzag, before, change);
      if (cf::codeAsDifference(zigzag, change)) {
        coded = change;
        alignas(16) short bytes[64], samples[64], diff[64];
        for (int k = 0; k < 64; ++k) bytes[kZigzag[k]] = before[k];
        reconstruct(bytes, job.quant, samples);
        const long kept = blockError(&residuals_[64 * block], samples, diff);
        if (static_cast<float>(kept - err) < rate.lambda * static_cast<float>(cf::estimatedBits(change))) {
          std::copy(before, before + 64, zigzag);
          std::fill(change, change + 64, static_cast<signed char>(0));
        }
      }
    }
    // The tokens the coder will make of it, for the next frame's costs.
    int i = 0;
    if (coded == change) ++tokens[context[0] + cf::kDifference];
    std::uint64_t mask = nonzeroMask(coded);
    for (; mask; mask &= mask - 1) {
      const int at = std::countr_zero(mask);
      for (; at - i >= 16; i += 16) ++tokens[context[cf::kBand[i]] + cf::kSixteenZeros];
      ++tokens[context[cf::kBand[i]] + cf::valueToken(at - i, cf::magnitudeClass(std::abs(int{coded[at]})))];
      i = at + 1;
    }
    if (i < 64) ++tokens[context[cf::kBand[i]] + cf::kEndOfBlock];
    counts_[block] = static_cast<std::uint8_t>(std::popcount(nonzeroMask(coded)));
  };
  for (int by = 2 * my; by < 2 * my + 2; ++by)
    for (int bx = 0; bx < bw; ++bx) {
      const std::size_t block = static_cast<std::size_t>(by) * bw + bx;
      code(block, bx ? static_cast<std::ptrdiff_t>(block) - 1 : -1,
           by % 2 ? static_cast<std::ptrdiff_t>(block) - bw : -1, 0);
    }
  const std::size_t chroma = static_cast<std::size_t>(bw) * (codedHeight_ / 8) + 2 * static_cast<std::size_t>(my) * mw;
  for (std::size_t block = chroma; block < chroma + 2 * static_cast<std::size_t>(mw); ++block)
    code(block, block >= chroma + 2 ? static_cast<std::ptrdiff_t>(block) - 2 : -1, -1, 1);
}

void Encoder::updateRates(bool counted) {
  const std::size_t cells = static_cast<std::size_t>(cf::kContexts) * cf::kTokens;
  bits_.resize(cells);
  double prior[cf::kTokens], total = 0;
  for (int t = 0; t < cf::kTokens; ++t) total += prior[t] = std::exp2(-priorBits(t));
  for (double& p : prior) p /= total;
  for (int ctx = 0; ctx < cf::kContexts; ++ctx) {
    const std::size_t at = static_cast<std::size_t>(ctx) * cf::kTokens;
    double n[cf::kTokens], sum = 0;
    for (int t = 0; t < cf::kTokens; ++t) {
      n[t] = 0;
      if (counted)
        for (const auto& counts : tokenCounts_) n[t] += counts[at + static_cast<std::size_t>(t)];
      sum += n[t];
    }
    for (int t = 0; t < cf::kTokens; ++t)
      bits_[at + static_cast<std::size_t>(t)] =
          static_cast<float>(std::log2((sum + kPriorTokens) / (n[t] + kPriorTokens * prior[t])));
  }
}

Table Encoder::fitTable() const {
  // Per position, the factor with the least squared error plus lambda times
  // bits over the frame's coefficients, each taking roughly the level that the
  // choice of levels would give it: the one with the least error plus lambda
  // times a guess of its bits (a token that grows with the magnitude class,
  // the plain bits; a zero costs nothing). Level l then takes the magnitudes
  // from (l - 1/2) q plus a dead zone of lambda times the extra bits over
  // 2 q, and 127 all larger ones.
  auto levelBits = [](int level) {
    if (level == 0) return 0.0;
    const int c = cf::magnitudeClass(level);
    return 3.0 + 0.7 * (c - 1) + plainBits(c);
  };
  double bits[129];
  for (int l = 0; l <= 128; ++l) bits[l] = levelBits(std::min(l, 127));
  Table table;
  std::vector<double> count(kBins + 1), sum(kBins + 1), squares(kBins + 1);
  double cost[kMaxFactor + 1] = {};
  for (int i = 0; i < 64; ++i) {
    std::fill(std::begin(cost), std::end(cost), 0.0);
    for (int chroma = 0; chroma < 2; ++chroma) {
      const std::size_t at = static_cast<std::size_t>(chroma) * 64 + static_cast<std::size_t>(i);
      int top = 0;
      for (const auto& tops : tops_) top = std::max(top, int{tops[at]});
      if (top == 0) continue;
      for (int v = 0; v < top; ++v) {
        double h = 0;
        for (const auto& histogram : histograms_) h += histogram[at * kBins + static_cast<std::size_t>(v)];
        count[v + 1] = count[v] + h;
        sum[v + 1] = sum[v] + h * v;
        squares[v + 1] = squares[v] + h * v * v;
      }
      // Sums over the magnitudes from lo up to below hi.
      auto from = [&](double x) { return std::clamp(static_cast<int>(std::ceil(x)), 0, top); };
      const double weight = chroma ? kChromaWeight : 1.0, lambda = lambda_ / weight;
      for (int q = 1; q <= kMaxFactor; ++q) {
        // Even factors round half of all coefficients by a whole step's half:
        // under plain rounding 2 coded worse than 3 at more bytes, and with
        // the rate term allowing it measured no gain.
        if (q == 2) continue;
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
    for (int q = 3; q <= kMaxFactor; ++q)
      if (cost[q] < cost[bestQ]) bestQ = q;
    // The factor in force stays unless another is clearly better: a new
    // factor changes every level at its position, so a still scene whose
    // statistics wobble would never settle.
    const int held = started_ ? static_cast<int>(table_[i]) : 0;
    if (held >= 1 && held <= kMaxFactor && held != 2 && cost[held] <= cost[bestQ] * 1.02) bestQ = held;
    table[i] = static_cast<float>(bestQ);
  }
  return table;
}

double Encoder::encodeFrame(const std::uint8_t* rgb, signed char* payload, bool key) {
  if (key) decoder_.reinit(codedWidth_, codedHeight_);
  // Only the counted part of each histogram needs clearing.
  for (std::size_t t = 0; t < histograms_.size(); ++t) {
    for (std::size_t at = 0; at < 128; ++at)
      std::fill_n(histograms_[t].begin() + static_cast<std::ptrdiff_t>(at * kBins), tops_[t][at], 0u);
    tops_[t].fill(0);
  }
  Job job{*this, rgb, payload, nullptr, key};
  run(&Encoder::analyseRow, job);
  const Table fitted = fitTable();
  tableChanged_ = !started_ || fitted != table_;
  if (tableChanged_) {
    table_ = fitted;
    decoder_.setTable(table_.data());
  }
  started_ = true;
  job.quant = kelvo4::decoderTable(decoder_.get());
  for (auto& counts : tokenCounts_) std::fill(counts.begin(), counts.end(), 0u);
  run(&Encoder::codeRow, job);
  updateRates(true);
  previous_.swap(counts_);
  const int length = static_cast<int>(payloadBytes(codedWidth_, codedHeight_));
  last_.assign(payload, payload + length);
  const int rc = kelvo4_decoder_decode_region(decoder_.get(), payload, length, decoded_.rgb.data(), KELVO4_RGB24,
                                              width_, height_, static_cast<int>(decoded_.rgb.size()));
  if (rc != 0) throw std::logic_error("the encoder's decoder refused its own payload");
  return psnr(rgb, decoded_.rgb.data(), decoded_.rgb.size());
}

}  // namespace kelvo4
