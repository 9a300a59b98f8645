// MMX kernels: rows paired by interleaving their two halves.
#include "src/x86/dct_mmx.h"

#include <cstring>

namespace kelvo4 {

namespace {

// One inverse row; the MMX table pairs (x0,x4) (x2,x6) (x1,x5) (x3,x7).
inline void idctRowMmx(short* row, int r) {
  const __m64 lo = load64(row), hi = load64(row + 4);
  const __m64 p0415 = _mm_unpacklo_pi16(lo, hi);  // x0 x4 x1 x5
  const __m64 p2637 = _mm_unpackhi_pi16(lo, hi);  // x2 x6 x3 x7
  const __m64 x04 = _mm_unpacklo_pi32(p0415, p0415), x15 = _mm_unpackhi_pi32(p0415, p0415);
  const __m64 x26 = _mm_unpacklo_pi32(p2637, p2637), x37 = _mm_unpackhi_pi32(p2637, p2637);
  __m64 y03, y5476;
  idctRowCoreMmx(x04, x26, x15, x37, kIdctRowMmx.row[r], r, y03, y5476);
  store64(row, y03);
  // Swap the words of each 32-bit lane.
  store64(row + 4, _mm_or_si64(_mm_srli_pi32(y5476, 16), _mm_slli_pi32(y5476, 16)));
}

// One forward row. Its upper half is reversed first: (z6, z7) from a 32-bit
// load interleaved with (z4, z5) gives z6 z4 z7 z5, whose halves interleave
// to z7 z6 z5 z4.
inline void fdctRowMmx(short* row, int r) {
  int32_t z67;
  std::memcpy(&z67, row + 6, sizeof z67);
  const __m64 mix = _mm_unpacklo_pi16(_mm_cvtsi32_si64(z67), load64(row + 4));
  const __m64 rev = _mm_unpacklo_pi16(_mm_srli_si64(mix, 32), mix);
  fdctRowCoreMmx(row, load64(row), rev, r);
}

}  // namespace

void idctMmx(short* block) {
  for (int r = 0; r < 8; r++) idctRowMmx(block + 8 * r, r);
  idctColumnsMmx(block);
  idctColumnsMmx(block + 4);
}

void clearMmxState() { _mm_empty(); }

void idctMmxClear(short* block) {
  idctMmx(block);
  _mm_empty();
}

void idctRowsMmx(short* block, unsigned) { idctMmxClear(block); }

void fdctMmx(short* block) {
  fdctColumnsMmx(block);
  fdctColumnsMmx(block + 4);
  for (int r = 0; r < 8; r++) fdctRowMmx(block + 8 * r, r);
}

void fdctMmxClear(short* block) {
  fdctMmx(block);
  _mm_empty();
}

}  // namespace kelvo4
