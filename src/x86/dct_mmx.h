// Four-lane building blocks shared by the MMX and SSE kernels: the row passes
// once a row's inputs are paired (inverse) or its upper half reversed
// (forward), and the column passes four columns at a time. The two kernels
// differ only in how they rearrange rows.
#pragma once

#include <mmintrin.h>

#include "src/dct/dct_columns.h"
#include "src/x86/x86.h"

namespace kelvo4 {
namespace {

// Unaligned 64-bit load and store: the block needs only 2-byte alignment.
// Through a may_alias vector type, so the compiler keeps them in vector
// registers (a memcpy here goes through general registers).
typedef int16_t Vec64Unaligned __attribute__((vector_size(8), may_alias, aligned(1)));

inline __m64 load64(const void* p) { return reinterpret_cast<__m64>(*static_cast<const Vec64Unaligned*>(p)); }

inline void store64(void* p, __m64 v) { *static_cast<Vec64Unaligned*>(p) = reinterpret_cast<Vec64Unaligned>(v); }

// Inverse row r from its inputs in pairs, each pair repeated: e0 and e1 the
// even inputs, o0 and o1 the odd ones, paired as the table tab lays them out.
// The sums wrap in 32 bits. Gives y0..y3 in lo, and y5 y4 y7 y6 in hi.
inline void idctRowCoreMmx(__m64 e0, __m64 e1, __m64 o0, __m64 o1, const int16_t* tab, int r, __m64& lo,
                           __m64& hi) {
  const __m64 rnd = load64(kIdctRowRnd.row[r]);
  const __m64 a01 = _mm_add_pi32(_mm_add_pi32(_mm_madd_pi16(e0, load64(tab)), _mm_madd_pi16(e1, load64(tab + 4))), rnd);
  const __m64 a23 =
      _mm_add_pi32(_mm_add_pi32(_mm_madd_pi16(e0, load64(tab + 8)), _mm_madd_pi16(e1, load64(tab + 12))), rnd);
  const __m64 b01 = _mm_add_pi32(_mm_madd_pi16(o0, load64(tab + 16)), _mm_madd_pi16(o1, load64(tab + 20)));
  const __m64 b23 = _mm_add_pi32(_mm_madd_pi16(o0, load64(tab + 24)), _mm_madd_pi16(o1, load64(tab + 28)));
  const __m64 y01 = _mm_srai_pi32(_mm_add_pi32(a01, b01), 11);
  const __m64 y23 = _mm_srai_pi32(_mm_add_pi32(a23, b23), 11);
  const __m64 y76 = _mm_srai_pi32(_mm_sub_pi32(a01, b01), 11);
  const __m64 y54 = _mm_srai_pi32(_mm_sub_pi32(a23, b23), 11);
  lo = _mm_packs_pi32(y01, y23);
  hi = _mm_packs_pi32(y54, y76);
}

// The 16-bit lane operations of the column pass on four lanes.
struct ColumnLanesMmx {
  using Vec = __m64;
  static Vec splat(const int16_t* p) { return load64(p); }
  static Vec adds(Vec a, Vec b) { return _mm_adds_pi16(a, b); }
  static Vec subs(Vec a, Vec b) { return _mm_subs_pi16(a, b); }
  static Vec mulhi(Vec a, Vec b) { return _mm_mulhi_pi16(a, b); }
  static Vec shift6(Vec a) { return _mm_srai_pi16(a, 6); }
  static Vec shl3(Vec a) { return _mm_slli_pi16(a, 3); }
  static Vec shl4(Vec a) { return _mm_slli_pi16(a, 4); }
  static Vec orOne(Vec a) { return _mm_or_si64(a, _mm_set1_pi16(1)); }
};

// Inverse column pass on columns col[0..3], every row at stride 8.
inline void idctColumnsMmx(short* col) {
  __m64 y[8];
  for (int k = 0; k < 8; k++) y[k] = load64(col + 8 * k);
  idctColumnPass<ColumnLanesMmx>(y);
  for (int k = 0; k < 8; k++) store64(col + 8 * k, y[k]);
}

// Forward column pass on columns col[0..3], every row at stride 8.
inline void fdctColumnsMmx(short* col) {
  __m64 x[8];
  for (int k = 0; k < 8; k++) x[k] = load64(col + 8 * k);
  fdctColumnPass<ColumnLanesMmx>(x);
  for (int k = 0; k < 8; k++) store64(col + 8 * k, x[k]);
}

// Forward row pass on row r of a block, given its lower half (z0..z3) and
// its upper half reversed (z7..z6..z4).
inline void fdctRowCoreMmx(short* row, __m64 lo, __m64 rev, int r) {
  const int16_t* tab = kFdctRow.row[r];
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
  store64(row, _mm_srai_pi16(_mm_adds_pi16(h03, load64(kFdctRowRnd.row[r])), 4));
  store64(row + 4, _mm_srai_pi16(_mm_adds_pi16(h47, load64(kFdctRowRnd.row[r] + 4)), 4));
}

}  // namespace
}  // namespace kelvo4
