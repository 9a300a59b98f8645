// AVX2 stages: prediction on 16 lanes, conversion on two groups of 8 pixels
// at once, and pairs of blocks decoded and added in registers. Built for
// AVX2 and called only when the processor has it.
#include <immintrin.h>

#include <cstdint>

#include "src/x86/dct_avx2.h"
#include "src/x86/stages_x86.h"

namespace kelvo4 {

namespace {

struct SmoothStepAvx2 {
  static std::ptrdiff_t smooth(const short* row, const short* up, const short* down, short* out, std::ptrdiff_t i,
                               std::ptrdiff_t end) {
    for (; i + 16 <= end; i += 16) {
      const __m256i l = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + i - 3));
      const __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + i + 3));
      const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(up + i));
      const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(down + i));
      const __m256i sum = _mm256_add_epi16(_mm256_add_epi16(l, r), _mm256_add_epi16(a, b));
      // Quotient by 4 truncated toward zero: the magnitude's quotient with the
      // sum's sign (the magnitude of -32768 reads as 32768 unsigned).
      const __m256i quotient = _mm256_sign_epi16(_mm256_srli_epi16(_mm256_abs_epi16(sum), 2), sum);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), quotient);
    }
    return i;
  }
};

struct PixelLanesAvx2 {
  static __m256i add(__m256i a, __m256i b) { return _mm256_add_epi16(a, b); }
  static __m256i sub(__m256i a, __m256i b) { return _mm256_sub_epi16(a, b); }
  static __m256i shift2(__m256i a) { return _mm256_srai_epi16(a, 2); }
};

}  // namespace

void smoothRowsAvx2(const BandContext& ctx, const short* src, short* dst, int y0, int y1) {
  smoothRowsWith<SmoothStepAvx2, SmoothStepSse2>(ctx, src, dst, y0, y1);
}

namespace {

// The conversion takes 8 pixels per 128-bit lane from three registers of
// 8 interleaved components. Word j of register r is component (2r + j) mod 3
// of its pixel, so each component has one register at every word: blends
// gather it, in the pixel order 0 3 6 1 4 7 2 5 for c0 and that order turned
// by one and two words for c1 and c2. The outputs are computed in c0's order
// and shuffled back into pixel order as bytes.
constexpr int kBlendOrder[8] = {0, 3, 6, 1, 4, 7, 2, 5};  // its own inverse

// Byte shuffles from fs = (first, second) and from t = (third), packed in
// blend order: to output bytes 0-15 and 16-23 of the 8 pixels, and to packed
// pixels 0-3 and 4-7 (bytes B G R of each; alpha is added apart).
struct ConvertMasksAvx2 {
  alignas(32) signed char firstSecond[2][32], third[2][32], argbFirstSecond[2][32], argbThird[2][32];
};
constexpr ConvertMasksAvx2 convertMasksAvx2() {
  ConvertMasksAvx2 t{};
  for (int part = 0; part < 2; ++part)
    for (int b = 0; b < 32; ++b) {
      const int i = 16 * part + b % 16, pixel = i / 3, k = i % 3;
      const bool valid = i < 24;
      t.firstSecond[part][b] = static_cast<signed char>(valid && k < 2 ? 8 * k + kBlendOrder[pixel] : -1);
      t.third[part][b] = static_cast<signed char>(valid && k == 2 ? kBlendOrder[pixel] : -1);
      const int at = kBlendOrder[4 * part + b % 16 / 4], byte = b % 4;
      t.argbFirstSecond[part][b] = static_cast<signed char>(byte == 2 ? at : byte == 1 ? 8 + at : -1);
      t.argbThird[part][b] = static_cast<signed char>(byte == 0 ? at : -1);
    }
  return t;
}
constexpr ConvertMasksAvx2 kConvertAvx2 = convertMasksAvx2();

inline __m256i maskAvx2(const signed char (&m)[32]) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(m)); }

// The clamped outputs of pixels p .. p + 7 (low lane) and p + 8 .. p + 15
// (high lane), in blend order: fs holds first then second, t third.
inline void convertSixteenAvx2(const short* frame, std::size_t p, __m256i& fs, __m256i& t) {
  const short* s = frame + 3 * p;
  auto pair = [](const short* lo, const short* hi) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lo))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi)), 1);
  };
  const __m256i a = pair(s, s + 24), b = pair(s + 8, s + 32), c = pair(s + 16, s + 40);
  // Words 0 3 6 of a, 1 4 7 of b, 2 5 of c are c0; c1 and c2 sit one and
  // two words further on.
  const __m256i c0 = _mm256_blend_epi16(_mm256_blend_epi16(a, b, 0x92), c, 0x24);
  const __m256i c1 = _mm256_blend_epi16(_mm256_blend_epi16(a, b, 0x24), c, 0x49);
  const __m256i c2 = _mm256_blend_epi16(_mm256_blend_epi16(a, b, 0x49), c, 0x92);
  __m256i first, second, third;
  convertLanes<PixelLanesAvx2>(c0, _mm256_alignr_epi8(c1, c1, 2), _mm256_alignr_epi8(c2, c2, 4), first, second,
                               third);
  // Unsigned saturation of a signed lane is exactly the clamp to 0..255.
  fs = _mm256_packus_epi16(first, second);
  t = _mm256_packus_epi16(third, third);
}

}  // namespace

void convertAvx2(const short* frame, signed char* out, std::size_t pixels) {
  const __m256i fsLo = maskAvx2(kConvertAvx2.firstSecond[0]), fsHi = maskAvx2(kConvertAvx2.firstSecond[1]);
  const __m256i tLo = maskAvx2(kConvertAvx2.third[0]), tHi = maskAvx2(kConvertAvx2.third[1]);
  std::size_t p = 0;
  for (; p + 16 <= pixels; p += 16) {
    __m256i fs, t;
    convertSixteenAvx2(frame, p, fs, t);
    const __m256i lo = _mm256_or_si256(_mm256_shuffle_epi8(fs, fsLo), _mm256_shuffle_epi8(t, tLo));
    const __m256i hi = _mm256_or_si256(_mm256_shuffle_epi8(fs, fsHi), _mm256_shuffle_epi8(t, tHi));
    signed char* o = out + 3 * p;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_castsi256_si128(lo));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 16), _mm256_castsi256_si128(hi));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 24), _mm256_extracti128_si256(lo, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 40), _mm256_extracti128_si256(hi, 1));
  }
  convertSsse3(frame + 3 * p, out + 3 * p, pixels - p);
}

void convertArgbAvx2(const short* frame, std::uint32_t* out, std::size_t pixels) {
  const __m256i fs0 = maskAvx2(kConvertAvx2.argbFirstSecond[0]), fs1 = maskAvx2(kConvertAvx2.argbFirstSecond[1]);
  const __m256i t0 = maskAvx2(kConvertAvx2.argbThird[0]), t1 = maskAvx2(kConvertAvx2.argbThird[1]);
  const __m256i alpha = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
  std::size_t p = 0;
  for (; p + 16 <= pixels; p += 16) {
    __m256i fs, t;
    convertSixteenAvx2(frame, p, fs, t);
    const __m256i lo = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(fs, fs0), _mm256_shuffle_epi8(t, t0)), alpha);
    const __m256i hi = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(fs, fs1), _mm256_shuffle_epi8(t, t1)), alpha);
    __m128i* o = reinterpret_cast<__m128i*>(out + p);
    _mm_storeu_si128(o, _mm256_castsi256_si128(lo));
    _mm_storeu_si128(o + 1, _mm256_castsi256_si128(hi));
    _mm_storeu_si128(o + 2, _mm256_extracti128_si256(lo, 1));
    _mm_storeu_si128(o + 3, _mm256_extracti128_si256(hi, 1));
  }
  signed char bytes[48];
  convertSsse3(frame + 3 * p, bytes, pixels - p);
  packArgb(bytes, out + p, pixels - p);
}

namespace {

// Loads two blocks side by side, one per 128-bit lane; true when both hold
// coefficients beyond a lone DC value.
inline bool loadFullPairAvx2(const signed char* a, const signed char* b, __m256i scan[4]) {
  for (int q = 0; q < 4; ++q)
    scan[q] = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 16 * q))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 16 * q)), 1);
  const __m256i notDc = _mm256_set_epi64x(-1, -256, -1, -256);
  const __m256i ac = _mm256_or_si256(_mm256_and_si256(scan[0], notDc),
                                     _mm256_or_si256(scan[1], _mm256_or_si256(scan[2], scan[3])));
  const unsigned zero = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(ac, _mm256_setzero_si256())));
  return (zero & 0xFFFF) != 0xFFFF && (zero >> 16) != 0xFFFF;
}

// Dequantises and transforms both blocks: y[r] = row r of each, in the
// orders of idctRowAvx2 (quant's rows in kPairedRowOrder).
inline void transformPairAvx2(const short* quant, const __m256i scan[4], __m256i y[8]) {
  for (int p = 0; p < 4; ++p) {
    const __m128i* m = reinterpret_cast<const __m128i*>(kGatherPaired.m[p]);
    __m256i bytes = _mm256_setzero_si256();
    for (int q = 0; q < 4; ++q)
      if (kGatherUse.q[p][q])
        bytes = _mm256_or_si256(bytes, _mm256_shuffle_epi8(scan[q], _mm256_broadcastsi128_si256(_mm_load_si128(m + q))));
    // Sign extension through the high half of each lane; the products keep
    // their low 16 bits.
    const __m256i lo = _mm256_srai_epi16(_mm256_unpacklo_epi8(bytes, bytes), 8);
    const __m256i hi = _mm256_srai_epi16(_mm256_unpackhi_epi8(bytes, bytes), 8);
    const __m128i* qrow = reinterpret_cast<const __m128i*>(quant + 16 * p);
    y[2 * p] = _mm256_mullo_epi16(lo, _mm256_broadcastsi128_si256(_mm_loadu_si128(qrow)));
    y[2 * p + 1] = _mm256_mullo_epi16(hi, _mm256_broadcastsi128_si256(_mm_loadu_si128(qrow + 1)));
  }
  idctTwoAvx2(y);
}

// Where column c of a transformed row sits (see idctRowAvx2).
constexpr int rowSlot(int c) { return c < 4 ? c : 11 - c; }

// The spreads of kSpreadMasks for transformed rows, two lanes each. Luma:
// masks (0, 1), (2, 0), (1, 2) on rows of 8. Chroma: masks 3 to 5 read a
// half of the row (first: columns 0-3, second: 4-7) as its u values and then
// its v values, not interleaved; the lanes take (mask, half) (3, first)
// (4, first), (5, first) (3, second), (4, second) (5, second).
struct SpreadMasksAvx2 {
  alignas(32) signed char luma[3][32], chroma[3][32];
};
constexpr SpreadMasksAvx2 spreadMasksAvx2() {
  constexpr int luma[3][2] = {{0, 1}, {2, 0}, {1, 2}};
  constexpr int chroma[3][2][2] = {{{3, 0}, {4, 0}}, {{5, 0}, {3, 1}}, {{4, 1}, {5, 1}}};
  SpreadMasksAvx2 t{};
  for (int k = 0; k < 3; ++k)
    for (int lane = 0; lane < 2; ++lane)
      for (int b = 0; b < 16; ++b) {
        const int s = kSpreadMasks[luma[k][lane]][b];
        t.luma[k][16 * lane + b] = static_cast<signed char>(s < 0 ? -1 : 2 * rowSlot(s / 2) + s % 2);
        const int mask = chroma[k][lane][0], half = chroma[k][lane][1], c = kSpreadMasks[mask][b];
        const int j = c / 2, slot = 4 * (j % 2) + rowSlot(4 * half + j / 2) % 4;
        t.chroma[k][16 * lane + b] = static_cast<signed char>(c < 0 ? -1 : 2 * slot + c % 2);
      }
  return t;
}
constexpr SpreadMasksAvx2 kSpreadAvx2 = spreadMasksAvx2();


inline void addToAvx2(short* p, __m256i v) {
  __m256i* q = reinterpret_cast<__m256i*>(p);
  _mm256_storeu_si256(q, _mm256_add_epi16(_mm256_loadu_si256(q), v));
}

}  // namespace

bool addLumaPairAvx2(const short* quant, const signed char* a, const signed char* b, short* pixels,
                     std::ptrdiff_t stride) {
  __m256i scan[4], y[8];
  if (!loadFullPairAvx2(a, b, scan)) return false;
  transformPairAvx2(quant, scan, y);
  // The 48 samples of a pixel row take their c0 residuals from the first
  // block (samples 0-23) and the second (24-47); each 16-sample part
  // shuffles within its lanes from a copy with the right block in each lane.
  const __m256i m0 = maskAvx2(kSpreadAvx2.luma[0]), m1 = maskAvx2(kSpreadAvx2.luma[1]),
                m2 = maskAvx2(kSpreadAvx2.luma[2]);
  for (int r = 0; r < 8; ++r) {
    short* row = pixels + r * stride;
    addToAvx2(row, _mm256_shuffle_epi8(_mm256_permute4x64_epi64(y[r], 0x44), m0));
    addToAvx2(row + 16, _mm256_shuffle_epi8(y[r], m1));
    addToAvx2(row + 32, _mm256_shuffle_epi8(_mm256_permute4x64_epi64(y[r], 0xEE), m2));
  }
  return true;
}

bool addChromaPairAvx2(const short* quant, const signed char* u, const signed char* v, short* mb,
                       std::ptrdiff_t stride) {
  __m256i scan[4], y[8];
  if (!loadFullPairAvx2(u, v, scan)) return false;
  transformPairAvx2(quant, scan, y);
  const __m256i t0 = maskAvx2(kSpreadAvx2.chroma[0]), t1 = maskAvx2(kSpreadAvx2.chroma[1]),
                t2 = maskAvx2(kSpreadAvx2.chroma[2]);
  for (int r = 0; r < 8; ++r) {
    // y[r] holds (u | v); the 64-bit quarters are the halves of u, then of
    // v. The permutes put the first half of u beside that of v in both lanes,
    // and the second halves; the middle part takes one lane of each.
    const __m256i first = _mm256_permute4x64_epi64(y[r], 0x88), second = _mm256_permute4x64_epi64(y[r], 0xDD);
    const __m256i add0 = _mm256_shuffle_epi8(first, t0);
    const __m256i add1 = _mm256_shuffle_epi8(_mm256_blend_epi32(first, second, 0xF0), t1);
    const __m256i add2 = _mm256_shuffle_epi8(second, t2);
    for (int dy = 0; dy < 2; ++dy) {
      short* row = mb + (2 * r + dy) * stride;
      addToAvx2(row, add0);
      addToAvx2(row + 16, add1);
      addToAvx2(row + 32, add2);
    }
  }
  return true;
}

}  // namespace kelvo4
