// MMX kernels: rows paired by interleaving their two halves.
#include "dct.h"

#if KELVO4_DCT_X86
#include <cstring>

#include "dct_mmx.h"

namespace {

// One inverse row; the MMX table pairs (x0,x4) (x2,x6) (x1,x5) (x3,x7).
inline void idctRowMmx(short* row, const int16_t* tab, const int32_t* rnd) {
  const __m64 lo = load64(row), hi = load64(row + 4);
  const __m64 p0415 = _mm_unpacklo_pi16(lo, hi);  // x0 x4 x1 x5
  const __m64 p2637 = _mm_unpackhi_pi16(lo, hi);  // x2 x6 x3 x7
  const __m64 x04 = _mm_unpacklo_pi32(p0415, p0415), x15 = _mm_unpackhi_pi32(p0415, p0415);
  const __m64 x26 = _mm_unpacklo_pi32(p2637, p2637), x37 = _mm_unpackhi_pi32(p2637, p2637);
  const __m64 r = load64(rnd);
  const __m64 a01 = _mm_add_pi32(_mm_add_pi32(_mm_madd_pi16(x04, load64(tab)), _mm_madd_pi16(x26, load64(tab + 4))), r);
  const __m64 a23 =
      _mm_add_pi32(_mm_add_pi32(_mm_madd_pi16(x04, load64(tab + 8)), _mm_madd_pi16(x26, load64(tab + 12))), r);
  const __m64 b01 = _mm_add_pi32(_mm_madd_pi16(x15, load64(tab + 16)), _mm_madd_pi16(x37, load64(tab + 20)));
  const __m64 b23 = _mm_add_pi32(_mm_madd_pi16(x15, load64(tab + 24)), _mm_madd_pi16(x37, load64(tab + 28)));
  __m64 y03, y5476;
  idctRowPack(a01, a23, b01, b23, y03, y5476);
  store64(row, y03);
  // Swap the words of each 32-bit lane.
  store64(row + 4, _mm_or_si64(_mm_srli_pi32(y5476, 16), _mm_slli_pi32(y5476, 16)));
}

// One forward row. Its upper half is reversed first: (z6, z7) from a 32-bit
// load interleaved with (z4, z5) gives z6 z4 z7 z5, whose halves interleave
// to z7 z6 z5 z4.
inline void fdctRowMmx(short* row, const int16_t* tab, const int16_t* rndLo, const int16_t* rndHi) {
  int32_t z67;
  std::memcpy(&z67, row + 6, sizeof z67);
  const __m64 mix = _mm_unpacklo_pi16(_mm_cvtsi32_si64(z67), load64(row + 4));
  const __m64 rev = _mm_unpacklo_pi16(_mm_srli_si64(mix, 32), mix);
  fdctRowCoreMmx(row, load64(row), rev, tab, rndLo, rndHi);
}

}  // namespace

void idctMmx(short* block) {
  for (int r = 0; r < 8; r++) idctRowMmx(block + 8 * r, kIdctRowTabMmx[r], kIdctRowRnd[r]);
  idctColumnsMmx(block);
  idctColumnsMmx(block + 4);
}

void fdctMmx(short* block) {
  fdctColumnsMmx(block);
  fdctColumnsMmx(block + 4);
  for (int r = 0; r < 8; r++) fdctRowMmx(block + 8 * r, kFdctRowTab[r], kFdctRowRndLo[r], kFdctRowRndHi[r]);
}
#endif
