// SSSE3 stages: colour conversion, residual placement and dequantisation by
// byte shuffles. Built for SSSE3 and called only when the processor has it.
#include <tmmintrin.h>

#include <cstdint>

#include "src/x86/stages_x86.h"

namespace kelvo4 {

namespace {

// std::clamp would be a function shared with other files (see tests/isa).
int limitSsse3(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

struct PixelLanesSsse3 {
  static __m128i add(__m128i a, __m128i b) { return _mm_add_epi16(a, b); }
  static __m128i sub(__m128i a, __m128i b) { return _mm_sub_epi16(a, b); }
  static __m128i shift2(__m128i a) { return _mm_srai_epi16(a, 2); }
};

// Gathers component k of 8 pixels from three registers of interleaved
// triplets (-1 lanes give zero, so the three parts combine with OR), then
// interleaves first (bytes 0-7 of fs), second (bytes 8-15 of fs) and third
// (bytes 0-7 of t) back into pixel order: 16 bytes, then 8 more.
alignas(16) const signed char kConvertMasks[13][16] = {
    {0, 1, 6, 7, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},       // c0 from a
    {-1, -1, -1, -1, -1, -1, 2, 3, 8, 9, 14, 15, -1, -1, -1, -1},       // c0 from b
    {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 4, 5, 10, 11},     // c0 from c
    {2, 3, 8, 9, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},       // c1 from a
    {-1, -1, -1, -1, -1, -1, 4, 5, 10, 11, -1, -1, -1, -1, -1, -1},     // c1 from b
    {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 1, 6, 7, 12, 13},       // c1 from c
    {4, 5, 10, 11, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},     // c2 from a
    {-1, -1, -1, -1, 0, 1, 6, 7, 12, 13, -1, -1, -1, -1, -1, -1},       // c2 from b
    {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 3, 8, 9, 14, 15},       // c2 from c
    {0, 8, -1, 1, 9, -1, 2, 10, -1, 3, 11, -1, 4, 12, -1, 5},           // bytes 0-15 from fs
    {-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1},        // bytes 0-15 from t
    {13, -1, 6, 14, -1, 7, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1},     // bytes 16-23 from fs
    {-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, -1, -1, -1, -1, -1, -1},      // bytes 16-23 from t
};

}  // namespace

void convertSsse3(const short* frame, signed char* out, std::size_t pixels) {
  // A count, not std::size: a function template instantiated here would be
  // shared with other files in unoptimised builds (see tests/isa).
  constexpr std::size_t count = sizeof kConvertMasks / sizeof kConvertMasks[0];
  __m128i m[count];
  for (std::size_t i = 0; i < count; ++i) m[i] = _mm_load_si128(reinterpret_cast<const __m128i*>(kConvertMasks[i]));
  const auto shuffle = [](__m128i v, __m128i mask) { return _mm_shuffle_epi8(v, mask); };
  std::size_t p = 0;
  for (; p + 8 <= pixels; p += 8) {
    const short* s = frame + 3 * p;
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 8));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16));
    __m128i comp[3];
    for (int k = 0; k < 3; ++k)
      comp[k] = _mm_or_si128(_mm_or_si128(shuffle(a, m[3 * k]), shuffle(b, m[3 * k + 1])), shuffle(c, m[3 * k + 2]));
    __m128i first, second, third;
    convertLanes<PixelLanesSsse3>(comp[0], comp[1], comp[2], first, second, third);
    // Unsigned saturation of a signed lane is exactly the clamp to 0..255.
    const __m128i fs = _mm_packus_epi16(first, second), t = _mm_packus_epi16(third, third);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * p), _mm_or_si128(shuffle(fs, m[9]), shuffle(t, m[10])));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 3 * p + 16), _mm_or_si128(shuffle(fs, m[11]), shuffle(t, m[12])));
  }
  convertC(frame + 3 * p, out + 3 * p, pixels - p);
}

void addLumaSsse3(short* base, std::ptrdiff_t stride, const short* block) {
  const __m128i s0 = spreadMaskSse2(0), s1 = spreadMaskSse2(1), s2 = spreadMaskSse2(2);
  for (int r = 0; r < 8; ++r) {
    const __m128i res = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * r));
    __m128i* p = reinterpret_cast<__m128i*>(base + r * stride);
    _mm_storeu_si128(p, _mm_add_epi16(_mm_loadu_si128(p), _mm_shuffle_epi8(res, s0)));
    _mm_storeu_si128(p + 1, _mm_add_epi16(_mm_loadu_si128(p + 1), _mm_shuffle_epi8(res, s1)));
    _mm_storeu_si128(p + 2, _mm_add_epi16(_mm_loadu_si128(p + 2), _mm_shuffle_epi8(res, s2)));
  }
}

void addChromaSsse3(short* base, std::ptrdiff_t stride, const short* u, const short* v) {
  const __m128i t0 = spreadMaskSse2(3), t1 = spreadMaskSse2(4), t2 = spreadMaskSse2(5);
  for (int r = 0; r < 8; ++r) {
    const __m128i ur = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + 8 * r));
    const __m128i vr = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 8 * r));
    const __m128i halves[2] = {_mm_unpacklo_epi16(ur, vr), _mm_unpackhi_epi16(ur, vr)};
    __m128i add[6];
    for (int h = 0; h < 2; ++h) {
      add[3 * h] = _mm_shuffle_epi8(halves[h], t0);
      add[3 * h + 1] = _mm_shuffle_epi8(halves[h], t1);
      add[3 * h + 2] = _mm_shuffle_epi8(halves[h], t2);
    }
    for (int dy = 0; dy < 2; ++dy) {
      __m128i* p = reinterpret_cast<__m128i*>(base + (2 * r + dy) * stride);
      for (int i = 0; i < 6; ++i) _mm_storeu_si128(p + i, _mm_add_epi16(_mm_loadu_si128(p + i), add[i]));
    }
  }
}

// For each pair of natural rows (16 positions) and each 16-byte quarter of
// the scan, the byte shuffle that fetches the positions held by that quarter;
// slot i of a row receives its position order[i].
constexpr GatherMasks gatherMasks(const unsigned char (&order)[8]) {
  GatherMasks g{};
  unsigned char slot[8] = {};
  for (int i = 0; i < 8; ++i) slot[order[i]] = static_cast<unsigned char>(i);
  for (int n = 0; n < 64; ++n) {
    int k = 0;
    while (kZigzag[k] != n) ++k;
    const int to = 8 * (n / 8 % 2) + slot[n % 8];
    for (int q = 0; q < 4; ++q) g.m[n / 16][q][to] = static_cast<signed char>(k / 16 == q ? k % 16 : -1);
  }
  return g;
}
constexpr unsigned char kNaturalOrder[8] = {0, 1, 2, 3, 4, 5, 6, 7};
constinit const GatherMasks kGather = gatherMasks(kNaturalOrder);
constinit const GatherMasks kGatherPaired = gatherMasks(kPairedRowOrder);

BlockKind prepareBlockSsse3(const short* quant, const signed char* block, short* out, unsigned& rows) {
  __m128i scan[4];
  for (int q = 0; q < 4; ++q) scan[q] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * q));
  const __m128i zero = _mm_setzero_si128();
  const __m128i ac = _mm_or_si128(_mm_or_si128(_mm_srli_si128(scan[0], 1), scan[1]), _mm_or_si128(scan[2], scan[3]));
  if (_mm_movemask_epi8(_mm_cmpeq_epi8(ac, zero)) == 0xFFFF) {
    // A lone DC coefficient, or nothing at all.
    const int d = static_cast<short>(static_cast<std::uint16_t>(block[0] * quant[0]));
    if (block[0] == 0) {
      for (int r = 0; r < 8; ++r) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * r), zero);
      return BlockKind::Zero;
    }
    // floor((D + 4) / 8) across row 0 and floor((D + 3) / 8) elsewhere,
    // limited to [-512, 511]: the transform's own result for every D.
    const __m128i top = _mm_set1_epi16(static_cast<short>(limitSsse3((d + 4) >> 3, -512, 511)));
    const __m128i rest = _mm_set1_epi16(static_cast<short>(limitSsse3((d + 3) >> 3, -512, 511)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), top);
    for (int r = 1; r < 8; ++r) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * r), rest);
    return BlockKind::Residual;
  }
  unsigned nonzeroRows = 0;
  for (int p = 0; p < 4; ++p) {
    const __m128i* m = reinterpret_cast<const __m128i*>(kGather.m[p]);
    const __m128i bytes = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(scan[0], m[0]), _mm_shuffle_epi8(scan[1], m[1])),
                                       _mm_or_si128(_mm_shuffle_epi8(scan[2], m[2]), _mm_shuffle_epi8(scan[3], m[3])));
    // Sign extension: each byte lands in the high half of a lane, then an
    // arithmetic shift brings it down. The product keeps its low 16 bits.
    const __m128i lo = _mm_srai_epi16(_mm_unpacklo_epi8(bytes, bytes), 8);
    const __m128i hi = _mm_srai_epi16(_mm_unpackhi_epi8(bytes, bytes), 8);
    const __m128i r0 = _mm_mullo_epi16(lo, _mm_loadu_si128(reinterpret_cast<const __m128i*>(quant + 16 * p)));
    const __m128i r1 = _mm_mullo_epi16(hi, _mm_loadu_si128(reinterpret_cast<const __m128i*>(quant + 16 * p + 8)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * p), r0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * p + 8), r1);
    const int zeroLanes = _mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(r0, zero), _mm_cmpeq_epi16(r1, zero)));
    nonzeroRows |= static_cast<unsigned>((zeroLanes & 0xFF) != 0xFF) << (2 * p);
    nonzeroRows |= static_cast<unsigned>((zeroLanes >> 8) != 0xFF) << (2 * p + 1);
  }
  rows = nonzeroRows;
  return BlockKind::Coefficients;
}

}  // namespace kelvo4
