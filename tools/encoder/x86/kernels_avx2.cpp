// The encoder's block helpers that gain from instructions above SSE2, for
// the AVX2 set (see kernels.h). Built for AVX2 alone and run only once
// cpuFlags() has said yes; nothing here calls an inline function of the
// headers (tests/isa checks this).
#include <immintrin.h>

#include <cstdint>

#include "tools/encoder/colours.h"
#include "tools/encoder/x86/x86.h"

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

namespace {

// Where each 16-bit component of 8 pixels goes among the 24 of their output:
// pick[o][k] moves component k's 8 words into output vector o.
struct Interleave {
  alignas(16) signed char pick[3][3][16];
  constexpr Interleave() : pick{} {
    for (int o = 0; o < 3; ++o)
      for (int k = 0; k < 3; ++k)
        for (int j = 0; j < 8; ++j) {
          const int w = 8 * o + j, p = w / 3;
          const bool mine = w % 3 == k;
          pick[o][k][2 * j] = static_cast<signed char>(mine ? 2 * p : -1);
          pick[o][k][2 * j + 1] = static_cast<signed char>(mine ? 2 * p + 1 : -1);
        }
  }
};
constexpr Interleave kInterleave{};

// Channel k of 8 pixels, from their 24 bytes read as bytes 0-15 (lo) and
// 8-23 (hi): the first five pixels from lo, the last three from hi.
struct Channels {
  alignas(16) signed char fromLo[3][16], fromHi[3][16];
  constexpr Channels() : fromLo{}, fromHi{} {
    for (int k = 0; k < 3; ++k)
      for (int p = 0; p < 16; ++p) {
        const int at = 3 * p + k;
        fromLo[k][p] = static_cast<signed char>(p < 8 && at < 16 ? at : -1);
        fromHi[k][p] = static_cast<signed char>(p < 8 && at >= 16 ? at - 8 : -1);
      }
  }
};
constexpr Channels kChannels{};

__m128i load16(const void* p) { return _mm_load_si128(static_cast<const __m128i*>(p)); }

}  // namespace

// ColourCache::findRow's lookups eight pixels at a time: their places, one
// gather of their entries, the missing ones found and filled in lane by lane,
// and their components unpacked and interleaved. Two lanes that miss one
// shared entry both search it, and find the same (see ColourCache).
int colourRowAvx2(const std::uint8_t* px, int count, ColourCache::Entry* table, short* c,
                  ColourCache::Entry (*fill)(ColourCache::Entry* entry, const std::uint8_t* px)) {
  using Cache = ColourCache;
  const __m256i low = _mm256_set1_epi32(Cache::kLow), high = _mm256_set1_epi32(Cache::kHigh);
  const __m256i span = _mm256_set1_epi32(Cache::kSpan);
  const __m256i sharedBase = _mm256_set1_epi32(static_cast<int>(Cache::kCube) + (Cache::kHigh - Cache::kLow) * (Cache::kSpan + 1));
  const __m256i blockBits = _mm256_set1_epi32(0xF8), colourBits = _mm256_set1_epi32(7);
  const __m256i tenBits = _mm256_set1_epi32(1023), bias = _mm256_set1_epi32(512);
  int x = 0;
  for (; x + 8 <= count; x += 8, px += 24, c += 24) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(px));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(px + 8));
    __m256i ch[3], outside = _mm256_setzero_si256();
    for (int k = 0; k < 3; ++k) {
      ch[k] = _mm256_cvtepu8_epi32(_mm_or_si128(_mm_shuffle_epi8(lo, load16(kChannels.fromLo[k])),
                                                _mm_shuffle_epi8(hi, load16(kChannels.fromHi[k]))));
      outside = _mm256_or_si256(outside, _mm256_or_si256(_mm256_cmpgt_epi32(low, ch[k]), _mm256_cmpgt_epi32(ch[k], high)));
    }
    const __m256i r = ch[0], g = ch[1], b = ch[2];
    // kCube + (r - b + kHigh - kLow) * kSpan + (g - b + kHigh - kLow)
    const __m256i shared = _mm256_add_epi32(
        _mm256_add_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(r, b), span), _mm256_sub_epi32(g, b)), sharedBase);
    auto part = [&](__m256i v, int blockShift, int colourShift) {
      return _mm256_or_si256(_mm256_slli_epi32(_mm256_and_si256(v, blockBits), blockShift),
                             _mm256_slli_epi32(_mm256_and_si256(v, colourBits), colourShift));
    };
    const __m256i cube = _mm256_or_si256(_mm256_or_si256(part(r, 16, 6), part(g, 11, 3)), part(b, 6, 0));
    const __m256i place = _mm256_blendv_epi8(shared, cube, outside);
    __m256i entries = _mm256_i32gather_epi32(reinterpret_cast<const int*>(table), place, 4);
    if (const int missing = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(entries, _mm256_setzero_si256())))) {
      alignas(32) std::uint32_t e[8], at[8];
      _mm256_store_si256(reinterpret_cast<__m256i*>(e), entries);
      _mm256_store_si256(reinterpret_cast<__m256i*>(at), place);
      for (int l = 0; l < 8; ++l)
        if (missing >> l & 1) e[l] = fill(&table[at[l]], px + 3 * l);
      entries = _mm256_load_si256(reinterpret_cast<const __m256i*>(e));
    }
    // Each component less 512, and c0 counted from b where the entry says so.
    const __m256i from = _mm256_and_si256(b, _mm256_srai_epi32(entries, 31));
    const __m256i comp[3] = {
        _mm256_add_epi32(_mm256_sub_epi32(_mm256_and_si256(_mm256_srli_epi32(entries, 20), tenBits), bias), from),
        _mm256_sub_epi32(_mm256_and_si256(_mm256_srli_epi32(entries, 10), tenBits), bias),
        _mm256_sub_epi32(_mm256_and_si256(entries, tenBits), bias)};
    __m128i words[3];
    for (int k = 0; k < 3; ++k)
      words[k] = _mm_packs_epi32(_mm256_castsi256_si128(comp[k]), _mm256_extracti128_si256(comp[k], 1));
    for (int o = 0; o < 3; ++o) {
      __m128i out = _mm_setzero_si128();
      for (int k = 0; k < 3; ++k) out = _mm_or_si128(out, _mm_shuffle_epi8(words[k], load16(kInterleave.pick[o][k])));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(c + 8 * o), out);
    }
  }
  return x;
}

// coefficients::estimatedBits: with d = |byte| - 1, 0 bits for a zero byte,
// 3 for d below 2, else 2 + d's bit length; from tables of d's nibbles (the
// high one's where it is not 0), summed by lane.
int estimatedBitsAvx2(const signed char* block) {
  const __m256i high = _mm256_setr_epi8(0, 7, 8, 8, 9, 9, 9, 9, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                        0, 7, 8, 8, 9, 9, 9, 9, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i low = _mm256_setr_epi8(3, 3, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 6, 6, 6, 6,  //
                                       3, 3, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 6, 6, 6, 6);
  const __m256i nibble = _mm256_set1_epi8(15), zero = _mm256_setzero_si256();
  __m256i sum = zero;
  for (int i = 0; i < 64; i += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + i));
    // |-128| is 128 as an unsigned byte, and d then 127.
    const __m256i d = _mm256_sub_epi8(_mm256_abs_epi8(v), _mm256_set1_epi8(1));
    const __m256i h = _mm256_and_si256(_mm256_srli_epi16(d, 4), nibble), l = _mm256_and_si256(d, nibble);
    // A zero byte's d is -1: high nibble 15, no bits from either table.
    const __m256i bits = _mm256_or_si256(_mm256_shuffle_epi8(high, h),
                                         _mm256_and_si256(_mm256_shuffle_epi8(low, l), _mm256_cmpeq_epi8(h, zero)));
    sum = _mm256_add_epi64(sum, _mm256_sad_epu8(bits, zero));
  }
  const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
  return static_cast<int>(_mm_cvtsi128_si64(half) + _mm_extract_epi64(half, 1));
}

}  // namespace kelvo4
