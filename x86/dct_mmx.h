// Four-lane building blocks shared by the MMX and SSE kernels: the column
// passes, four columns at a time, and the forward row pass once a row's upper
// half is reversed. The two kernels differ only in how they rearrange rows.
#pragma once

#include <mmintrin.h>

#include "dct.h"
#include "dct_columns.h"

// Unaligned 64-bit load and store: the block needs only 2-byte alignment.
// Through a may_alias vector type, so the compiler keeps them in vector
// registers (a memcpy here goes through general registers).
typedef int16_t Vec64Unaligned __attribute__((vector_size(8), may_alias, aligned(1)));

static inline __m64 load64(const void* p) { return reinterpret_cast<__m64>(*static_cast<const Vec64Unaligned*>(p)); }

static inline void store64(void* p, __m64 v) { *static_cast<Vec64Unaligned*>(p) = reinterpret_cast<Vec64Unaligned>(v); }

// Inverse row outputs from the row sums a01 = (a0, a1), a23 = (a2, a3), b01,
// b23 in 32-bit lanes (all wrapping): y0..y3 in lo, and y5 y4 y7 y6 in hi.
static inline void idctRowPack(__m64 a01, __m64 a23, __m64 b01, __m64 b23, __m64& lo, __m64& hi) {
  const __m64 y01 = _mm_srai_pi32(_mm_add_pi32(a01, b01), 11);
  const __m64 y23 = _mm_srai_pi32(_mm_add_pi32(a23, b23), 11);
  const __m64 y76 = _mm_srai_pi32(_mm_sub_pi32(a01, b01), 11);
  const __m64 y54 = _mm_srai_pi32(_mm_sub_pi32(a23, b23), 11);
  lo = _mm_packs_pi32(y01, y23);
  hi = _mm_packs_pi32(y54, y76);
}

// The 16-bit lane operations of the column pass on four lanes.
struct MmxLanes {
  using Vec = __m64;
  static Vec splat(const int16_t* p) { return load64(p); }
  static Vec adds(Vec a, Vec b) { return _mm_adds_pi16(a, b); }
  static Vec subs(Vec a, Vec b) { return _mm_subs_pi16(a, b); }
  static Vec mulhi(Vec a, Vec b) { return _mm_mulhi_pi16(a, b); }
  static Vec shift6(Vec a) { return _mm_srai_pi16(a, 6); }
};

// Inverse column pass on columns col[0..3], every row at stride 8.
static inline void idctColumnsMmx(short* col) {
  __m64 y[8];
  for (int k = 0; k < 8; k++) y[k] = load64(col + 8 * k);
  idctColumnPass<MmxLanes>(y);
  for (int k = 0; k < 8; k++) store64(col + 8 * k, y[k]);
}

// Forward column pass on columns col[0..3], every row at stride 8.
static inline void fdctColumnsMmx(short* col) {
  const __m64 t1 = load64(tan1), t2 = load64(tan2), t3 = load64(tan3), s2 = load64(sqrt2);
  const __m64 one = load64(MMX_One);
  const __m64 x0 = load64(col), x1 = load64(col + 8), x2 = load64(col + 16), x3 = load64(col + 24);
  const __m64 x4 = load64(col + 32), x5 = load64(col + 40), x6 = load64(col + 48), x7 = load64(col + 56);

  const __m64 s07 = _mm_adds_pi16(x0, x7), d07 = _mm_subs_pi16(x0, x7);
  const __m64 s16 = _mm_adds_pi16(x1, x6), d16 = _mm_subs_pi16(x1, x6);
  const __m64 s25 = _mm_adds_pi16(x2, x5), d25 = _mm_subs_pi16(x2, x5);
  const __m64 s34 = _mm_adds_pi16(x3, x4), d34 = _mm_subs_pi16(x3, x4);
  const __m64 a0 = _mm_subs_pi16(s07, s34), b0 = _mm_subs_pi16(s16, s25);
  // Plain shifts: the scaling wraps instead of saturating.
  const __m64 e0 = _mm_slli_pi16(_mm_adds_pi16(_mm_adds_pi16(s34, s34), a0), 3);
  const __m64 e1 = _mm_slli_pi16(_mm_adds_pi16(_mm_adds_pi16(s25, s25), b0), 3);
  const __m64 a = _mm_slli_pi16(a0, 3), b = _mm_slli_pi16(b0, 3);
  const __m64 d07s = _mm_slli_pi16(d07, 3), d34s = _mm_slli_pi16(d34, 3);
  const __m64 d16s = _mm_slli_pi16(d16, 4), d25s = _mm_slli_pi16(d25, 4);

  const __m64 y4 = _mm_subs_pi16(e0, e1);
  store64(col, _mm_adds_pi16(_mm_adds_pi16(e1, e1), y4));
  store64(col + 32, y4);
  store64(col + 16, _mm_or_si64(_mm_adds_pi16(_mm_mulhi_pi16(b, t2), a), one));
  store64(col + 48, _mm_or_si64(_mm_subs_pi16(_mm_mulhi_pi16(a, t2), b), one));

  const __m64 u = _mm_subs_pi16(d16s, d25s);
  const __m64 w = _mm_adds_pi16(_mm_adds_pi16(d25s, d25s), u);
  const __m64 w1 = _mm_or_si64(_mm_mulhi_pi16(w, s2), one);
  const __m64 u1 = _mm_mulhi_pi16(u, s2);
  const __m64 p = _mm_subs_pi16(d34s, u1), q = _mm_subs_pi16(d07s, w1);
  const __m64 r = _mm_adds_pi16(w1, d07s), t = _mm_adds_pi16(u1, d34s);
  store64(col + 8, _mm_adds_pi16(_mm_mulhi_pi16(t, t1), r));
  store64(col + 56, _mm_subs_pi16(_mm_mulhi_pi16(r, t1), t));
  store64(col + 24, _mm_subs_pi16(q, _mm_adds_pi16(_mm_mulhi_pi16(p, t3), p)));
  store64(col + 40, _mm_adds_pi16(p, _mm_adds_pi16(_mm_mulhi_pi16(q, t3), q)));
}

// Forward row pass on one row, given its lower half (z0..z3) and its upper
// half reversed (z7..z6..z4).
static inline void fdctRowCoreMmx(short* row, __m64 lo, __m64 rev, const int16_t* tab, const int16_t* rndLo,
                                  const int16_t* rndHi) {
  const __m64 s = _mm_adds_pi16(lo, rev), d = _mm_subs_pi16(lo, rev);
  const __m64 sd01 = _mm_unpacklo_pi32(s, d);  // S0 S1 D0 D1
  const __m64 sd23 = _mm_unpackhi_pi32(s, d);  // S2 S3 D2 D3
  // Each madd forms half of an even output and half of the next odd one;
  // the 32-bit sums wrap.
  const __m64 f01 = _mm_add_pi32(_mm_madd_pi16(sd01, load64(tab)), _mm_madd_pi16(sd23, load64(tab + 4)));
  const __m64 f23 = _mm_add_pi32(_mm_madd_pi16(sd01, load64(tab + 8)), _mm_madd_pi16(sd23, load64(tab + 12)));
  const __m64 f45 = _mm_add_pi32(_mm_madd_pi16(sd01, load64(tab + 16)), _mm_madd_pi16(sd23, load64(tab + 20)));
  const __m64 f67 = _mm_add_pi32(_mm_madd_pi16(sd01, load64(tab + 24)), _mm_madd_pi16(sd23, load64(tab + 28)));
  // The high halves always fit 16 bits: the pack never clamps.
  const __m64 h03 = _mm_packs_pi32(_mm_srai_pi32(f01, 16), _mm_srai_pi32(f23, 16));
  const __m64 h47 = _mm_packs_pi32(_mm_srai_pi32(f45, 16), _mm_srai_pi32(f67, 16));
  store64(row, _mm_srai_pi16(_mm_adds_pi16(h03, load64(rndLo)), 4));
  store64(row + 4, _mm_srai_pi16(_mm_adds_pi16(h47, load64(rndHi)), 4));
}
