// SSE2 prediction: 16-bit lanes, whose wrap-around is exactly the decoder's
// arithmetic. SSE2 is the x86-64 baseline.
#if defined(__x86_64__) || defined(__i386__)

#include <emmintrin.h>

#include <algorithm>
#include <cstdint>

#include "stages.h"

namespace kelvo4 {

namespace {

// Quotient by 4 truncated toward zero: negative sums get 3 added first.
inline __m128i quarterSse2(__m128i sum) {
  const __m128i bias = _mm_and_si128(_mm_srai_epi16(sum, 15), _mm_set1_epi16(3));
  return _mm_srai_epi16(_mm_add_epi16(sum, bias), 2);
}

inline short quarterScalar(int l, int r, int u, int d) {
  int s = static_cast<std::int16_t>(static_cast<std::uint16_t>(l + r + u + d));
  if (s < 0) s += 3;
  return static_cast<short>(s >> 2);
}

}  // namespace

void smoothRowTailSse2(int w, const short* row, const short* up, const short* down, short* out,
                       std::ptrdiff_t from) {
  // Edge pixels stand in for their missing horizontal neighbour.
  for (int k = 0; k < 3; ++k) {
    const int last = 3 * (w - 1) + k;
    out[k] = quarterScalar(row[k], row[w > 1 ? 3 + k : k], up[k], down[k]);
    if (w > 1) out[last] = quarterScalar(row[last - 3], row[last], up[last], down[last]);
  }
  // Interior samples up to 3w - 4: left and right are 3 samples away.
  const std::ptrdiff_t end = 3 * static_cast<std::ptrdiff_t>(w) - 3;
  std::ptrdiff_t i = from;
  for (; i + 8 <= end; i += 8) {
    const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i - 3));
    const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i + 3));
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(up + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(down + i));
    const __m128i sum = _mm_add_epi16(_mm_add_epi16(l, r), _mm_add_epi16(a, b));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), quarterSse2(sum));
  }
  for (; i < end; ++i) out[i] = quarterScalar(row[i - 3], row[i + 3], up[i], down[i]);
}

void smoothRowsSse2(const BandContext& ctx, const short* src, short* dst, int y0, int y1) {
  if (ctx.width <= 0) return;
  const std::ptrdiff_t stride = ctx.width3;
  for (int y = y0; y < y1; ++y) {
    const short* row = src + y * stride;
    smoothRowTailSse2(ctx.width, row, y > 0 ? row - stride : row, y < ctx.height - 1 ? row + stride : row,
                      dst + y * stride, 3);
  }
}

}  // namespace kelvo4

#endif
