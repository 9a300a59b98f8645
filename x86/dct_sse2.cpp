// Inverse kernel on 128-bit registers: a whole row per register in the row
// pass, all eight columns at once in the column pass. Uses the MMX tables.
#include "dct.h"
#include "dct_columns.h"

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

struct Sse2Lanes {
  using Vec = __m128i;
  static Vec splat(const int16_t* p) { return splat64(p); }
  static Vec adds(Vec a, Vec b) { return _mm_adds_epi16(a, b); }
  static Vec subs(Vec a, Vec b) { return _mm_subs_epi16(a, b); }
  static Vec mulhi(Vec a, Vec b) { return _mm_mulhi_epi16(a, b); }
  static Vec shift6(Vec a) { return _mm_srai_epi16(a, 6); }
};

inline void idctColumnsSse2(short* block) {
  __m128i y[8];
  for (int k = 0; k < 8; k++) y[k] = load128(block + 8 * k);
  idctColumnPass<Sse2Lanes>(y);
  for (int k = 0; k < 8; k++) _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * k), y[k]);
}

}  // namespace

void Vrel_IDct16_SSE2(short* block) {
  for (int r = 0; r < 8; r++) idctRowSse2(block + 8 * r, kIdctRowTabMmx[r], kIdctRowRnd[r]);
  idctColumnsSse2(block);
}

void idctRowsSse2(short* block, unsigned rows) {
  for (int r = 0; r < 8; r++) {
    if (rows >> r & 1)
      idctRowSse2(block + 8 * r, kIdctRowTabMmx[r], kIdctRowRnd[r]);
    else  // every sum of a zero row is the row's rounding constant
      _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * r), _mm_set1_epi16(static_cast<short>(kIdctRowRnd[r][0] >> 11)));
  }
  idctColumnsSse2(block);
}
#endif
