// Kernels for the SSE integer extensions: rows rearranged by word shuffles.
#include "dct.h"

#if KELVO4_DCT_X86
#include <xmmintrin.h>

#include "dct_mmx.h"

namespace {

// One inverse row; the SSE table pairs (x0,x2) (x4,x6) (x1,x3) (x5,x7).
inline void idctRowSse(short* row, const int16_t* tab, const int32_t* rnd) {
  const __m64 lo = load64(row), hi = load64(row + 4);
  const __m64 x02 = _mm_shuffle_pi16(lo, _MM_SHUFFLE(2, 0, 2, 0));
  const __m64 x13 = _mm_shuffle_pi16(lo, _MM_SHUFFLE(3, 1, 3, 1));
  const __m64 x46 = _mm_shuffle_pi16(hi, _MM_SHUFFLE(2, 0, 2, 0));
  const __m64 x57 = _mm_shuffle_pi16(hi, _MM_SHUFFLE(3, 1, 3, 1));
  const __m64 r = load64(rnd);
  const __m64 a01 = _mm_add_pi32(_mm_add_pi32(_mm_madd_pi16(x02, load64(tab)), _mm_madd_pi16(x46, load64(tab + 4))), r);
  const __m64 a23 =
      _mm_add_pi32(_mm_add_pi32(_mm_madd_pi16(x02, load64(tab + 8)), _mm_madd_pi16(x46, load64(tab + 12))), r);
  const __m64 b01 = _mm_add_pi32(_mm_madd_pi16(x13, load64(tab + 16)), _mm_madd_pi16(x57, load64(tab + 20)));
  const __m64 b23 = _mm_add_pi32(_mm_madd_pi16(x13, load64(tab + 24)), _mm_madd_pi16(x57, load64(tab + 28)));
  __m64 y03, y5476;
  idctRowPack(a01, a23, b01, b23, y03, y5476);
  store64(row, y03);
  store64(row + 4, _mm_shuffle_pi16(y5476, _MM_SHUFFLE(2, 3, 0, 1)));
}

// One forward row, its upper half reversed by a single word shuffle.
inline void fdctRowSse(short* row, const int16_t* tab, const int16_t* rndLo, const int16_t* rndHi) {
  const __m64 rev = _mm_shuffle_pi16(load64(row + 4), _MM_SHUFFLE(0, 1, 2, 3));
  fdctRowCoreMmx(row, load64(row), rev, tab, rndLo, rndHi);
}

}  // namespace

void Vrel_IDct16_SSE(short* block) {
  for (int r = 0; r < 8; r++) idctRowSse(block + 8 * r, kIdctRowTab[r], kIdctRowRnd[r]);
  idctColumnsMmx(block);
  idctColumnsMmx(block + 4);
}

void Vrel_Dct16_SSE(short* block) {
  fdctColumnsMmx(block);
  fdctColumnsMmx(block + 4);
  for (int r = 0; r < 8; r++) fdctRowSse(block + 8 * r, kFdctRowTab[r], kFdctRowRndLo[r], kFdctRowRndHi[r]);
}
#endif
