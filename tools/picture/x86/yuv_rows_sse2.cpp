// The rows of yuv_rows.h in SSE2, with exactly the scalar form's results;
// x86-64 only, where SSE2 is the baseline.
#include <emmintrin.h>

#include "src/cpu/cpu.h"
#include "tools/picture/yuv_rows.h"

namespace kelvo4 {

namespace {

// Every product is c * x with c below 2^18 and 8x within 16 bits: the word
// pairs (8x, x) times (c / 8, c % 8), summed exactly by one pmaddwd.
__m128i factorPair(int c) { return _mm_set1_epi32(((c & 7) << 16) | (c >> 3)); }

struct Products {
  __m128i lo, hi;  // pixels 0-3 and 4-7
};

Products times(__m128i x, __m128i pair) {
  const __m128i x8 = _mm_slli_epi16(x, 3);
  return {_mm_madd_epi16(_mm_unpacklo_epi16(x8, x), pair), _mm_madd_epi16(_mm_unpackhi_epi16(x8, x), pair)};
}

struct Factors {
  __m128i y, rv, gu, gv, bu;
};

// R, G and B of 8 pixels (luma16, cb and cr in words) as words, before
// the clamp.
void eightPixels(__m128i luma16, __m128i u, __m128i v, const Factors& f, __m128i& r, __m128i& g, __m128i& b) {
  const __m128i half = _mm_set1_epi32(1 << 19);
  const Products y = times(luma16, f.y), rv = times(v, f.rv), gu = times(u, f.gu), gv = times(v, f.gv),
                 bu = times(u, f.bu);
  const __m128i ylo = _mm_add_epi32(y.lo, half), yhi = _mm_add_epi32(y.hi, half);
  r = _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(ylo, rv.lo), 20), _mm_srai_epi32(_mm_add_epi32(yhi, rv.hi), 20));
  g = _mm_packs_epi32(_mm_srai_epi32(_mm_sub_epi32(_mm_sub_epi32(ylo, gu.lo), gv.lo), 20),
                      _mm_srai_epi32(_mm_sub_epi32(_mm_sub_epi32(yhi, gu.hi), gv.hi), 20));
  b = _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(ylo, bu.lo), 20), _mm_srai_epi32(_mm_add_epi32(yhi, bu.hi), 20));
}

// Four pixels as R, G, B, 0 dwords to their 12 bytes, then zeros.
__m128i squeeze(__m128i q) {
  const __m128i first = _mm_set_epi32(0, 0xffffff, 0, 0xffffff), second = _mm_set_epi32(0xffff, 0xff000000, 0xffff, 0xff000000);
  // Within each half: the second pixel one byte down, against the first.
  const __m128i t = _mm_or_si128(_mm_and_si128(q, first), _mm_and_si128(_mm_srli_epi64(q, 8), second));
  // The upper half's 6 bytes right after the lower half's.
  return _mm_or_si128(_mm_move_epi64(t), _mm_slli_si128(_mm_srli_si128(t, 8), 6));
}

void yuvRowSse2(const std::uint8_t* luma, const short* cb, const short* cr, int count, const YuvMatrix& m,
                    std::uint8_t* rgb) {
  const Factors f = {factorPair(m.y), factorPair(m.rv), factorPair(m.gu), factorPair(m.gv), factorPair(m.bu)};
  const __m128i zero = _mm_setzero_si128(), offset = _mm_set1_epi16(static_cast<short>(m.lumaOffset));
  int x = 0;
  for (; x + 16 <= count; x += 16, rgb += 48) {
    const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + x));
    const auto luma16 = [&](__m128i words) { return _mm_slli_epi16(_mm_sub_epi16(words, offset), 4); };
    const auto load = [](const short* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    __m128i r0, g0, b0, r1, g1, b1;
    eightPixels(luma16(_mm_unpacklo_epi8(l, zero)), load(cb + x), load(cr + x), f, r0, g0, b0);
    eightPixels(luma16(_mm_unpackhi_epi8(l, zero)), load(cb + x + 8), load(cr + x + 8), f, r1, g1, b1);
    // Saturating to bytes is the clamp.
    const __m128i r = _mm_packus_epi16(r0, r1), g = _mm_packus_epi16(g0, g1), b = _mm_packus_epi16(b0, b1);
    const __m128i rg0 = _mm_unpacklo_epi8(r, g), rg1 = _mm_unpackhi_epi8(r, g);
    const __m128i bz0 = _mm_unpacklo_epi8(b, zero), bz1 = _mm_unpackhi_epi8(b, zero);
    const __m128i s0 = squeeze(_mm_unpacklo_epi16(rg0, bz0)), s1 = squeeze(_mm_unpackhi_epi16(rg0, bz0));
    const __m128i s2 = squeeze(_mm_unpacklo_epi16(rg1, bz1)), s3 = squeeze(_mm_unpackhi_epi16(rg1, bz1));
    __m128i* out = reinterpret_cast<__m128i*>(rgb);
    _mm_storeu_si128(out, _mm_or_si128(s0, _mm_slli_si128(s1, 12)));
    _mm_storeu_si128(out + 1, _mm_or_si128(_mm_srli_si128(s1, 4), _mm_slli_si128(s2, 8)));
    _mm_storeu_si128(out + 2, _mm_or_si128(_mm_srli_si128(s2, 8), _mm_slli_si128(s3, 4)));
  }
  yuvRowC(luma + x, cb + x, cr + x, count - x, m, rgb);
}

}  // namespace

void initYuvRowX86(YuvRowFn& row, unsigned flags) {
  if (flags & kCpuSse2) row = yuvRowSse2;
}

}  // namespace kelvo4
