// The encoder's block helpers that gain from instructions above SSE2, for
// the AVX2 set (see kernels.h). Built for AVX2 alone and run only once
// cpuFlags() has said yes; nothing here calls an inline function of the
// headers (tests/isa checks this).
#include <immintrin.h>

#include "kernels.h"

namespace kelvo4 {

// Each run of 8 pixels is three vectors of components; a byte shuffle picks
// the luma of each into its place, and they merge.
void lumaResidualAvx2(const short* target, const short* prediction, int blocks, short* out) {
  const __m128i pick0 = _mm_setr_epi8(0, 1, 6, 7, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m128i pick1 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 3, 8, 9, 14, 15, -1, -1, -1, -1);
  const __m128i pick2 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 4, 5, 10, 11);
  auto difference = [&](int at) {
    return _mm_subs_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(target + at)),
                          _mm_loadu_si128(reinterpret_cast<const __m128i*>(prediction + at)));
  };
  for (int b = 0; b < blocks; ++b, target += 24, prediction += 24, out += 64) {
    const __m128i luma = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(difference(0), pick0),
                                                   _mm_shuffle_epi8(difference(8), pick1)),
                                      _mm_shuffle_epi8(difference(16), pick2));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), luma);
  }
}

}  // namespace kelvo4
