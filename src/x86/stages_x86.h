// Internal to x86/: what the SSE2, SSSE3 and AVX2 stages share. Code here has
// internal linkage, so each file keeps a copy built for its own instruction
// set.
#pragma once

#include <emmintrin.h>

#include "src/stage/stage_rows.h"
#include "src/x86/x86.h"

namespace kelvo4 {

// The byte shuffles that spread residual rows onto the interleaved frame:
// three for a luma row of 8, three for a chroma row pair (see addChroma).
alignas(16) inline constexpr signed char kSpreadMasks[6][16] = {
    // A row of 8 luma residuals onto every third sample of 24.
    {0, 1, -1, -1, -1, -1, 2, 3, -1, -1, -1, -1, 4, 5, -1, -1},
    {-1, -1, 6, 7, -1, -1, -1, -1, 8, 9, -1, -1, -1, -1, 10, 11},
    {-1, -1, -1, -1, 12, 13, -1, -1, -1, -1, 14, 15, -1, -1, -1, -1},
    // From interleaved (u0 v0 u1 v1 u2 v2 u3 v3), the triplets (0 u v) of
    // pixels 0..7, each residual pair serving two neighbouring pixels.
    {-1, -1, 0, 1, 2, 3, -1, -1, 0, 1, 2, 3, -1, -1, 4, 5},
    {6, 7, -1, -1, 4, 5, 6, 7, -1, -1, 8, 9, 10, 11, -1, -1},
    {8, 9, 10, 11, -1, -1, 12, 13, 14, 15, -1, -1, 12, 13, 14, 15},
};
// The byte shuffles of the vector dequantisation: m[p][q] fetches, from the
// 16-byte quarter q of the scan, the coefficients of natural rows 2p, 2p + 1,
// each row in natural order (kGather) or in kPairedRowOrder (kGatherPaired).
struct GatherMasks {
  alignas(16) signed char m[4][4][16];
};
extern const GatherMasks kGather;
extern const GatherMasks kGatherPaired;
// Whether quarter q of the scan holds any coefficient of rows 2p, 2p + 1
// (rows 0-1 have none in the last quarter, rows 6-7 none in the first).
struct GatherUse {
  bool q[4][4];
};
constexpr GatherUse gatherUse() {
  GatherUse u{};
  for (int k = 0; k < 64; ++k) u.q[kZigzag[k] / 16][k / 16] = true;
  return u;
}
inline constexpr GatherUse kGatherUse = gatherUse();

namespace {

inline __m128i spreadMaskSse2(int i) { return _mm_load_si128(reinterpret_cast<const __m128i*>(kSpreadMasks[i])); }

// The prediction's interior on 8 samples at a time (see smoothRowsWith).
struct SmoothStepSse2 {
  static std::ptrdiff_t smooth(const short* row, const short* up, const short* down, short* out, std::ptrdiff_t i,
                               std::ptrdiff_t end) {
    const __m128i three = _mm_set1_epi16(3);
    for (; i + 8 <= end; i += 8) {
      const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i - 3));
      const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i + 3));
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(up + i));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(down + i));
      const __m128i sum = _mm_add_epi16(_mm_add_epi16(l, r), _mm_add_epi16(a, b));
      // Quotient by 4 truncated toward zero: negative sums get 3 added first.
      const __m128i bias = _mm_and_si128(_mm_srai_epi16(sum, 15), three);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_srai_epi16(_mm_add_epi16(sum, bias), 2));
    }
    return i;
  }
};

}  // namespace
}  // namespace kelvo4
