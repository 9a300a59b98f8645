// Differential checking of DCT kernel versions against the scalar reference:
// seeded random blocks from several distributions plus fixed extreme blocks,
// guard words around every block, exact comparison of all 64 words.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "dct_variants.h"

// Names a version in test listings.
inline void PrintTo(const DctVersion& v, std::ostream* os) { *os << v.name; }

namespace dctcheck {

using Block = std::array<int16_t, 64>;

// splitmix64: reproducible on every platform, unlike the std distributions.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  int range(int lo, int hi) { return lo + static_cast<int>(next() % static_cast<uint64_t>(hi - lo + 1)); }

 private:
  uint64_t state_;
};

// KELVO4_DCT_SEED overrides the default seed, to replay a reported failure.
inline uint64_t seed() {
  const char* e = std::getenv("KELVO4_DCT_SEED");
  return e ? std::strtoull(e, nullptr, 0) : 0x4B656C766F34ull;
}

#ifdef KELVO4_SANITIZE_BUILD
inline constexpr long kDefaultRandomBlocks = 20'000;
#else
inline constexpr long kDefaultRandomBlocks = 2'000'000;
#endif

// KELVO4_DCT_BLOCKS overrides the count, e.g. to run the suite under valgrind.
inline const long kRandomBlocks = [] {
  const char* e = std::getenv("KELVO4_DCT_BLOCKS");
  return e ? std::strtol(e, nullptr, 0) : kDefaultRandomBlocks;
}();

enum Dist { Uniform16, Range256, Range2048, Small, Range300, Sparse, Extremes, NearWrap, LargeDc, kDists };

inline const char* distName(int d) {
  static const char* names[] = {"uniform16", "[-256,255]", "[-2048,2047]", "[-5,5]", "[-300,300]",
                                "sparse",    "extremes",   "near 12646",   "large DC"};
  return names[d];
}

inline void fill(Block& b, int dist, Rng& rng) {
  static constexpr int16_t extremes[] = {-32768, -1, 0, 1, 32767};
  for (auto& v : b) {
    switch (dist) {
      case Uniform16: v = static_cast<int16_t>(rng.next()); break;
      case Range256: v = static_cast<int16_t>(rng.range(-256, 255)); break;
      case Range2048: v = static_cast<int16_t>(rng.range(-2048, 2047)); break;
      case Small: v = static_cast<int16_t>(rng.range(-5, 5)); break;
      case Range300: v = static_cast<int16_t>(rng.range(-300, 300)); break;
      case Sparse: v = rng.range(0, 15) ? 0 : static_cast<int16_t>(rng.next()); break;
      case Extremes: v = extremes[rng.range(0, 4)]; break;
      // Row sums start to wrap once a magnitude exceeds 12646.
      case NearWrap: {
        const int m = rng.range(0, 3) ? rng.range(12000, 13500) : rng.range(0, 32767);
        v = static_cast<int16_t>(rng.range(0, 1) ? m : -m);
        break;
      }
      case LargeDc: v = static_cast<int16_t>(rng.range(-64, 63)); break;
    }
  }
  if (dist == LargeDc) b[0] = static_cast<int16_t>(rng.range(0, 1) ? rng.range(24000, 32767) : rng.range(-32768, -24000));
}

// All zero, all maximum, all minimum, alternating signs in both directions,
// and one non-zero value at each of the 64 positions.
inline std::vector<Block> fixedBlocks() {
  std::vector<Block> out;
  for (int16_t v : {0, 32767, -32768, 12646, 12647, -12647}) out.push_back(Block{}), out.back().fill(v);
  for (int flip = 0; flip < 2; flip++) {
    Block b;
    for (int i = 0; i < 64; i++) b[i] = ((i + i / 8 + flip) & 1) ? -32768 : 32767;
    out.push_back(b);
  }
  for (int16_t v : {-32768, -4096, -1, 1, 255, 4096, 12647, 32767}) {
    for (int i = 0; i < 64; i++) {
      Block b{};
      b[i] = v;
      out.push_back(b);
    }
  }
  return out;
}

inline std::string show(const Block& b) {
  std::ostringstream s;
  for (int r = 0; r < 8; r++) {
    for (int c = 0; c < 8; c++) s << (c ? ", " : "  ") << b[8 * r + c];
    s << "\n";
  }
  return s.str();
}

// Runs the reference and version on the same block, placed at an odd or even
// word offset between guard words; compares exactly and checks the range.
class Checker {
 public:
  Checker(const DctVersion& v, void (*ref)(short*), int outMin, int outMax)
      : v_(v), ref_(ref), outMin_(outMin), outMax_(outMax) {}

  // label and index name the block in a failure message.
  ::testing::AssertionResult operator()(const Block& in, bool odd, const char* label, long index) {
    static constexpr int16_t kGuard = 0x5A5A;
    alignas(16) int16_t buf[64 + 17];
    std::fill(std::begin(buf), std::end(buf), kGuard);
    int16_t* blk = buf + (odd ? 9 : 8);
    Block expect = in;
    ref_(expect.data());
    std::copy(in.begin(), in.end(), blk);
    v_.fn(blk);
    dctClearMmxState();
    Block got;
    std::copy(blk, blk + 64, got.begin());
    const bool guardsOk = std::all_of(buf, blk, [](int16_t g) { return g == kGuard; }) &&
                          std::all_of(blk + 64, std::end(buf), [](int16_t g) { return g == kGuard; });
    const bool inRange = std::all_of(got.begin(), got.end(), [&](int16_t x) { return x >= outMin_ && x <= outMax_; });
    if (got == expect && guardsOk && inRange) return ::testing::AssertionSuccess();
    std::string map;
    for (int i = 0; i < 64; i++) map += std::string(got[i] == expect[i] ? "." : "x") + (i % 8 == 7 ? "\n" : "");
    return ::testing::AssertionFailure()
           << v_.name << " on " << label << " block " << index << " (seed " << seed() << ")" << (guardsOk ? "" : ", guard words overwritten")
           << (inRange ? "" : ", output out of range") << "\ninput:\n"
           << show(in) << "expected:\n"
           << show(expect) << "actual:\n"
           << show(got) << "differences:\n"
           << map;
  }

 private:
  const DctVersion& v_;
  void (*ref_)(short*);
  int outMin_, outMax_;
};

// Checks a version against the reference on the fixed blocks and on
// kRandomBlocks seeded random ones; stops at the first bad block.
inline void checkAgainstReference(const DctVersion& v, void (*ref)(short*), int outMin, int outMax) {
  if (!dctCpuHas(v.cpu)) GTEST_SKIP() << v.name << " needs an instruction set this processor lacks";
  Checker check(v, ref, outMin, outMax);
  const auto fixed = fixedBlocks();
  for (std::size_t i = 0; i < fixed.size(); i++)
    ASSERT_TRUE(check(fixed[i], i & 1, "fixed", static_cast<long>(i)));
  Rng rng(seed());
  Block b;
  for (long i = 0; i < kRandomBlocks; i++) {
    const int dist = static_cast<int>(i % kDists);
    fill(b, dist, rng);
    ASSERT_TRUE(check(b, (i / kDists) & 1, distName(dist), i));
  }
}

}  // namespace dctcheck
