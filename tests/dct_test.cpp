// The 8x8 DCT kernels: worked examples for every version, the references'
// outputs against recorded digests, bit exactness of every version against
// the scalar reference on seeded random blocks, and the MMX state the exported
// inverse leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "tests/dct_variants.h"

// The exported inverse under its plain C name, to check that it is the same entry.
void idctPlainName(short* block) asm("Vrel_IDct16_MMX");

// Names a version in failure messages.
namespace kelvo4 {
inline void PrintTo(const DctVersion& v, std::ostream* os) { *os << v.name; }
}  // namespace kelvo4

namespace {

using namespace kelvo4;

using Block = std::array<int16_t, 64>;

// A transform: its versions (the reference first) and the reference.
struct Kernel {
  std::span<const DctVersion> versions;
  void (*ref)(short*);
};
constexpr Kernel kInverse{kIdctVersions, idctC};
constexpr Kernel kForward{kFdctVersions, fdctC};

// Its sequence is fixed by the standard, unlike those of the std distributions.
using Rng = std::mt19937_64;
int draw(Rng& rng, int lo, int hi) { return lo + static_cast<int>(rng() % static_cast<uint64_t>(hi - lo + 1)); }

uint64_t envOr(const char* name, uint64_t fallback) {
  const char* e = std::getenv(name);
  return e ? std::strtoull(e, nullptr, 0) : fallback;
}

#ifdef KELVO4_SANITIZE_BUILD
constexpr long kDefaultRandomBlocks = 20'000;
#else
constexpr long kDefaultRandomBlocks = 2'000'000;
#endif

// KELVO4_DCT_SEED replays a reported failure; KELVO4_DCT_BLOCKS sets the count
// of random blocks per version (fewer under valgrind).
const uint64_t kSeed = envOr("KELVO4_DCT_SEED", 0x4B656C766F34);
const long kRandomBlocks = static_cast<long>(envOr("KELVO4_DCT_BLOCKS", kDefaultRandomBlocks));

Block only(int index, int16_t v) {
  Block b{};
  b[index] = v;
  return b;
}

// The eight values along every row, or down every column.
Block wave(const std::array<int16_t, 8>& w, bool down) {
  Block b;
  for (int i = 0; i < 64; i++) b[i] = w[down ? i / 8 : i % 8];
  return b;
}

Block filled(int16_t v) { return wave({v, v, v, v, v, v, v, v}, false); }

std::string show(const Block& b) {
  std::string s;
  for (int i = 0; i < 64; i++) s += (i % 8 ? ", " : "  ") + std::to_string(b[i]) + (i % 8 == 7 ? "\n" : "");
  return s;
}

// FNV-1a over the 16-bit outputs of blocks, for outputs that a worked example
// would only copy.
uint64_t digest(uint64_t h, const Block& b) {
  for (int16_t v : b) h = (h ^ static_cast<uint16_t>(v)) * 1099511628211ull;
  return h;
}

// Random block distributions: six uniform ranges (all 16 bits, samples,
// coefficients, tiny values, the range where the inverse clamps, and small
// values under a large DC), sparse, only extreme values, and magnitudes near
// 12646, above which row sums can wrap.
constexpr const char* kDists[] = {"full range", "[-256, 255]", "[-2048, 2047]", "[-5, 5]",   "[-300, 300]",
                                  "large DC",   "sparse",      "extremes",      "near 12646"};
constexpr int kRanges[6][2] = {{-32768, 32767}, {-256, 255}, {-2048, 2047}, {-5, 5}, {-300, 300}, {-64, 63}};

Block randomBlock(int dist, Rng& rng) {
  static constexpr int extremes[] = {-32768, -1, 0, 1, 32767};
  Block b;
  for (auto& v : b) {
    const bool near = dist == 8 && draw(rng, 0, 3);  // three times in four
    v = static_cast<int16_t>(dist < 6          ? draw(rng, kRanges[dist][0], kRanges[dist][1])
                             : dist == 6       ? (draw(rng, 0, 15) ? 0 : draw(rng, -32768, 32767))
                             : dist == 7       ? extremes[draw(rng, 0, 4)]
                             : !near           ? draw(rng, -32768, 32767)
                             : draw(rng, 0, 1) ? draw(rng, 12000, 13500)
                                               : draw(rng, -13500, -12000));
  }
  if (dist == 5) b[0] = static_cast<int16_t>(draw(rng, 0, 1) ? draw(rng, 24000, 32767) : draw(rng, -32768, -24000));
  return b;
}

// Constant blocks around the limits where the forward column sums saturate
// or wrap and around 12646, alternating extremes in both phases, and single
// values at each of the 64 positions.
std::vector<Block> fixedBlocks() {
  std::vector<Block> out;
  for (int16_t v : {0, 255, 256, 1023, 1024, 2047, 2048, 4095, -256, -257, -1024, -1025, -2048, 32767, -32768,
                    12646, 12647, -12647})
    out.push_back(filled(v));
  for (int flip = 0; flip < 2; flip++) {
    Block& b = out.emplace_back();
    for (int i = 0; i < 64; i++) b[i] = ((i + i / 8 + flip) & 1) ? -32768 : 32767;
  }
  for (int16_t v : {-32768, -4096, -1, 1, 255, 4096, 12647, 32767})
    for (int i = 0; i < 64; i++) out.push_back(only(i, v));
  return out;
}

// Empty if version v of kernel k matches the reference on the block, at an
// even or odd word offset between guard words, and writes nothing outside the
// block; otherwise what failed.
std::string check(const DctVersion& v, const Kernel& k, const Block& in, bool odd) {
  constexpr int16_t kGuard = 0x5A5A;
  alignas(32) int16_t buf[64 + 17];
  std::fill(std::begin(buf), std::end(buf), kGuard);
  int16_t* blk = buf + (odd ? 9 : 8);
  std::copy(in.begin(), in.end(), blk);
  Block expect = in, got;
  k.ref(expect.data());
  v.fn(blk);
  dctClearMmxState();
  std::copy(blk, blk + 64, got.begin());
  std::string what;
  if (got != expect) what += " differs from the reference";
  if (std::count(buf, blk, kGuard) + std::count(blk + 64, std::end(buf), kGuard) != 17)
    what += ", wrote outside the block";
  if (what.empty()) return what;
  return v.name + what + "\ninput:\n" + show(in) + "expected:\n" + show(expect) + "actual:\n" + show(got);
}

// Version v of kernel k on the fixed blocks, then on kRandomBlocks random ones,
// at alternating word offsets; stops at the first bad block.
void matchesReference(const Kernel& k, const DctVersion& v) {
  const std::vector<Block> fixed = fixedBlocks();
  const long n = static_cast<long>(fixed.size());
  Rng rng(kSeed);
  for (long i = 0; i < n + kRandomBlocks; i++) {
    const int dist = static_cast<int>(i % std::size(kDists));
    const std::string failure = check(v, k, i < n ? fixed[i] : randomBlock(dist, rng), i & 1);
    ASSERT_TRUE(failure.empty()) << (i < n ? "fixed" : kDists[dist]) << " block " << i << " (seed " << kSeed
                                 << "): " << failure;
  }
}

class VersionTest : public testing::TestWithParam<DctVersion> {
 protected:
  void SetUp() override {
    if (!cpuHas(GetParam().cpu)) GTEST_SKIP() << "instruction set missing";
  }
  Block run(Block b) {
    GetParam().fn(b.data());
    dctClearMmxState();
    return b;
  }
};
class IdctTest : public VersionTest {};
class FdctTest : public VersionTest {};
class IdctDifferential : public VersionTest {};
class FdctDifferential : public VersionTest {};

TEST_P(IdctTest, DcOnlyBlocksForEveryValue) {
  // Row 0 rounds (D + 4) / 8 and the other rows (D + 3) / 8, both toward
  // minus infinity, then clamp to [-512, 511].
  for (int d = -32768; d <= 32767; d++) {
    const Block out = run(only(0, static_cast<int16_t>(d)));
    const int row0 = std::clamp((d + 4) >> 3, -512, 511), rest = std::clamp((d + 3) >> 3, -512, 511);
    for (int i = 0; i < 64; i++) ASSERT_EQ(out[i], i < 8 ? row0 : rest) << "D = " << d << ", element " << i;
  }
}

TEST_P(IdctTest, KnownBlocks) {
  Block expect = wave({173, 147, 98, 34, -34, -98, -147, -173}, false);
  expect[3] = 35;
  expect[8 * 3 + 4] = expect[8 * 4 + 4] = -35;
  EXPECT_EQ(run(only(1, 1000)), expect) << "1000 at horizontal frequency 1";
  EXPECT_EQ(run(only(8, 1000)), wave({173, 147, 98, 34, -35, -98, -147, -173}, true)) << "at vertical frequency 1";
  // The clamps in step order: adding the two DC terms directly would give 0.
  Block dc = only(0, -2500);
  dc[32] = 2500;
  EXPECT_EQ(run(dc), wave({0, -512, -512, -1, -1, -512, -512, -1}, true)) << "-2500 at DC, 2500 at vertical 4";
}

TEST_P(FdctTest, KnownBlocks) {
  for (int m = -256; m <= 255; m++)
    ASSERT_EQ(run(filled(static_cast<int16_t>(m))), only(0, static_cast<int16_t>(8 * m))) << "m = " << m;
  // A cosine of frequency 1 along every row, then down every column: the
  // result is transposed, not mirrored.
  static constexpr std::array<int16_t, 8> cosine = {98, 83, 56, 20, -20, -56, -83, -98};
  Block expect = only(1, 566);
  expect[3] = -2, expect[5] = 2;
  EXPECT_EQ(run(wave(cosine, false)), expect);
  expect = only(8, 566);
  expect[24] = -2, expect[40] = 2;
  EXPECT_EQ(run(wave(cosine, true)), expect);
  // The rounding offset 10 of F(1, 0) shows on tiny inputs.
  EXPECT_EQ(run(only(0, 2)), only(8, 1));
}

// Every version but the reference itself (the first row) runs against it.
TEST_P(IdctDifferential, MatchesReference) { matchesReference(kInverse, GetParam()); }
TEST_P(FdctDifferential, MatchesReference) { matchesReference(kForward, GetParam()); }

std::string versionName(const testing::TestParamInfo<DctVersion>& info) { return info.param.name; }
INSTANTIATE_TEST_SUITE_P(Versions, IdctTest, testing::ValuesIn(kIdctVersions), versionName);
INSTANTIATE_TEST_SUITE_P(Versions, FdctTest, testing::ValuesIn(kFdctVersions), versionName);
INSTANTIATE_TEST_SUITE_P(Versions, IdctDifferential, testing::ValuesIn(kInverse.versions.subspan(1)), versionName);
INSTANTIATE_TEST_SUITE_P(Versions, FdctDifferential, testing::ValuesIn(kForward.versions.subspan(1)), versionName);

// The references on the fixed blocks and on 9000 random ones of every
// distribution (a seed of their own), as one digest per kernel, recorded
// from the reference: every stored constant and every step of the reference
// shows in it, and the differential check carries it to every version.
TEST(DctReference, OutputsMatchRecordedDigests) {
  for (auto [k, recorded] : {std::pair{kInverse, 7378567861631618679ull}, {kForward, 11529908454738878484ull}}) {
    Rng rng(20240611);
    std::vector<Block> blocks = fixedBlocks();
    for (int i = 0; i < 9000; i++) blocks.push_back(randomBlock(i % 9, rng));
    uint64_t h = 14695981039346656037ull;
    for (Block b : blocks) {
      k.ref(b.data());
      h = digest(h, b);
    }
    EXPECT_EQ(h, recorded) << k.versions[0].name;
  }
}

TEST(IdctMmx, ExportedUnderBothNamesAndClearsMmxState) {
  EXPECT_EQ(reinterpret_cast<void*>(&idctPlainName), reinterpret_cast<void*>(&Vrel_IDct16_MMX));
  Block b = only(0, 80);
  idctPlainName(b.data());
  // No _mm_empty here: x87 arithmetic right after the kernel must work.
  volatile long double x = 1.5L;
  EXPECT_EQ(x * 3.0L, 4.5L);
  EXPECT_EQ(b[63], 10);
}

}  // namespace
