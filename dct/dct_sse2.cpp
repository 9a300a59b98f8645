// Inverse kernel on 128-bit registers: a whole row per register in the row
// pass, all eight columns at once in the column pass. Uses the MMX tables.
#include "dct.h"

#if KELVO4_DCT_X86
#include <emmintrin.h>

namespace {

inline __m128i load128(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }

inline __m128i splat64(const void* p) {
  const __m128i v = _mm_loadl_epi64(static_cast<const __m128i*>(p));
  return _mm_unpacklo_epi64(v, v);
}

inline void idctRowSse2(short* row, const int16_t* tab, const int32_t* rnd) {
  const __m128i x = load128(row);
  const __m128i p = _mm_unpacklo_epi16(x, _mm_srli_si128(x, 8));  // x0 x4 x1 x5 x2 x6 x3 x7
  const __m128i x0426 = _mm_shuffle_epi32(p, _MM_SHUFFLE(2, 2, 0, 0));
  const __m128i x1537 = _mm_shuffle_epi32(p, _MM_SHUFFLE(3, 3, 1, 1));
  // Groups 1|2 give two partial sums each of a0 and a1, groups 3|4 of a2 and
  // a3; the halves are then added lane by lane. All sums wrap in 32 bits.
  const __m128i m01 = _mm_madd_epi16(x0426, load128(tab));
  const __m128i m23 = _mm_madd_epi16(x0426, load128(tab + 8));
  const __m128i n01 = _mm_madd_epi16(x1537, load128(tab + 16));
  const __m128i n23 = _mm_madd_epi16(x1537, load128(tab + 24));
  const __m128i a = _mm_add_epi32(_mm_add_epi32(_mm_unpacklo_epi64(m01, m23), _mm_unpackhi_epi64(m01, m23)),
                                  splat64(rnd));
  const __m128i b = _mm_add_epi32(_mm_unpacklo_epi64(n01, n23), _mm_unpackhi_epi64(n01, n23));
  const __m128i y03 = _mm_srai_epi32(_mm_add_epi32(a, b), 11);
  const __m128i y74 = _mm_srai_epi32(_mm_sub_epi32(a, b), 11);
  const __m128i y47 = _mm_shuffle_epi32(y74, _MM_SHUFFLE(0, 1, 2, 3));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(row), _mm_packs_epi32(y03, y47));
}

inline void idctColumnsSse2(short* block) {
  const __m128i t1 = splat64(tan1), t2 = splat64(tan2), t3 = splat64(tan3), s2 = splat64(sqrt2);
  const __m128i y0 = load128(block), y1 = load128(block + 8), y2 = load128(block + 16);
  const __m128i y3 = load128(block + 24), y4 = load128(block + 32), y5 = load128(block + 40);
  const __m128i y6 = load128(block + 48), y7 = load128(block + 56);

  const __m128i w0 = _mm_subs_epi16(_mm_adds_epi16(_mm_mulhi_epi16(y3, t3), y3), y5);
  const __m128i w1 = _mm_adds_epi16(_mm_adds_epi16(_mm_mulhi_epi16(y5, t3), y5), y3);
  const __m128i u0 = _mm_adds_epi16(_mm_mulhi_epi16(y7, t1), y1);
  const __m128i u1 = _mm_subs_epi16(_mm_mulhi_epi16(y1, t1), y7);
  const __m128i e0 = _mm_subs_epi16(u0, w1), e1 = _mm_subs_epi16(u1, w0);
  const __m128i o0 = _mm_adds_epi16(w1, u0), o1 = _mm_adds_epi16(w0, u1);
  const __m128i h0 = _mm_mulhi_epi16(_mm_adds_epi16(o1, e0), s2);
  const __m128i h1 = _mm_mulhi_epi16(_mm_subs_epi16(e0, o1), s2);
  const __m128i g0 = _mm_adds_epi16(h0, h0), g1 = _mm_adds_epi16(h1, h1);
  const __m128i p = _mm_adds_epi16(_mm_mulhi_epi16(y6, t2), y2);
  const __m128i q = _mm_subs_epi16(_mm_mulhi_epi16(y2, t2), y6);
  const __m128i d = _mm_subs_epi16(y0, y4);
  const __m128i s = _mm_adds_epi16(_mm_adds_epi16(y4, y4), d);
  const __m128i dm = _mm_subs_epi16(d, q), sm = _mm_subs_epi16(s, p);
  const __m128i dp = _mm_adds_epi16(_mm_adds_epi16(q, q), dm);
  const __m128i sp = _mm_adds_epi16(_mm_adds_epi16(p, p), sm);
  const __m128i z6 = _mm_subs_epi16(dp, g0), z5 = _mm_subs_epi16(dm, g1);
  const __m128i z[8] = {_mm_adds_epi16(o0, sp),
                        _mm_adds_epi16(_mm_adds_epi16(g0, g0), z6),
                        _mm_adds_epi16(_mm_adds_epi16(g1, g1), z5),
                        _mm_adds_epi16(e1, sm),
                        _mm_subs_epi16(sm, e1),
                        z5,
                        z6,
                        _mm_subs_epi16(sp, o0)};
  for (int k = 0; k < 8; k++) _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * k), _mm_srai_epi16(z[k], 6));
}

}  // namespace

void Vrel_IDct16_SSE2(short* block) {
  idctRowSse2(block + 0, iTab1_MMX, Idct_Rnd0);
  idctRowSse2(block + 8, iTab2_MMX, Idct_Rnd1);
  idctRowSse2(block + 16, iTab3_MMX, Idct_Rnd2);
  idctRowSse2(block + 24, iTab4_MMX, Idct_Rnd3);
  idctRowSse2(block + 32, iTab1_MMX, Idct_Rnd4);
  idctRowSse2(block + 40, iTab4_MMX, Idct_Rnd5);
  idctRowSse2(block + 48, iTab3_MMX, Idct_Rnd6);
  idctRowSse2(block + 56, iTab2_MMX, Idct_Rnd7);
  idctColumnsSse2(block);
}

void idctRowsSse2(short* block, unsigned rows) {
  static const int16_t* const tabs[8] = {iTab1_MMX, iTab2_MMX, iTab3_MMX, iTab4_MMX,
                                         iTab1_MMX, iTab4_MMX, iTab3_MMX, iTab2_MMX};
  static const int32_t* const rnds[8] = {Idct_Rnd0, Idct_Rnd1, Idct_Rnd2, Idct_Rnd3,
                                         Idct_Rnd4, Idct_Rnd5, Idct_Rnd6, Idct_Rnd7};
  for (int r = 0; r < 8; r++) {
    if (rows >> r & 1)
      idctRowSse2(block + 8 * r, tabs[r], rnds[r]);
    else  // every sum of a zero row is the row's rounding constant
      _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * r), _mm_set1_epi16(static_cast<short>(rnds[r][0] >> 11)));
  }
  idctColumnsSse2(block);
}
#endif
