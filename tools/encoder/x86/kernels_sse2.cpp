// SSE2 forms of the encoder's block helpers (see encoder/kernels.h), same
// results as the scalar references, and the choice of the x86 sets. x86-64
// only, where SSE2 is the baseline.
#include <emmintrin.h>

#include <algorithm>

#include "src/cpu/cpu.h"
#include "src/x86/x86.h"
#include "tools/encoder/level_search.h"
#include "tools/encoder/x86/x86.h"
#include "tools/writer/coefficient_encoder.h"

namespace kelvo4 {

namespace {

__m128i load(const short* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
__m128i loadAligned(const short* p) { return _mm_load_si128(reinterpret_cast<const __m128i*>(p)); }
void storeAligned(short* p, __m128i v) { _mm_store_si128(reinterpret_cast<__m128i*>(p), v); }

void transformSse2(const short* samples, short* coef) {
  // Saturating negation: |-32768| counts as 32767, still far beyond 255.
  __m128i top = _mm_setzero_si128();
  for (int i = 0; i < 64; i += 8) {
    const __m128i v = load(samples + i);
    top = _mm_max_epi16(top, _mm_max_epi16(v, _mm_subs_epi16(_mm_setzero_si128(), v)));
  }
  top = _mm_max_epi16(top, _mm_srli_si128(top, 8));
  top = _mm_max_epi16(top, _mm_srli_si128(top, 4));
  top = _mm_max_epi16(top, _mm_srli_si128(top, 2));
  const int peak = _mm_extract_epi16(top, 0);
  if (peak > 255) return transformScaled(samples, coef, peak, fdctSse2);
  // Within the kernel's range as they are, the common case: straight from
  // samples into coef.
  fdctSse2(samples, coef);
}

void reconstructSse2(const short* bytes, const short* quant, short* samples) {
  for (int i = 0; i < 64; i += 8) storeAligned(samples + i, _mm_mullo_epi16(loadAligned(bytes + i), load(quant + i)));
  idctSse2(samples);
}

long blockErrorSse2(const short* target, const short* samples, short* diff) {
  __m128i sum = _mm_setzero_si128();
  for (int i = 0; i < 64; i += 8) {
    const __m128i d = _mm_subs_epi16(load(target + i), loadAligned(samples + i));
    storeAligned(diff + i, d);
    const __m128i squares = _mm_madd_epi16(d, d);
    // Pairs of squares reach 2^31 only for 16-bit extremes: add them as
    // unsigned 64-bit halves.
    sum = _mm_add_epi64(sum, _mm_add_epi64(_mm_unpacklo_epi32(squares, _mm_setzero_si128()),
                                           _mm_unpackhi_epi32(squares, _mm_setzero_si128())));
  }
  return static_cast<long>(static_cast<std::uint64_t>(_mm_cvtsi128_si64(sum)) +
                           static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sum, sum))));
}

bool quantiseIntoSse2(const short* coef, const float* reciprocal, short* bytes) {
  __m128i changed = _mm_setzero_si128();
  const __m128i lo = _mm_set1_epi16(-128), hi = _mm_set1_epi16(127);
  for (int i = 0; i < 64; i += 8) {
    const __m128i c = load(coef + i);
    // Sign extension through the high half of each 32-bit lane; the rounding
    // is the default one, to nearest even, as nearbyint's.
    auto stepsOf = [&](__m128i widened, int j) {
      return _mm_cvtps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(_mm_srai_epi32(widened, 16)), _mm_load_ps(reciprocal + j)));
    };
    const __m128i step = _mm_packs_epi32(stepsOf(_mm_unpacklo_epi16(c, c), i), stepsOf(_mm_unpackhi_epi16(c, c), i + 4));
    const __m128i old = loadAligned(bytes + i);
    const __m128i b = _mm_min_epi16(_mm_max_epi16(_mm_adds_epi16(old, step), lo), hi);
    changed = _mm_or_si128(changed, _mm_xor_si128(b, old));
    storeAligned(bytes + i, b);
  }
  return _mm_movemask_epi8(_mm_cmpeq_epi8(changed, _mm_setzero_si128())) != 0xFFFF;
}

std::uint64_t beyondSse2(const short* coef, int limit) {
  std::uint64_t mask = 0;
  const __m128i hi = _mm_set1_epi16(static_cast<short>(limit)), lo = _mm_set1_epi16(static_cast<short>(-limit));
  for (int i = 0; i < 64; i += 16) {
    auto outside = [&](int at) {
      const __m128i c = load(coef + at);
      return _mm_or_si128(_mm_cmpgt_epi16(c, hi), _mm_cmplt_epi16(c, lo));
    };
    const auto bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(outside(i), outside(i + 8))));
    mask |= std::uint64_t{bits} << i;
  }
  return mask;
}

bool keepZerosSse2(const short* bytes, short* trial) {
  __m128i same = _mm_set1_epi16(-1);
  for (int i = 0; i < 64; i += 8) {
    const __m128i b = loadAligned(bytes + i);
    const __m128i t = _mm_andnot_si128(_mm_cmpeq_epi16(b, _mm_setzero_si128()), loadAligned(trial + i));
    storeAligned(trial + i, t);
    same = _mm_and_si128(same, _mm_cmpeq_epi16(t, b));
  }
  return _mm_movemask_epi8(same) != 0xFFFF;
}

std::uint64_t squaredErrorSse2(const std::uint8_t* a, const std::uint8_t* b, std::size_t count) {
  std::uint64_t sse = 0;
  std::size_t i = 0;
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
  return sse + squaredErrorC(a + i, b + i, count - i);
}

// Without a byte shuffle, the saturated differences go through memory to be
// picked out.
void lumaResidualSse2(const short* target, const short* prediction, int blocks, short* out) {
  for (int b = 0; b < blocks; ++b, target += 24, prediction += 24, out += 64) {
    alignas(16) short d[24];
    for (int i = 0; i < 24; i += 8) storeAligned(d + i, _mm_subs_epi16(load(target + i), load(prediction + i)));
    for (int c = 0; c < 8; ++c) out[c] = d[3 * c];
  }
}

constexpr EncoderKernels kHelpers = {transformSse2,   reconstructSse2, blockErrorSse2,  quantiseIntoSse2,
                                     beyondSse2,      keepZerosSse2,   nonzeroBytesSse2, squaredErrorSse2,
                                     lumaResidualSse2, coefficients::estimatedBits, nullptr, nullptr};

constexpr EncoderKernels kEncoderKernelsSse2 = encoding::withSearch(kHelpers, encoding::codeTransformedWith<kHelpers>);
#if KELVO4_ENCODER_AVX2
static_assert(encoding::kLookBack == 1, "the AVX2 search looks back one candidate, as the scalar one");
constexpr EncoderKernels kAvx2Helpers = [] {
  EncoderKernels k = kHelpers;
  k.lumaResidual = lumaResidualAvx2;
  k.colourRow = colourRowAvx2;
  k.estimatedBits = estimatedBitsAvx2;
  return k;
}();
constexpr EncoderKernels kEncoderKernelsAvx2 =
    encoding::withSearch(kAvx2Helpers, encoding::codeTransformedWith<kAvx2Helpers, encoding::chooseLevelsAvx2>);
#endif

}  // namespace

void initEncoderKernelsX86(const EncoderKernels*& kernels, unsigned flags) {
  if (!(flags & kCpuSse2)) return;
  kernels = &kEncoderKernelsSse2;
#if KELVO4_ENCODER_AVX2
  if (flags & kCpuAvx2) kernels = &kEncoderKernelsAvx2;
#endif
}

}  // namespace kelvo4
