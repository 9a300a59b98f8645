// The coefficient coder of stream files (version 3): a payload, 64 signed
// coefficient bytes per block in zigzag order, coded losslessly as tokens
// with a range-variant asymmetric numeral system (rANS).
//
// Each block is a run of tokens (after a mark for a block coded as its
// difference from the same block of the frame before), one per non-zero
// coefficient, giving the
// zeros before it and the class of its magnitude (1, 2, 3-4, 5-8, ... 65-128),
// then an end-of-block token unless the last coefficient is non-zero; a
// token for sixteen zeros covers longer runs. Each class beyond 2 brings its
// low magnitude bits, and every coefficient its sign, as plain bits.
//
// A token is coded with the table of its context: the block's kind (luma or
// chroma), the band of the zigzag position the token starts at, and the
// activity around the block (the non-zero counts of the blocks to its left
// and above in this frame and of the same block in the frame before). A frame
// sends new tables only for the contexts where a new one pays for itself;
// the others keep theirs from the frames before, back to the last key frame,
// which starts from none.
//
// A coded frame:
//   0   u32 T        bytes of the table update (0: no new tables)
//   4   u32 A, B     bytes of the words of the two coders that take turns
//                    (the first token is the first coder's, the second the
//                    second's, and so on)
//   12  u32 check    of the lengths and everything after these 16 bytes
//   16  T bytes      one zstd frame holding: a bitmap of the contexts that get
//                    a table (kContexts bits, LSB first), then for each of
//                    them kTokens bytes, each token's level (0: absent, else
//                    a weight of about 2^(level / 8), at most 200), which
//                    both sides scale to frequencies summing to 2^kProbBits
//   ..  A, B bytes   each coder's words (u16): its final state (high half
//                    first), then its renormalisation words
//   ..  the rest     the plain bits, least significant first
// Everything is little-endian. The check catches damage to any byte (but for
// a chance of one in 2^32); a decoder also finishes in the encoder's initial
// states, having read exactly every word and every byte of plain bits.
//
// This header is what both sides share: the grammar, the contexts, the
// tables' levels and the check. The decoder (coefficient_decoder.h) is in the
// library; the encoder (writer/coefficient_encoder.h) is not.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "src/stage/format.h"

namespace kelvo4 {

namespace coefficients {

inline constexpr int kProbBits = 8;
inline constexpr std::uint32_t kProbScale = 1u << kProbBits;
inline constexpr int kEndOfBlock = 0, kSixteenZeros = 1;
// The first token of a block coded as its difference from the same block of
// the frame before (never in a key frame).
inline constexpr int kDifference = 2 + 16 * 8;
inline constexpr int kTokens = kDifference + 1;
inline constexpr int kBands = 10;
inline constexpr int kActivities = 6;
inline constexpr int kContexts = 2 * kBands * kActivities;
// Tokens a block can have: the difference mark, then tokens that each but
// the end move on at least one of the 64 positions, the end coming before
// position 64.
inline constexpr int kMaxBlockTokens = 65;

// The band of each zigzag position.
inline constexpr std::uint8_t kBand[64] = {0, 1, 1, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5, 6,
                                           6, 6, 6, 6, 6, 6, 7, 7, 7, 7, 7, 7, 7, 7, 8, 8, 8, 8, 8, 8, 8, 8,
                                           8, 8, 8, 8, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};

// The class of a magnitude 1 .. 128: 1, 2, then 3 for 3-4, 4 for 5-8 ... 8
// for 65-128. A class c > 2 brings c - 2 low bits.
// Written as the bit width of 2 magnitude - 1, which is never 0, so that it
// compiles to a bit scan without a branch.
constexpr int magnitudeClass(int magnitude) {
  return std::bit_width(static_cast<unsigned>(2 * magnitude - 1) | 1u);
}
// The plain bits that follow a coefficient of a class: its low bits and sign.
constexpr int plainBitCount(int magnitudeClass) { return magnitudeClass > 2 ? magnitudeClass - 1 : 1; }
// The smallest magnitude of a class.
constexpr int classBase(int c) { return c <= 2 ? c : (1 << (c - 2)) + 1; }
constexpr int valueToken(int run, int magnitudeClass) { return 2 + 8 * run + magnitudeClass - 1; }
// The class of the magnitude of each coefficient byte (0 for 0).
inline constexpr auto kClassOfByte = [] {
  std::array<std::uint8_t, 256> classes{};
  for (int v = -128; v < 128; ++v)
    if (v) classes[static_cast<unsigned char>(v)] = static_cast<std::uint8_t>(magnitudeClass(v < 0 ? -v : v));
  return classes;
}();

// The token grammar of a block, the one walk of it that the coder and the
// encoder's rate model share. zeroRuns emits (kSixteenZeros, position) for
// each token of sixteen zeros that a value at zigzag position `at` needs
// after a token ended at `from`, and returns the position its value token
// starts at (at - the return value is the run the value token gives).
template <class Emit>
constexpr int zeroRuns(int from, int at, Emit&& emit) {
  for (; at - from >= 16; from += 16) emit(kSixteenZeros, from);
  return from;
}
// Whether a block whose last value token ended at `next` has an end token.
constexpr bool endsWithToken(int next) { return next < 64; }
// The tokens of a block of 64 zigzag bytes whose non-zero ones are the bits
// of nonzero, after the mark when it is coded as a difference: emit(token,
// position, value) for each, where position is the zigzag position the
// token starts at (its band) and value the coefficient of a value token
// (else 0).
template <class Emit>
inline void forEachToken(const signed char* block, std::uint64_t nonzero, bool mark, Emit&& emit) {
  if (mark) emit(kDifference, 0, 0);
  int i = 0;
  for (; nonzero; nonzero &= nonzero - 1) {
    const int at = std::countr_zero(nonzero), v = block[at];
    if (at - i >= 16) [[unlikely]]
      i = zeroRuns(i, at, [&](int token, int position) { emit(token, position, 0); });
    emit(valueToken(at - i, kClassOfByte[static_cast<unsigned char>(v)]), i, v);
    i = at + 1;
  }
  if (endsWithToken(i)) emit(kEndOfBlock, i, 0);
}

// The activity class of a block from the non-zero counts of its left and
// upper neighbours (-1 where there is none) and of the same block in the
// frame before.
constexpr int activitySum(int left, int above, int previous) {
  const int l = left >= 0 ? left : above >= 0 ? above : 0;
  const int u = above >= 0 ? above : l;
  return (l + u + 2 * previous) / 2;
}
constexpr int activityOfSum(int s) { return s == 0 ? 0 : s < 3 ? 1 : s < 8 ? 2 : s < 20 ? 3 : s < 40 ? 4 : 5; }
constexpr int activity(int left, int above, int previous) { return activityOfSum(activitySum(left, above, previous)); }
constexpr int contextOf(int chroma, int band, int activityClass) {
  return (chroma * kBands + band) * kActivities + activityClass;
}

// rANS with 16-bit renormalisation: the state stays in [kLow, kLow << 16).
inline constexpr std::uint32_t kLow = 1u << 16;
inline constexpr std::size_t kHeadBytes = 16;
inline constexpr std::size_t kBitmapBytes = (kContexts + 7) / 8;

// A table travels as one byte per token, a level on a logarithmic scale:
// 0 for a token that does not occur, else weight(level), about
// 2^(level / 8). Both sides turn the levels into the same frequencies
// (normalise).
inline constexpr int kMaxLevel = 200;
inline std::uint64_t weight(int level) { return std::uint64_t{8u + (level & 7u)} << (level >> 3); }

// The activity class of every sum of non-zero counts (see activity()).
inline constexpr auto kActivityOfSum = [] {
  std::array<std::uint8_t, 129> a{};
  for (int sum = 0; sum <= 128; ++sum) a[sum] = static_cast<std::uint8_t>(activityOfSum(sum));
  return a;
}();

inline std::uint64_t load64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

// Inlined where it is used, so that the state it moves stays in registers;
// or never inlined, so that it has the registers to itself.
#if defined(__GNUC__)
#define KELVO4_INLINE __attribute__((always_inline))
#define KELVO4_NOINLINE __attribute__((noinline))
#else
#define KELVO4_INLINE
#define KELVO4_NOINLINE
#endif

// One context's table: frequencies summing to kProbScale (all zero: none).
using Frequencies = std::array<std::uint16_t, kTokens>;

// Frequencies summing to kProbScale in proportion to the weights of levels
// (at most kMaxLevel), every token with a level at least 1.
Frequencies normalise(const std::uint8_t* levels);

// The check of a coded frame of size >= 16 bytes: its lengths and
// everything after its head (coefficient_check.cpp).
std::uint32_t frameCheck(const unsigned char* frame, std::size_t size);

// Blocks of a payload of a coded size (multiples of 16) and, for each block,
// the blocks to its left and above (-1 where there are none).
struct BlockLayout {
  int blocks = 0, lumaBlocks = 0;
  std::vector<std::int32_t> left, above;
  BlockLayout(int width, int height);
};

}  // namespace coefficients

// What a coded frame failed on: the reason and the byte of the coded frame
// where it was found.
struct CoefficientError {
  std::string reason;
  std::size_t offset = 0;
};

}  // namespace kelvo4
