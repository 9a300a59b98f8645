#include "tools/writer/coefficient_encoder.h"

#include <zstd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>

#include "src/platform/platform.h"
#include "src/stream/stream_format.h"

namespace kelvo4 {

using namespace coefficients;

namespace {

// x / f for a frequency f of 1 .. kProbScale and a state x below 2^24 f
// (the coder renormalises before it divides), without the integer division
// that was the coder's costliest step: x times ceil(2^40 / f), shifted down
// by 40. The product stays below 2^64; divided by 2^40 it exceeds x / f by
// less than x / 2^40 < f / 2^16, which is below 1/f for f < 256 (for
// f = 256 the reciprocal is exact), while x / f lies at least 1/f below the
// next integer: the shift gives the exact quotient.
constexpr auto kReciprocal = [] {
  std::array<std::uint64_t, kProbScale + 1> r{};
  for (std::uint64_t k = 1; k <= kProbScale; ++k) r[k] = ((std::uint64_t{1} << 40) + k - 1) / k;
  return r;
}();
std::uint32_t divide(std::uint32_t x, std::uint32_t f) { return static_cast<std::uint32_t>(x * kReciprocal[f] >> 40); }

// Cost in 1/16 bits of a token of frequency f (1 .. kProbScale).
const std::array<std::uint16_t, kProbScale + 1>& costTable() {
  static const auto table = [] {
    std::array<std::uint16_t, kProbScale + 1> t{};
    t[0] = 16 * 24;
    for (std::uint32_t f = 1; f <= kProbScale; ++f)
      t[f] = static_cast<std::uint16_t>(std::lround(16 * std::log2(double(kProbScale) / f)));
    return t;
  }();
  return table;
}

// The level whose weight is nearest to count (0 for none).
int levelOf(std::uint32_t count) {
  if (!count) return 0;
  // weight(q) <= count below q = 8 (bit_width(count) - 4), so the search
  // starts a little before that.
  const int from = std::clamp(8 * (static_cast<int>(std::bit_width(count)) - 5), 1, kMaxLevel);
  int best = from;
  for (int q = from; q <= kMaxLevel; ++q) {
    const std::uint64_t w = weight(q), b = weight(best);
    if ((w > count ? w - count : count - w) < (b > count ? b - count : count - b)) best = q;
    if (w > count) break;
  }
  return best;
}

// Per kind of block (luma, chroma) and activity, per zigzag position: the
// code of its context's first token. A token's code is context * kTokens +
// token, so this plus the token.
constexpr std::array<std::uint16_t, 2 * kActivities * 64> makeFirstCodes() {
  std::array<std::uint16_t, 2 * kActivities * 64> codes{};
  for (int chroma = 0; chroma < 2; ++chroma)
    for (int act = 0; act < kActivities; ++act)
      for (int i = 0; i < 64; ++i) {
        const int ctx = contextOf(chroma, kBand[i], act);
        codes[(chroma * kActivities + act) * 64 + i] = static_cast<std::uint16_t>(ctx * kTokens);
      }
  return codes;
}
constexpr auto kFirstCodes = makeFirstCodes();

// Per coefficient byte, its plain bits (the magnitude's low bits, then the
// sign) and their number.
struct PlainBits {
  std::uint8_t value, count;
};
constexpr std::array<PlainBits, 256> makePlainBits() {
  std::array<PlainBits, 256> plain{};
  for (int v = -128; v < 128; ++v) {
    if (!v) continue;
    const int m = v < 0 ? -v : v, c = magnitudeClass(m);
    plain[static_cast<unsigned char>(v)] = {static_cast<std::uint8_t>((m - classBase(c)) << 1 | (v < 0)),
                                            static_cast<std::uint8_t>(plainBitCount(c))};
  }
  return plain;
}
constexpr auto kPlainBits = makePlainBits();

// Where the frame's tokens go as they come, each as its code, with how often
// each code occurs; and its plain bits, which go out without a branch: each
// store writes all eight bytes of acc, and only its whole bytes count.
struct TokenWriter {
  std::uint16_t* code;
  std::uint32_t* counts;
  unsigned char* bits;
  std::uint64_t acc = 0;
  unsigned filled = 0;
};

// Writes the tokens and plain bits of a block whose non-zero bytes are the
// bits of nonzero (see forEachToken), where first holds the first code of
// each position's context. A function of its own, with the writer in local
// variables: inside the frame's loop a compiler ran short of registers and
// kept them in memory.
KELVO4_NOINLINE void writeBlock(TokenWriter& writer, const signed char* block, std::uint64_t nonzero, bool mark,
                                const std::uint16_t* first) {
  std::uint16_t* code = writer.code;
  std::uint32_t* const counts = writer.counts;
  unsigned char* bits = writer.bits;
  std::uint64_t acc = writer.acc;
  unsigned filled = writer.filled;
  forEachToken(block, nonzero, mark, [&](int t, int position, int v) KELVO4_INLINE {
    const unsigned c = first[position] + static_cast<unsigned>(t);
    *code++ = static_cast<std::uint16_t>(c);
    ++counts[c];
    if (v == 0) return;
    const PlainBits plain = kPlainBits[static_cast<unsigned char>(v)];
    acc |= std::uint64_t{plain.value} << filled;
    filled += plain.count;
    putU64(bits, acc);
    bits += filled >> 3;
    acc >>= filled & ~7u;
    filled &= 7;
  });
  writer = {code, counts, bits, acc, filled};
}

}  // namespace

void coefficients::difference(const signed char* block, const signed char* previous, signed char* out) {
  for (int k = 0; k < 64; ++k)
    out[k] = static_cast<signed char>(static_cast<unsigned char>(block[k]) - static_cast<unsigned char>(previous[k]));
}

int coefficients::estimatedBits(const signed char* block) {
  // Per non-zero byte 2 + plainBitCount(magnitudeClass(its magnitude)): 3,
  // and one more for each of 2, 4 ... 64 that the magnitude exceeds. Written
  // without a branch or a table, in byte arithmetic that compilers turn into
  // vector code (signed byte compares, hence the magnitude less one: -1 for
  // a zero byte, at most 127): sixteen sums of four bytes each (at most 36),
  // then their total.
  unsigned char sums[16] = {};
  for (int k = 0; k < 64; k += 16)
    for (int j = 0; j < 16; ++j) {
      const auto u = static_cast<unsigned char>(block[k + j]), minus = static_cast<unsigned char>(-u);
      const auto d = static_cast<signed char>(std::min(u, minus) - 1);
      sums[j] = static_cast<unsigned char>(sums[j] + (d >= 0) * 3 + (d >= 2) + (d >= 4) + (d >= 8) + (d >= 16) +
                                           (d >= 32) + (d >= 64));
    }
  int n = 0;
  for (int j = 0; j < 16; ++j) n += sums[j];
  return n;
}

CoefficientEncoder::CoefficientEncoder(int width, int height)
    : layout_(width, height),
      counts_(layout_.blocks),
      previous_(layout_.blocks),
      tables_(kContexts),
      pending_(kContexts),
      has_(kContexts),
      pendingHas_(kContexts),
      tokenCounts_(static_cast<std::size_t>(kContexts) * kTokens),
      symbols_(static_cast<std::size_t>(kContexts) * kTokens) {
  os::growPrefaulted(last_, 64 * static_cast<std::size_t>(layout_.blocks));
  zstd_ = ZSTD_createCCtx();
  if (!zstd_) throw std::bad_alloc();
}

CoefficientEncoder::~CoefficientEncoder() { ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(zstd_)); }

void CoefficientEncoder::encode(const signed char* payload, bool key, std::vector<unsigned char>& out,
                                const std::uint8_t* marks) {
  const std::size_t blocks = static_cast<std::size_t>(layout_.blocks);
  // Tokens in order, as codes, and the plain bits as they come: room for the
  // most a frame can have, allocated at the first frame.
  if (!tokens_) {
    tokens_ = std::make_unique_for_overwrite<std::uint16_t[]>(kMaxBlockTokens * blocks);
    // Seven plain bits at most per coefficient, and eight bytes that the
    // last store writes beyond them.
    bits_ = std::make_unique_for_overwrite<unsigned char[]>(64 * 7 / 8 * blocks + 8);
    os::growPrefaulted(pendingLast_, 64 * blocks);
  }
  std::fill(tokenCounts_.begin(), tokenCounts_.end(), 0);
  TokenWriter writer{tokens_.get(), tokenCounts_.data(), bits_.get()};
  signed char change[64];
  for (std::size_t b = 0; b < blocks; ++b) {
    const signed char* block = payload + 64 * b;
    std::memcpy(&pendingLast_[64 * b], block, 64);
    bool mark = false;
    if (!key) {
      // What the marks say, or codeAsDifference(block, change), where a
      // block without a non-zero byte (no bits) is never worth its
      // difference.
      const int blockBits = marks ? 0 : estimatedBits(block);
      if (marks ? marks[b] != 0 : blockBits > 2) {
        difference(block, &last_[64 * b], change);
        mark = marks || estimatedBits(change) + 2 < blockBits;
        if (mark) block = change;
      }
    }
    const std::uint64_t nonzero = nonzeroBytes(block);
    counts_[b] = static_cast<std::uint8_t>(std::popcount(nonzero));
    const int l = layout_.left[b], u = layout_.above[b];
    const int sum = activitySum(l >= 0 ? counts_[l] : -1, u >= 0 ? counts_[u] : -1, key ? 0 : previous_[b]);
    const int chroma = static_cast<int>(b) >= layout_.lumaBlocks;
    writeBlock(writer, block, nonzero, mark, &kFirstCodes[(chroma * kActivities + kActivityOfSum[sum]) * 64]);
  }
  std::uint16_t* const code = writer.code;
  unsigned char* bits = writer.bits;
  const std::uint64_t acc = writer.acc;
  const unsigned filled = writer.filled;
  if (filled) *bits++ = static_cast<unsigned char>(acc);
  const std::size_t bitBytes = static_cast<std::size_t>(bits - bits_.get());

  // Per context: a new table, or the one in force when it is cheaper.
  const auto& cost = costTable();
  auto& update = update_;
  update.assign(kBitmapBytes, 0);
  for (int ctx = 0; ctx < kContexts; ++ctx) {
    const std::uint32_t* c = &tokenCounts_[static_cast<std::size_t>(ctx) * kTokens];
    bool had = !key && has_[ctx];
    pending_[ctx] = had ? tables_[ctx] : Frequencies{};
    pendingHas_[ctx] = had ? 1 : 0;
    int used = 0;
    for (int t = 0; t < kTokens; ++t) used += c[t] != 0;
    if (!used) continue;
    std::uint8_t levels[kTokens];
    for (int t = 0; t < kTokens; ++t) levels[t] = static_cast<std::uint8_t>(levelOf(c[t]));
    const Frequencies fresh = normalise(levels);
    // What a table costs once zstd has it, about.
    std::uint64_t freshCost = 16 * (24 + 5 * static_cast<std::uint64_t>(used)), oldCost = 0;
    for (int t = 0; t < kTokens && had; ++t) {
      if (c[t] && !tables_[ctx][t]) had = false;
      oldCost += std::uint64_t{c[t]} * cost[tables_[ctx][t]];
    }
    for (int t = 0; t < kTokens; ++t) freshCost += std::uint64_t{c[t]} * cost[fresh[t]];
    if (had && oldCost <= freshCost) continue;
    pending_[ctx] = fresh;
    pendingHas_[ctx] = 1;
    update[ctx / 8] |= static_cast<unsigned char>(1 << (ctx % 8));
    update.insert(update.end(), levels, levels + kTokens);
  }
  auto& packedUpdate = packedUpdate_;
  packedUpdate.clear();
  if (update.size() > kBitmapBytes) {
    packedUpdate.resize(ZSTD_compressBound(update.size()));
    const std::size_t got = ZSTD_compressCCtx(static_cast<ZSTD_CCtx*>(zstd_), packedUpdate.data(),
                                              packedUpdate.size(), update.data(), update.size(), 9);
    if (ZSTD_isError(got)) throw std::bad_alloc();
    packedUpdate.resize(got);
  }

  // Per token code: its frequency (bits 0-15) and its first slot (bits 16+).
  for (int ctx = 0; ctx < kContexts; ++ctx) {
    std::uint32_t start = 0;
    for (int t = 0; t < kTokens; ++t) {
      symbols_[static_cast<std::size_t>(ctx) * kTokens + t] = pending_[ctx][t] | start << 16;
      start += pending_[ctx][t];
    }
  }
  // The tokens backwards, so that a decoder reads them forwards. Two coders
  // take turns, each with its own words, so that a decoder's two chains of
  // arithmetic and reading do not wait for each other: the first token is
  // the first coder's. Each coder writes its words downwards from the end of
  // its buffer, so that they end up in the order a decoder reads them; a
  // coder writes at most one word per token, then its state.
  const std::size_t tokens = static_cast<std::size_t>(code - tokens_.get());
  std::uint16_t* words[2];
  for (auto& lane : words_) {
    if (lane.size() < tokens / 2 + 3) lane.resize(tokens / 2 + 3);
  }
  words[0] = words_[0].data() + words_[0].size();
  words[1] = words_[1].data() + words_[1].size();
  const std::uint32_t* const symbols = symbols_.data();
  const auto put = [symbols](std::uint32_t& state, std::uint16_t*& word, std::uint16_t token) KELVO4_INLINE {
    const std::uint32_t f = symbols[token] & 0xFFFF, start = symbols[token] >> 16;
    // Renormalised without a branch: the word is written whether needed or
    // not and kept only when it is, and the state shifted by 0 or 16 bits
    // (rather than a select, which compilers turn into a branch that guesses
    // wrong).
    const std::uint32_t need = state >= (std::uint64_t{kLow >> kProbBits} << 16) * f;
    word[-1] = static_cast<std::uint16_t>(state);
    word -= need;
    state >>= 16 * need;
    const std::uint32_t quotient = divide(state, f);
    state += start + quotient * (kProbScale - f);  // quotient * kProbScale + state % f + start
  };
  // Token k is the coder k % 2's; the states are plain variables (not
  // indexed by the coder) so that they stay in registers.
  std::uint32_t x0 = kLow, x1 = kLow;
  std::size_t k = tokens;
  if (k % 2) {
    --k;
    put(x0, words[0], tokens_[k]);
  }
  for (; k > 0; k -= 2) {
    put(x1, words[1], tokens_[k - 1]);
    put(x0, words[0], tokens_[k - 2]);
  }
  const std::uint32_t x[2] = {x0, x1};
  for (int lane = 0; lane < 2; ++lane) {
    *--words[lane] = static_cast<std::uint16_t>(x[lane]);
    *--words[lane] = static_cast<std::uint16_t>(x[lane] >> 16);
  }

  std::size_t wordCount[2];
  for (int lane = 0; lane < 2; ++lane)
    wordCount[lane] = static_cast<std::size_t>(words_[lane].data() + words_[lane].size() - words[lane]);
  out.resize(kHeadBytes + packedUpdate.size() + 2 * (wordCount[0] + wordCount[1]) + bitBytes);
  putU32(out.data(), static_cast<std::uint32_t>(packedUpdate.size()));
  unsigned char* p = out.data() + kHeadBytes;
  if (!packedUpdate.empty()) std::memcpy(p, packedUpdate.data(), packedUpdate.size());
  p += packedUpdate.size();
  for (int lane = 0; lane < 2; ++lane) {
    putU32(out.data() + 4 + 4 * lane, static_cast<std::uint32_t>(2 * wordCount[lane]));
    for (std::size_t i = 0; i < wordCount[lane]; ++i) {
      *p++ = static_cast<unsigned char>(words[lane][i]);
      *p++ = static_cast<unsigned char>(words[lane][i] >> 8);
    }
  }
  if (bitBytes) std::memcpy(p, bits_.get(), bitBytes);
  putU32(out.data() + 12, frameCheck(out.data(), out.size()));
}

void CoefficientEncoder::commit() {
  tables_ = pending_;
  has_ = pendingHas_;
  previous_ = counts_;
  last_.swap(pendingLast_);
}

void CoefficientEncoder::storedRaw(const signed char* payload, bool key) {
  if (key) std::fill(has_.begin(), has_.end(), 0);
  last_.assign(payload, payload + 64 * static_cast<std::size_t>(layout_.blocks));
  for (int b = 0; b < layout_.blocks; ++b)
    previous_[b] = static_cast<std::uint8_t>(nonzeroCount(payload + 64 * static_cast<std::size_t>(b)));
}

void CoefficientEncoder::tokenCosts(std::vector<std::uint16_t>& costs) const {
  const auto& cost = costTable();
  costs.resize(static_cast<std::size_t>(kContexts) * kTokens);
  for (int ctx = 0; ctx < kContexts; ++ctx)
    for (int t = 0; t < kTokens; ++t)
      costs[static_cast<std::size_t>(ctx) * kTokens + t] =
          has_[ctx] ? cost[tables_[ctx][t]] : static_cast<std::uint16_t>(16 * 7);
}

}  // namespace kelvo4
