// Kernels for the SSE integer extensions: rows rearranged by word shuffles.
#include <xmmintrin.h>

#include "src/x86/dct_mmx.h"

namespace kelvo4 {

namespace {

// One inverse row; the SSE table pairs (x0,x2) (x4,x6) (x1,x3) (x5,x7).
inline void idctRowSse(short* row, int r) {
  const __m64 lo = load64(row), hi = load64(row + 4);
  const __m64 x02 = _mm_shuffle_pi16(lo, _MM_SHUFFLE(2, 0, 2, 0));
  const __m64 x13 = _mm_shuffle_pi16(lo, _MM_SHUFFLE(3, 1, 3, 1));
  const __m64 x46 = _mm_shuffle_pi16(hi, _MM_SHUFFLE(2, 0, 2, 0));
  const __m64 x57 = _mm_shuffle_pi16(hi, _MM_SHUFFLE(3, 1, 3, 1));
  __m64 y03, y5476;
  idctRowCoreMmx(x02, x46, x13, x57, kIdctRowSse.row[r], r, y03, y5476);
  store64(row, y03);
  store64(row + 4, _mm_shuffle_pi16(y5476, _MM_SHUFFLE(2, 3, 0, 1)));
}

// One forward row, its upper half reversed by a single word shuffle.
inline void fdctRowSse(short* row, int r) {
  const __m64 rev = _mm_shuffle_pi16(load64(row + 4), _MM_SHUFFLE(0, 1, 2, 3));
  fdctRowCoreMmx(row, load64(row), rev, r);
}

}  // namespace

void idctSse(short* block) {
  for (int r = 0; r < 8; r++) idctRowSse(block + 8 * r, r);
  idctColumnsMmx(block);
  idctColumnsMmx(block + 4);
}

void idctRowsSse(short* block, unsigned) {
  idctSse(block);
  _mm_empty();
}

void fdctSse(short* block) {
  fdctColumnsMmx(block);
  fdctColumnsMmx(block + 4);
  for (int r = 0; r < 8; r++) fdctRowSse(block + 8 * r, r);
}

}  // namespace kelvo4
