// The two-block inverse transform on 256-bit registers, for files built
// for AVX2: each 128-bit lane carries the same row of one of two blocks, so
// every step is the 128-bit kernel's step, done for both blocks at once.
#pragma once

#include <immintrin.h>

#include "src/dct/dct_columns.h"
#include "src/x86/x86.h"

// Internal linkage throughout: every file that includes this is built for
// AVX2 and keeps its own copies.
namespace kelvo4 {
namespace {

inline __m256i splat64Avx2(const void* p) {
  return _mm256_broadcastq_epi64(_mm_loadl_epi64(static_cast<const __m128i*>(p)));
}

inline __m256i tableAvx2(const int16_t* t) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
}

struct ColumnLanesAvx2 {
  using Vec = __m256i;
  static Vec splat(const int16_t* p) { return splat64Avx2(p); }
  static Vec adds(Vec a, Vec b) { return _mm256_adds_epi16(a, b); }
  static Vec subs(Vec a, Vec b) { return _mm256_subs_epi16(a, b); }
  static Vec mulhi(Vec a, Vec b) { return _mm256_mulhi_epi16(a, b); }
  static Vec shift6(Vec a) { return _mm256_srai_epi16(a, 6); }
};

// Row r of both blocks (AVX2 table layout); the sums wrap in 32 bits like the
// scalar procedure's. The row comes in as x0 x4 x1 x5 x2 x6 x3 x7, the pairs
// the products take, and leaves as y0 y1 y2 y3 y7 y6 y5 y4: the column pass
// works on each position alone, so callers that place the residuals by byte
// shuffles take both orders at no cost.
inline __m256i idctRowAvx2(__m256i p, int r) {
  const int16_t* tab = kIdctRowAvx2.row[r];
  const __m256i a = _mm256_add_epi32(
      _mm256_add_epi32(_mm256_madd_epi16(_mm256_shuffle_epi32(p, _MM_SHUFFLE(0, 0, 0, 0)), tableAvx2(tab)),
                       _mm256_madd_epi16(_mm256_shuffle_epi32(p, _MM_SHUFFLE(2, 2, 2, 2)), tableAvx2(tab + 8))),
      splat64Avx2(kIdctRowRnd.row[r]));
  const __m256i b =
      _mm256_add_epi32(_mm256_madd_epi16(_mm256_shuffle_epi32(p, _MM_SHUFFLE(1, 1, 1, 1)), tableAvx2(tab + 16)),
                       _mm256_madd_epi16(_mm256_shuffle_epi32(p, _MM_SHUFFLE(3, 3, 3, 3)), tableAvx2(tab + 24)));
  const __m256i y03 = _mm256_srai_epi32(_mm256_add_epi32(a, b), 11);
  const __m256i y74 = _mm256_srai_epi32(_mm256_sub_epi32(a, b), 11);
  return _mm256_packs_epi32(y03, y74);
}

// The whole transform of two blocks held as y[r] = (row r of the first
// block, row r of the second), in place; rows in the orders of idctRowAvx2.
inline void idctTwoAvx2(__m256i y[8]) {
  for (int r = 0; r < 8; r++) y[r] = idctRowAvx2(y[r], r);

  idctColumnPass<ColumnLanesAvx2>(y);
}

}  // namespace
}  // namespace kelvo4
