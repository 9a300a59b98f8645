#include "src/stream/coefficient_decoder.h"

#include <zstd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <string>

#include "src/stream/stream_format.h"

namespace kelvo4 {

using namespace coefficients;

namespace {

constexpr std::size_t kLevelBytes = kTokens;
constexpr std::size_t kMaxUpdateBytes = kBitmapBytes + kContexts * kLevelBytes;

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

}  // namespace

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