// Inverse kernel for two blocks at once on 256-bit registers.
#include "src/x86/dct_avx2.h"

namespace kelvo4 {

void idctPairAvx2(short* a, short* b) {
  __m256i y[8];
  for (int r = 0; r < 8; r++) {
    const __m256i x = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 8 * r))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 8 * r)), 1);
    y[r] = _mm256_unpacklo_epi16(x, _mm256_srli_si256(x, 8));  // x0 x4 x1 x5 x2 x6 x3 x7
  }
  idctTwoAvx2(y);
  for (int r = 0; r < 8; r++) {
    y[r] = _mm256_shufflehi_epi16(y[r], _MM_SHUFFLE(0, 1, 2, 3));  // y4 .. y7 back in order
    _mm_storeu_si128(reinterpret_cast<__m128i*>(a + 8 * r), _mm256_castsi256_si128(y[r]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(b + 8 * r), _mm256_extracti128_si256(y[r], 1));
  }
}

}  // namespace kelvo4
