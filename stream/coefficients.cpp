#include "coefficients.h"

#include <zstd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>

#include "platform.h"
#include "stream_format.h"

namespace kelvo4 {

using namespace coefficients;

namespace {

// rANS with 16-bit renormalisation: the state stays in [kLow, kLow << 16).
constexpr std::uint32_t kLow = 1u << 16;
constexpr std::size_t kHeadBytes = 16;
constexpr std::size_t kBitmapBytes = (kContexts + 7) / 8;
constexpr std::size_t kLevelBytes = kTokens;
constexpr std::size_t kMaxUpdateBytes = kBitmapBytes + kContexts * kLevelBytes;

// The check of a coded frame's bytes after its head: eight bytes at a time
// (the last zero-filled) mixed by a multiply, a shift and an xor.
std::uint32_t checksum(const unsigned char* p, std::size_t n) {
  std::uint64_t h = 0x9E3779B97F4A7C15u ^ n;
  const auto mix = [&](std::uint64_t v) {
    h = (h ^ v) * 0xFF51AFD7ED558CCDu;
    h ^= h >> 32;
  };
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) mix(getU64(p + i));
  if (i < n) {
    unsigned char last[8] = {};
    std::memcpy(last, p + i, n - i);
    mix(getU64(last));
  }
  return static_cast<std::uint32_t>(h ^ h >> 29);
}

std::uint64_t load64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

// The non-zero bytes of a 64-byte block as the bits of a mask (bit k: byte
// k): a 0 or 1 per byte (which compilers work out sixteen bytes at a time),
// then eight of them at a time gathered into the top byte of a product in
// order (byte j's as bit 56 + j; no two of the partial products fall on the
// same bit, so nothing carries).
std::uint64_t nonzeroMask(const signed char* block) {
  unsigned char nonzero[64];
  for (int k = 0; k < 64; ++k) nonzero[k] = block[k] != 0;
  std::uint64_t mask = 0;
  for (int k = 0; k < 64; k += 8) mask |= (load64(nonzero + k) * 0x0102040810204080u) >> 56 << k;
  return mask;
}

// Non-zero bytes of a 64-byte block.
int nonzeroCount(const signed char* block) { return std::popcount(nonzeroMask(block)); }

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

// A table travels as one byte per token, a level on a logarithmic scale:
// 0 for a token that does not occur, else weight(level), about
// 2^(level / 8). Both sides turn the levels into the same frequencies.
constexpr int kMaxLevel = 200;
std::uint64_t weight(int level) { return std::uint64_t{8u + (level & 7u)} << (level >> 3); }

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

// Frequencies summing to kProbScale in proportion to the weights of levels,
// every token with a level at least 1.
Frequencies normalise(const std::uint8_t* levels) {
  Frequencies f{};
  std::uint64_t total = 0;
  for (int t = 0; t < kTokens; ++t)
    if (levels[t]) total += weight(levels[t]);
  int sum = 0;
  for (int t = 0; t < kTokens; ++t) {
    if (!levels[t]) continue;
    const auto v = static_cast<int>((weight(levels[t]) * kProbScale + total / 2) / total);
    f[t] = static_cast<std::uint16_t>(std::max(v, 1));
    sum += f[t];
  }
  // Settle the difference on the largest frequencies (the first of equals),
  // never below 1.
  while (sum != static_cast<int>(kProbScale)) {
    const bool over = sum > static_cast<int>(kProbScale);
    int best = -1;
    for (int t = 0; t < kTokens; ++t)
      if (f[t] > (over ? 1 : 0) && (best < 0 || f[t] > f[best])) best = t;
    const int step = over ? -std::min(sum - static_cast<int>(kProbScale), f[best] - 1)
                          : static_cast<int>(kProbScale) - sum;
    f[best] = static_cast<std::uint16_t>(f[best] + step);
    sum += step;
  }
  return f;
}

// Bytes beyond the coded data that a decoder may read before it notices it
// ran past the end (it looks after every block): each coder's words for one
// block's tokens, and as many bytes of plain bits.
constexpr std::size_t kPadding = 2 * (kMaxBlockTokens * 2 + 8);

std::uint32_t load16(const unsigned char* p) { return p[0] | std::uint32_t{p[1]} << 8; }

// Per value token, what decoding it brings after the move: the plain bits
// that follow (the magnitude's low bits and the sign: a mask of them in
// bits 0-7, their number in bits 8-10) and the smallest magnitude of its
// class (bits 16+).
constexpr int kMissing = kTokens;  // the token of a context without a table
constexpr std::array<std::uint32_t, 256> makeTokenInfo() {
  std::array<std::uint32_t, 256> info{};
  for (int run = 0; run < 16; ++run)
    for (int c = 1; c <= 8; ++c)
      info[valueToken(run, c)] =
          static_cast<std::uint32_t>(((1 << plainBitCount(c)) - 1) | plainBitCount(c) << 8 | classBase(c) << 16);
  return info;
}
constexpr auto kTokenInfo = makeTokenInfo();

// Inlined where it is used, so that the state it moves stays in registers;
// or never inlined, so that it has the registers to itself.
#if defined(__GNUC__)
#define KELVO4_INLINE __attribute__((always_inline))
#define KELVO4_NOINLINE __attribute__((noinline))
#else
#define KELVO4_INLINE
#define KELVO4_NOINLINE
#endif

// The activity class of every sum of non-zero counts (see activity()).
constexpr std::array<std::uint8_t, 129> makeActivityOfSum() {
  std::array<std::uint8_t, 129> a{};
  for (int sum = 0; sum <= 128; ++sum) a[sum] = static_cast<std::uint8_t>(activityOfSum(sum));
  return a;
}
constexpr auto kActivityOfSum = makeActivityOfSum();

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

std::uint32_t coefficients::frameCheck(const unsigned char* frame, std::size_t size) {
  return checksum(frame, 12) ^ checksum(frame + kHeadBytes, size - kHeadBytes);
}

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

coefficients::BlockLayout::BlockLayout(int width, int height) {
  const int bw = width / 8, bh = height / 8, mw = width / 16, mh = height / 16;
  lumaBlocks = bw * bh;
  blocks = lumaBlocks + 2 * mw * mh;
  left.resize(blocks);
  above.resize(blocks);
  for (int by = 0; by < bh; ++by)
    for (int bx = 0; bx < bw; ++bx) {
      const int b = by * bw + bx;
      left[b] = bx ? b - 1 : -1;
      above[b] = by ? b - bw : -1;
    }
  for (int my = 0; my < mh; ++my)
    for (int mx = 0; mx < mw; ++mx)
      for (int c = 0; c < 2; ++c) {
        const int m = my * mw + mx, b = lumaBlocks + 2 * m + c;
        left[b] = mx ? b - 2 : -1;
        above[b] = my ? b - 2 * mw : -1;
      }
}

// ---------------------------------------------------------------- encoder

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
    const std::uint64_t nonzero = nonzeroMask(block);
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

// ---------------------------------------------------------------- decoder

CoefficientDecoder::CoefficientDecoder(int width, int height)
    : layout_(width, height),
      counts_(layout_.blocks),
      previous_(layout_.blocks),
      tables_(kContexts + 1),
      has_(kContexts),
      scratch_(kMaxUpdateBytes),
      byPosition_(2 * kActivities * 64) {
  std::memset(tables_[kContexts].slot, kMissing, kProbScale);
  zstd_ = ZSTD_createDCtx();
  if (!zstd_) throw std::bad_alloc();
}

CoefficientDecoder::~CoefficientDecoder() { ZSTD_freeDCtx(static_cast<ZSTD_DCtx*>(zstd_)); }

bool CoefficientDecoder::readTables(const unsigned char* data, std::size_t size, CoefficientError& error) {
  error.offset = kHeadBytes;
  const unsigned long long content = ZSTD_getFrameContentSize(data, size);
  if (content == ZSTD_CONTENTSIZE_ERROR || content < kBitmapBytes || content > kMaxUpdateBytes ||
      ZSTD_findFrameCompressedSize(data, size) != size) {
    error.reason = "corrupt table update";
    return false;
  }
  const std::size_t made = ZSTD_decompressDCtx(static_cast<ZSTD_DCtx*>(zstd_), scratch_.data(), content, data, size);
  if (ZSTD_isError(made) || made != content) {
    error.reason = "corrupt table update";
    return false;
  }
  std::size_t tables = 0;
  for (std::size_t i = 0; i < kBitmapBytes; ++i) tables += static_cast<std::size_t>(std::popcount(scratch_[i]));
  if (scratch_[kBitmapBytes - 1] >> (kContexts % 8 ? kContexts % 8 : 8) || made != kBitmapBytes + tables * kLevelBytes) {
    error.reason = "corrupt table update";
    return false;
  }
  const std::uint8_t* p = scratch_.data() + kBitmapBytes;
  for (int ctx = 0; ctx < kContexts; ++ctx) {
    if (!(scratch_[ctx / 8] >> (ctx % 8) & 1)) continue;
    int used = 0;
    for (int t = 0; t < kTokens; ++t) {
      if (p[t] > kMaxLevel) {
        error.reason = "table of context " + std::to_string(ctx) + ": level " + std::to_string(p[t]);
        return false;
      }
      used += p[t] != 0;
    }
    if (!used) {
      error.reason = "table of context " + std::to_string(ctx) + " is empty";
      return false;
    }
    const Frequencies f = normalise(p);
    std::uint8_t* slot = tables_[ctx].slot;
    std::uint16_t* entry = tables_[ctx].entry;
    std::uint32_t start = 0;
    for (int t = 0; t < kTokens; ++t) {
      std::memset(slot + start, t, f[t]);
      entry[t] = static_cast<std::uint16_t>((f[t] - 1) | start << 8);
      start += f[t];
    }
    has_[ctx] = 1;
    p += kTokens;
  }
  return true;
}

bool CoefficientDecoder::check(const unsigned char* data, std::size_t size, CoefficientError& error) {
  error = {};
  if (size < kHeadBytes) {
    error.reason = "coded frame of " + std::to_string(size) + " bytes";
    return false;
  }
  const std::uint64_t tableBytes = getU32(data), laneBytes[2] = {getU32(data + 4), getU32(data + 8)};
  const std::uint64_t tokenBytes = laneBytes[0] + laneBytes[1];
  const auto lanes = [&] { return std::to_string(laneBytes[0]) + " + " + std::to_string(laneBytes[1]); };
  if (laneBytes[0] < 4 || laneBytes[1] < 4) {
    // Each coder's words start with its final state.
    error.reason = "coded frame gives its two coders " + lanes() + " bytes of words; each needs at least 4";
    error.offset = 4;
    return false;
  }
  if (tokenBytes % 2 || laneBytes[0] % 2) {
    error.reason = "coded frame gives its two coders " + lanes() + " bytes of words, not whole 2-byte words";
    error.offset = 4;
    return false;
  }
  if (kHeadBytes + tableBytes + tokenBytes > size) {
    error.reason = "coded frame of " + std::to_string(size) + " bytes cannot hold " + std::to_string(tableBytes) +
                   " bytes of tables and " + lanes() + " of tokens";
    return false;
  }
  if (frameCheck(data, size) != getU32(data + 12)) {
    error.reason = "checksum mismatch";
    error.offset = 12;
    return false;
  }
  return true;
}

bool CoefficientDecoder::decode(const unsigned char* data, std::size_t size, bool key, const signed char* previousPayload,
                                signed char* payload, CoefficientError& error) {
  return check(data, size, error) && decodeChecked(data, size, key, previousPayload, payload, error);
}

bool CoefficientDecoder::decodeChecked(const unsigned char* data, std::size_t size, bool key,
                                       const signed char* previousPayload, signed char* payload,
                                       CoefficientError& error) {
  if (key) {
    previousPayload = nullptr;
    std::fill(has_.begin(), has_.end(), 0);
    std::fill(previous_.begin(), previous_.end(), 0);
  }
  error = {};
  const std::uint64_t tableBytes = getU32(data), laneBytes[2] = {getU32(data + 4), getU32(data + 8)};
  const std::uint64_t tokenBytes = laneBytes[0] + laneBytes[1];
  if (tableBytes && !readTables(data + kHeadBytes, tableBytes, error)) return false;

  // The words and bits, copied where a padding of zeros follows them.
  const std::size_t rest = size - kHeadBytes - tableBytes;
  scratch_.resize(std::max(scratch_.size(), rest + kPadding));
  std::memcpy(scratch_.data(), data + kHeadBytes + tableBytes, rest);
  std::memset(scratch_.data() + rest, 0, kPadding);
  const unsigned char* const words = scratch_.data();
  const unsigned char* const ends[2] = {words + laneBytes[0], words + tokenBytes};
  const unsigned char* const plain = ends[1];
  const std::uint64_t plainBits = 8 * std::uint64_t{rest - tokenBytes};
  // The next token's table is one load away from its position.
  const Table** byPosition = byPosition_.data();
  for (int chroma = 0; chroma < 2; ++chroma)
    for (int act = 0; act < kActivities; ++act)
      for (int i = 0; i < 64; ++i) {
        const int ctx = contextOf(chroma, kBand[i], act);
        byPosition[(chroma * kActivities + act) * 64 + i] = &tables_[has_[ctx] ? ctx : kContexts];
      }

  // Two coders take turns, each reading its own words: the next token's is
  // always x (its words at w), the other's y (at v). Plain variables, swapped
  // after each token, stay in registers; so does the position of the plain
  // bits, which are read with one unaligned load.
  const auto state = [](const unsigned char* p) { return load16(p) << 16 | load16(p + 2); };
  std::uint32_t x = state(words), y = state(ends[0]);
  const unsigned char *w = words + 4, *v = ends[0] + 4;
  unsigned turn = 0;  // the coder of the next token
  std::uint64_t bit = 0;
  enum { kDone, kNoTable, kNoPrevious, kMisplacedMark, kPlus128, kPastBlock, kEarlyEnd } stop = kDone;
  const std::uint8_t* const counts = counts_.data();
  const std::uint8_t* const previous = previous_.data();
  const std::int32_t *const leftOf = layout_.left.data(), *const aboveOf = layout_.above.data();
  // The next token, read with a table.
  const auto next = [&](const Table* table) KELVO4_INLINE {
    const std::uint32_t at = x & (kProbScale - 1);
    const int token = table->slot[at];
    const std::uint32_t e = table->entry[token];
    x = ((e & 0xFF) + 1) * (x >> kProbBits) + at - (e >> 8);
    // Renormalised without a branch: the word is read whether needed or not.
    // (A mask rather than a select, which compilers turn into a branch that
    // guesses wrong a third of the time.)
    const std::uint32_t word = load16(w);
    const std::uint32_t need = x < kLow, mask = 0u - need;
    x = ((x << 16 | word) & mask) | (x & ~mask);
    w += 2 * need;
    std::swap(x, y);
    std::swap(w, v);
    turn ^= 1;
    return token;
  };
  alignas(16) signed char change[64];
  int b = 0;
  for (; b < layout_.blocks; ++b) {
    signed char* const block = payload + 64 * static_cast<std::size_t>(b);
    const int l = leftOf[b], u = aboveOf[b];
    const int act = kActivityOfSum[activitySum(l >= 0 ? counts[l] : -1, u >= 0 ? counts[u] : -1, previous[b])];
    const Table* const* tables = &byPosition[((b >= layout_.lumaBlocks) * kActivities + act) * 64];
    int token = next(tables[0]);
    // A block coded as a difference is decoded aside, then added.
    signed char* out = block;
    if (token == kDifference) {
      if (!previousPayload) {
        stop = kNoPrevious;
        break;
      }
      out = change;
      token = next(tables[0]);
    }
    std::memset(out, 0, 64);
    int i = 0, count = 0;
    for (;;) {
      // The position moves on by arithmetic, not by a lookup: the next
      // token's table waits on it.
      if (static_cast<unsigned>(token - 2) >= 128u) {  // the end, sixteen zeros, a mark or no table
        if (token == kEndOfBlock) break;
        if (token != kSixteenZeros) {
          stop = token == kMissing ? kNoTable : kMisplacedMark;
          break;
        }
        i += 16;
        if (i > 63) break;  // checked below
        token = next(tables[i]);
        continue;
      }
      i += (token - 2) >> 3;
      if (i > 63) break;
      const std::uint32_t info = kTokenInfo[static_cast<unsigned>(token)];
      const std::uint32_t field = static_cast<std::uint32_t>(load64(plain + (bit >> 3)) >> (bit & 7)) & (info & 0xFF);
      bit += info >> 8 & 7;
      const int m = static_cast<int>(info >> 16) + static_cast<int>(field >> 1);
      const int negative = static_cast<int>(field & 1);
      if (m == 128 && !negative) {
        stop = kPlus128;
        break;
      }
      out[i] = static_cast<signed char>((m ^ -negative) + negative);
      ++count;
      if (++i == 64) break;
      token = next(tables[i]);
    }
    if (stop != kDone) break;
    if (i > 63 && (i > 64 || out[63] == 0)) {
      stop = kPastBlock;
      break;
    }
    if (out == change) {
      const signed char* before = previousPayload + 64 * static_cast<std::size_t>(b);
      for (int k = 0; k < 64; ++k)
        block[k] = static_cast<signed char>(static_cast<unsigned char>(before[k]) + static_cast<unsigned char>(change[k]));
    }
    counts_[b] = static_cast<std::uint8_t>(count);
    // w belongs to coder `turn`, v to the other.
    if (w > ends[turn] || v > ends[turn ^ 1] || bit > plainBits) {
      stop = kEarlyEnd;
      break;
    }
  }
  // Within the frame: both coders may have run past their words.
  const std::size_t at = static_cast<std::size_t>(
      std::min<std::uint64_t>(size, kHeadBytes + tableBytes + static_cast<std::uint64_t>(std::min(w, v) - words)));
  const auto fail = [&error, at](std::string reason) {
    error.reason = std::move(reason);
    error.offset = at;
    return false;
  };
  switch (stop) {
    case kNoTable: return fail("block " + std::to_string(b) + " uses a context without a table");
    case kNoPrevious: return fail("block " + std::to_string(b) + " is a difference in a key frame");
    case kMisplacedMark: return fail("block " + std::to_string(b) + " has a difference mark after its start");
    case kPlus128: return fail("coefficient +128 in block " + std::to_string(b));
    case kPastBlock: return fail("block " + std::to_string(b) + " runs past its 64 coefficients");
    case kEarlyEnd:
      error.reason = "coded data ends early";
      error.offset = size;
      return false;
    case kDone: break;
  }
  if (x != kLow || y != kLow || w != ends[turn] || v != ends[turn ^ 1] || (bit + 7) / 8 != plainBits / 8)
    return fail("coded data does not end where it should");
  std::swap(counts_, previous_);
  return true;
}

void CoefficientDecoder::storedRaw(const signed char* payload, bool key) {
  if (key) std::fill(has_.begin(), has_.end(), 0);
  for (int b = 0; b < layout_.blocks; ++b)
    previous_[b] = static_cast<std::uint8_t>(nonzeroCount(payload + 64 * static_cast<std::size_t>(b)));
}

}  // namespace kelvo4
