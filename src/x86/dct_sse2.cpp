// Kernels on 128-bit registers: a whole row per register in the row passes,
// all eight columns at once in the column passes. The inverse uses the MMX
// tables, the forward one tables of its own.
#include <emmintrin.h>

#include "src/dct/dct_columns.h"
#include "src/x86/x86.h"

namespace kelvo4 {

namespace {

inline __m128i load128Sse2(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }

// For the tables, whose rows are 16-byte aligned.
inline __m128i loadTableSse2(const int16_t* p) { return _mm_load_si128(reinterpret_cast<const __m128i*>(p)); }

inline __m128i splat64Sse2(const void* p) {
  const __m128i v = _mm_loadl_epi64(static_cast<const __m128i*>(p));
  return _mm_unpacklo_epi64(v, v);
}

// Row r; the MMX table layout.
inline void idctRowSse2(short* row, int r) {
  const int16_t* tab = kIdctRowMmx.row[r];
  const __m128i x = load128Sse2(row);
  const __m128i p = _mm_unpacklo_epi16(x, _mm_srli_si128(x, 8));  // x0 x4 x1 x5 x2 x6 x3 x7
  const __m128i x0426 = _mm_shuffle_epi32(p, _MM_SHUFFLE(2, 2, 0, 0));
  const __m128i x1537 = _mm_shuffle_epi32(p, _MM_SHUFFLE(3, 3, 1, 1));
  // Groups 1|2 give two partial sums each of a0 and a1, groups 3|4 of a2 and
  // a3; the halves are then added lane by lane. All sums wrap in 32 bits.
  const __m128i m01 = _mm_madd_epi16(x0426, load128Sse2(tab));
  const __m128i m23 = _mm_madd_epi16(x0426, load128Sse2(tab + 8));
  const __m128i n01 = _mm_madd_epi16(x1537, load128Sse2(tab + 16));
  const __m128i n23 = _mm_madd_epi16(x1537, load128Sse2(tab + 24));
  const __m128i a = _mm_add_epi32(_mm_add_epi32(_mm_unpacklo_epi64(m01, m23), _mm_unpackhi_epi64(m01, m23)),
                                  splat64Sse2(kIdctRowRnd.row[r]));
  const __m128i b = _mm_add_epi32(_mm_unpacklo_epi64(n01, n23), _mm_unpackhi_epi64(n01, n23));
  const __m128i y03 = _mm_srai_epi32(_mm_add_epi32(a, b), 11);
  const __m128i y74 = _mm_srai_epi32(_mm_sub_epi32(a, b), 11);
  const __m128i y47 = _mm_shuffle_epi32(y74, _MM_SHUFFLE(0, 1, 2, 3));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(row), _mm_packs_epi32(y03, y47));
}

struct ColumnLanesSse2 {
  using Vec = __m128i;
  static Vec splat(const int16_t* p) { return splat64Sse2(p); }
  static Vec adds(Vec a, Vec b) { return _mm_adds_epi16(a, b); }
  static Vec subs(Vec a, Vec b) { return _mm_subs_epi16(a, b); }
  static Vec mulhi(Vec a, Vec b) { return _mm_mulhi_epi16(a, b); }
  static Vec shift6(Vec a) { return _mm_srai_epi16(a, 6); }
  static Vec shl3(Vec a) { return _mm_slli_epi16(a, 3); }
  static Vec shl4(Vec a) { return _mm_slli_epi16(a, 4); }
  static Vec orOne(Vec a) { return _mm_or_si128(a, _mm_set1_epi16(1)); }
};

inline void idctColumnsSse2(short* block) {
  __m128i y[8];
  for (int k = 0; k < 8; k++) y[k] = load128Sse2(block + 8 * k);
  idctColumnPass<ColumnLanesSse2>(y);
  for (int k = 0; k < 8; k++) _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * k), y[k]);
}

// Forward row v from sd = S0 S1 D0 D1 S2 S3 D2 D3, its pair sums and
// differences. Each product pair of a madd falls into one output's 32-bit
// lane, in order; the sums wrap.
inline __m128i fdctRowSse2(__m128i sd, int v) {
  const int16_t* tab = kFdctRowSse2.row[v];
  const __m128i p01 = _mm_shuffle_epi32(sd, _MM_SHUFFLE(1, 0, 1, 0));  // S0 S1 D0 D1, twice
  const __m128i p23 = _mm_shuffle_epi32(sd, _MM_SHUFFLE(3, 2, 3, 2));  // S2 S3 D2 D3, twice
  const __m128i f03 =
      _mm_add_epi32(_mm_madd_epi16(p01, loadTableSse2(tab)), _mm_madd_epi16(p23, loadTableSse2(tab + 8)));
  const __m128i f47 =
      _mm_add_epi32(_mm_madd_epi16(p01, loadTableSse2(tab + 16)), _mm_madd_epi16(p23, loadTableSse2(tab + 24)));
  // The high halves always fit 16 bits: the pack never clamps.
  const __m128i h = _mm_packs_epi32(_mm_srai_epi32(f03, 16), _mm_srai_epi32(f47, 16));
  return _mm_srai_epi16(_mm_adds_epi16(h, loadTableSse2(kFdctRowRnd.row[v])), 4);
}

// Forward rows v and v + 1, a and b, into out: their halves are regrouped
// so that one saturating add and one subtract give both rows' pairs.
inline void fdctRowPairSse2(__m128i a, __m128i b, int v, short* out) {
  const __m128i lo = _mm_unpacklo_epi64(a, b);  // z0..z3 of a, then of b
  const __m128i hi = _mm_unpackhi_epi64(a, b);  // z4..z7 of a, then of b
  const __m128i rev =  // z7..z4 of a, then of b
      _mm_shufflehi_epi16(_mm_shufflelo_epi16(hi, _MM_SHUFFLE(0, 1, 2, 3)), _MM_SHUFFLE(0, 1, 2, 3));
  const __m128i s = _mm_adds_epi16(lo, rev), d = _mm_subs_epi16(lo, rev);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), fdctRowSse2(_mm_unpacklo_epi32(s, d), v));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), fdctRowSse2(_mm_unpackhi_epi32(s, d), v + 1));
}

}  // namespace

void idctSse2(short* block) {
  for (int r = 0; r < 8; r++) idctRowSse2(block + 8 * r, r);
  idctColumnsSse2(block);
}

void idctRowsSse2(short* block, unsigned rows) {
  for (int r = 0; r < 8; r++) {
    if (rows >> r & 1)
      idctRowSse2(block + 8 * r, r);
    else  // every sum of a zero row is the row's rounding constant
      _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * r),
                       _mm_set1_epi16(static_cast<short>(kIdctRowRnd.row[r][0] >> 11)));
  }
  idctColumnsSse2(block);
}

// Every row is loaded before the first store: out may be in.
void fdctSse2(const short* in, short* out) {
  __m128i x[8];
  for (int k = 0; k < 8; k++) x[k] = load128Sse2(in + 8 * k);
  fdctColumnPass<ColumnLanesSse2>(x);
  for (int v = 0; v < 8; v += 2) fdctRowPairSse2(x[v], x[v + 1], v, out + 8 * v);
}

void fdctSse2(short* block) { fdctSse2(block, block); }

}  // namespace kelvo4
