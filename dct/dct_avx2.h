// The two-block inverse transform on 256-bit registers, for files built
// for AVX2: each 128-bit lane carries the same row of one of two blocks, so
// every step is the 128-bit kernel's step, done for both blocks at once.
#pragma once

#include <immintrin.h>

#include "dct.h"

namespace kelvo4_avx2 {

inline __m256i splat64(const void* p) {
  return _mm256_broadcastq_epi64(_mm_loadl_epi64(static_cast<const __m128i*>(p)));
}

inline __m256i table(const int16_t* t) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
}

// Row r of both blocks; the sums wrap in 32 bits like the scalar procedure's.
inline __m256i idctRow(__m256i x, const int16_t* tab, const int32_t* rnd) {
  const __m256i p = _mm256_unpacklo_epi16(x, _mm256_srli_si256(x, 8));  // x0 x4 x1 x5 x2 x6 x3 x7
  const __m256i x0426 = _mm256_shuffle_epi32(p, _MM_SHUFFLE(2, 2, 0, 0));
  const __m256i x1537 = _mm256_shuffle_epi32(p, _MM_SHUFFLE(3, 3, 1, 1));
  const __m256i m01 = _mm256_madd_epi16(x0426, table(tab));
  const __m256i m23 = _mm256_madd_epi16(x0426, table(tab + 8));
  const __m256i n01 = _mm256_madd_epi16(x1537, table(tab + 16));
  const __m256i n23 = _mm256_madd_epi16(x1537, table(tab + 24));
  const __m256i a = _mm256_add_epi32(
      _mm256_add_epi32(_mm256_unpacklo_epi64(m01, m23), _mm256_unpackhi_epi64(m01, m23)), splat64(rnd));
  const __m256i b = _mm256_add_epi32(_mm256_unpacklo_epi64(n01, n23), _mm256_unpackhi_epi64(n01, n23));
  const __m256i y03 = _mm256_srai_epi32(_mm256_add_epi32(a, b), 11);
  const __m256i y74 = _mm256_srai_epi32(_mm256_sub_epi32(a, b), 11);
  const __m256i y47 = _mm256_shuffle_epi32(y74, _MM_SHUFFLE(0, 1, 2, 3));
  return _mm256_packs_epi32(y03, y47);
}

// The whole transform of two blocks held as y[r] = (row r of the first
// block, row r of the second), in place.
inline void idctPair(__m256i y[8]) {
  static const int16_t* const tabs[8] = {iTab1_MMX, iTab2_MMX, iTab3_MMX, iTab4_MMX,
                                         iTab1_MMX, iTab4_MMX, iTab3_MMX, iTab2_MMX};
  static const int32_t* const rnds[8] = {Idct_Rnd0, Idct_Rnd1, Idct_Rnd2, Idct_Rnd3,
                                         Idct_Rnd4, Idct_Rnd5, Idct_Rnd6, Idct_Rnd7};
  for (int r = 0; r < 8; r++) y[r] = idctRow(y[r], tabs[r], rnds[r]);

  const __m256i t1 = splat64(tan1), t2 = splat64(tan2), t3 = splat64(tan3), s2 = splat64(sqrt2);
  const __m256i w0 = _mm256_subs_epi16(_mm256_adds_epi16(_mm256_mulhi_epi16(y[3], t3), y[3]), y[5]);
  const __m256i w1 = _mm256_adds_epi16(_mm256_adds_epi16(_mm256_mulhi_epi16(y[5], t3), y[5]), y[3]);
  const __m256i u0 = _mm256_adds_epi16(_mm256_mulhi_epi16(y[7], t1), y[1]);
  const __m256i u1 = _mm256_subs_epi16(_mm256_mulhi_epi16(y[1], t1), y[7]);
  const __m256i e0 = _mm256_subs_epi16(u0, w1), e1 = _mm256_subs_epi16(u1, w0);
  const __m256i o0 = _mm256_adds_epi16(w1, u0), o1 = _mm256_adds_epi16(w0, u1);
  const __m256i h0 = _mm256_mulhi_epi16(_mm256_adds_epi16(o1, e0), s2);
  const __m256i h1 = _mm256_mulhi_epi16(_mm256_subs_epi16(e0, o1), s2);
  const __m256i g0 = _mm256_adds_epi16(h0, h0), g1 = _mm256_adds_epi16(h1, h1);
  const __m256i p = _mm256_adds_epi16(_mm256_mulhi_epi16(y[6], t2), y[2]);
  const __m256i q = _mm256_subs_epi16(_mm256_mulhi_epi16(y[2], t2), y[6]);
  const __m256i d = _mm256_subs_epi16(y[0], y[4]);
  const __m256i s = _mm256_adds_epi16(_mm256_adds_epi16(y[4], y[4]), d);
  const __m256i dm = _mm256_subs_epi16(d, q), sm = _mm256_subs_epi16(s, p);
  const __m256i dp = _mm256_adds_epi16(_mm256_adds_epi16(q, q), dm);
  const __m256i sp = _mm256_adds_epi16(_mm256_adds_epi16(p, p), sm);
  const __m256i z6 = _mm256_subs_epi16(dp, g0), z5 = _mm256_subs_epi16(dm, g1);
  const __m256i z[8] = {_mm256_adds_epi16(o0, sp),
                        _mm256_adds_epi16(_mm256_adds_epi16(g0, g0), z6),
                        _mm256_adds_epi16(_mm256_adds_epi16(g1, g1), z5),
                        _mm256_adds_epi16(e1, sm),
                        _mm256_subs_epi16(sm, e1),
                        z5,
                        z6,
                        _mm256_subs_epi16(sp, o0)};
  for (int k = 0; k < 8; k++) y[k] = _mm256_srai_epi16(z[k], 6);
}

}  // namespace kelvo4_avx2
