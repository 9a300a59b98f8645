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
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <memory>
#include <vector>

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

// The difference (wrapping) of a block and the same block of the frame
// before; a rough estimate of a block's bits (a token and the plain bits
// per non-zero coefficient); and whether a block is better coded as its
// difference: the estimate must drop by more than the mark costs. The
// encoder's rate model makes the same choice.
void difference(const signed char* block, const signed char* previous, signed char* out);
int estimatedBits(const signed char* block);
inline bool codeAsDifference(int blockBits, int differenceBits) { return differenceBits + 2 < blockBits; }
inline bool codeAsDifference(const signed char* block, const signed char* difference) {
  return codeAsDifference(estimatedBits(block), estimatedBits(difference));
}

// One context's table: frequencies summing to kProbScale (all zero: none).
using Frequencies = std::array<std::uint16_t, kTokens>;

// The check of a coded frame of size >= 16 bytes: its lengths and
// everything after its head.
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

// Codes the payloads of a w x h frame sequence (both multiples of 16), one
// frame after the other. Frames stored otherwise (raw) still pass through
// storedRaw, so both sides keep the same state.
class CoefficientEncoder {
 public:
  CoefficientEncoder(int width, int height);
  ~CoefficientEncoder();
  CoefficientEncoder(const CoefficientEncoder&) = delete;
  CoefficientEncoder& operator=(const CoefficientEncoder&) = delete;

  // Codes a payload into out (replacing its contents). The coder's state
  // moves on only with commit() (the coded frame was stored) or storedRaw().
  // Each block of a frame that is not a key frame is coded as its difference
  // from the frame before where codeAsDifference says so; marks (one per
  // block, non-zero for a difference), when given, say it instead: a caller
  // that decided it already spares the estimates. Either way the frame
  // decodes to the payload.
  void encode(const signed char* payload, bool key, std::vector<unsigned char>& out,
              const std::uint8_t* marks = nullptr);
  void commit();
  // The payload was stored as it is: the tables stay, the rest moves on.
  void storedRaw(const signed char* payload, bool key);

  // The cost in 1/16 bits of each token in each context under the tables in
  // force (a context without a table: a flat estimate), for rate-aware
  // quantisation.
  void tokenCosts(std::vector<std::uint16_t>& costs) const;

 private:
  coefficients::BlockLayout layout_;
  std::vector<std::uint8_t> counts_, previous_;   // non-zero counts per block
  std::vector<signed char> last_, pendingLast_;  // the payload of the frame before, and this one
  std::vector<coefficients::Frequencies> tables_, pending_;
  std::vector<std::uint8_t> has_, pendingHas_;
  // The frame's tokens in order, each as its code context * kTokens + token,
  // and its plain bits: room for the most a frame can have, allocated at the
  // first frame.
  std::unique_ptr<std::uint16_t[]> tokens_;
  std::unique_ptr<unsigned char[]> bits_;
  // Per token code: how often it occurs in the frame; its frequency and
  // first slot in the frame's tables.
  std::vector<std::uint32_t> tokenCounts_, symbols_;
  // Kept from frame to frame so that their memory is not asked for again:
  // the words of the two coders, the table update and the same compressed.
  std::vector<std::uint16_t> words_[2];
  std::vector<unsigned char> update_, packedUpdate_;
  void* zstd_ = nullptr;
};

// Decodes coded frames in order (a key frame restarts it).
class CoefficientDecoder {
 public:
  CoefficientDecoder(int width, int height);
  ~CoefficientDecoder();
  CoefficientDecoder(const CoefficientDecoder&) = delete;
  CoefficientDecoder& operator=(const CoefficientDecoder&) = delete;

  // Decodes a coded frame of size bytes into payload (the payload bytes of
  // the size); previous holds the payload of the frame before (unless key),
  // and may be payload itself. False with error filled when the frame is
  // corrupt; the state and payload are then undefined until the next key
  // frame.
  bool decode(const unsigned char* data, std::size_t size, bool key, const signed char* previous,
              signed char* payload, CoefficientError& error);
  // What decode checks before it decodes: that the coded frame's lengths fit
  // its size and its check matches. A frame that passes may still fail in
  // decodeChecked, which is decode without this (for a caller that checked
  // it before allocating what decoding takes).
  static bool check(const unsigned char* data, std::size_t size, CoefficientError& error);
  bool decodeChecked(const unsigned char* data, std::size_t size, bool key, const signed char* previous,
                     signed char* payload, CoefficientError& error);
  // A frame stored raw, as CoefficientEncoder::storedRaw.
  void storedRaw(const signed char* payload, bool key);

 private:
  bool readTables(const unsigned char* data, std::size_t size, CoefficientError& error);
  coefficients::BlockLayout layout_;
  std::vector<std::uint8_t> counts_, previous_;
  // Per context, per token its frequency - 1 | its first slot << 8, and the
  // token of each slot (a small table: the tables in use stay in the
  // fastest cache); one more at the end for the contexts without a table,
  // whose every slot gives the token kTokens (entry 0), which no table has.
  struct Table {
    std::uint16_t entry[coefficients::kTokens + 1];
    std::uint8_t slot[coefficients::kProbScale];
  };
  std::vector<Table> tables_;
  std::vector<std::uint8_t> has_;
  std::vector<std::uint8_t> scratch_;  // a table update, decompressed; then the words and bits
  // Per kind and activity of block, per zigzag position: its context's table.
  std::vector<const Table*> byPosition_;
  void* zstd_ = nullptr;
};

}  // namespace kelvo4
