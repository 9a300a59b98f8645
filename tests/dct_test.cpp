// The 8x8 DCT kernels: known blocks for every version, the stored tables, bit
// exactness of every version against the scalar reference on seeded random
// blocks, the forward-inverse round trip, accuracy of the inverse, and the MMX
// state the exported inverse leaves.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <numeric>
#include <random>
#include <vector>

#include "dct_check.h"

// The exported inverse under its plain C name, to check that it is the same entry.
void idctPlainName(short* block) asm("Vrel_IDct16_MMX");

// Names a version in failure messages.
namespace kelvo4 {
inline void PrintTo(const DctVersion& v, std::ostream* os) { *os << v.name; }
}  // namespace kelvo4

namespace {

using dctcheck::Block;
using kelvo4::DctVersion;

// Its sequence is fixed by the standard, unlike those of the std distributions.
using Rng = std::mt19937_64;
int draw(Rng& rng, int lo, int hi) { return lo + static_cast<int>(rng() % static_cast<uint64_t>(hi - lo + 1)); }

// The environment variable's value, or the fallback if it is unset.
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

// FNV-1a over the 16-bit outputs of some blocks, for outputs that a worked
// example would only copy.
std::uint64_t digest(std::initializer_list<Block> blocks) {
  std::uint64_t h = 14695981039346656037ull;
  for (const Block& b : blocks)
    for (int16_t v : b) h = (h ^ static_cast<std::uint16_t>(v)) * 1099511628211ull;
  return h;
}

// The eight values along every row, or down every column.
Block wave(const std::array<int16_t, 8>& w, bool down) {
  Block b;
  for (int i = 0; i < 64; i++) b[i] = w[down ? i / 8 : i % 8];
  return b;
}

Block filled(int16_t v) { return wave({v, v, v, v, v, v, v, v}, false); }

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

// Constant blocks at the limits and around 12646, alternating extremes in both
// phases, and single values at each of the 64 positions.
std::vector<Block> fixedBlocks() {
  std::vector<Block> out;
  for (int16_t v : {0, 32767, -32768, 12646, 12647, -12647}) out.push_back(filled(v));
  for (int flip = 0; flip < 2; flip++) {
    Block& b = out.emplace_back();
    for (int i = 0; i < 64; i++) b[i] = ((i + i / 8 + flip) & 1) ? -32768 : 32767;
  }
  for (int16_t v : {-32768, -4096, -1, 1, 255, 4096, 12647, 32767})
    for (int i = 0; i < 64; i++) out.push_back(only(i, v));
  return out;
}

// Version v of kernel k on the fixed blocks, then on kRandomBlocks random ones,
// at alternating word offsets; stops at the first bad block.
void matchesReference(const dctcheck::Kernel& k, const DctVersion& v) {
  const std::vector<Block> fixed = fixedBlocks();
  const long n = static_cast<long>(fixed.size());
  Rng rng(kSeed);
  for (long i = 0; i < n + kRandomBlocks; i++) {
    const int dist = static_cast<int>(i % std::size(kDists));
    const std::string failure = dctcheck::check(v, k, i < n ? fixed[i] : randomBlock(dist, rng), i & 1);
    ASSERT_TRUE(failure.empty()) << (i < n ? "fixed" : kDists[dist]) << " block " << i << " (seed " << kSeed
                                 << "): " << failure;
  }
}

class VersionTest : public testing::TestWithParam<DctVersion> {
 protected:
  void SetUp() override {
    if (!kelvo4::dctCpuHas(GetParam().cpu)) GTEST_SKIP() << "instruction set missing";
  }
  Block run(Block b) {
    GetParam().fn(b.data());
    kelvo4::dctClearMmxState();
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

  // All 32767: the row sums wrap (digest recorded from the reference).
  EXPECT_EQ(digest({run(filled(32767))}), 3004390778377431176u);

  // The clamps in step order: adding the two DC terms directly would give 0.
  Block dc = only(0, -2500);
  dc[32] = 2500;
  EXPECT_EQ(run(dc), wave({0, -512, -512, -1, -1, -512, -512, -1}, true)) << "-2500 at DC, 2500 at vertical 4";
}

TEST_P(FdctTest, ConstantBlocks) {
  for (int m = -256; m <= 255; m++)
    ASSERT_EQ(run(filled(static_cast<int16_t>(m))), only(0, static_cast<int16_t>(8 * m))) << "m = " << m;
  // Outside [-256, 255] the column sums saturate or wrap.
  static constexpr int16_t cases[][2] = {
      {256, 2047}, {511, 2047}, {512, 2047},   {1023, 2047},  {1024, -2048},  {2047, -8},    {4095, -8}, {2048, 0},
      {4096, 0},   {32767, -2}, {-257, -2048}, {-512, -2048}, {-1024, -2048}, {-1025, 2047}, {-2048, 0}, {-32768, 0}};
  for (const auto& [m, dc] : cases) EXPECT_EQ(run(filled(m)), only(0, dc)) << "m = " << m;
}

TEST_P(FdctTest, KnownBlocks) {
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
  EXPECT_EQ(run(only(8, 2)), only(8, 1));

  // Beyond the worked cases, the outputs of a tiny DC, a large DC and a ramp
  // as one digest (recorded from the reference).
  Block ramp;
  for (int i = 0; i < 64; i++) ramp[i] = static_cast<int16_t>((37 * (i % 8) + 91 * (i / 8)) % 512 - 256);
  EXPECT_EQ(digest({run(only(0, 4)), run(only(0, 255)), run(ramp)}), 14875063742851661971u);
}

// Every version but the reference itself (the first row) runs against it.
TEST_P(IdctDifferential, MatchesReference) { matchesReference(dctcheck::kInverse, GetParam()); }
TEST_P(FdctDifferential, MatchesReference) { matchesReference(dctcheck::kForward, GetParam()); }

std::string versionName(const testing::TestParamInfo<DctVersion>& info) { return info.param.name; }
INSTANTIATE_TEST_SUITE_P(Versions, IdctTest, testing::ValuesIn(kelvo4::kIdctVersions), versionName);
INSTANTIATE_TEST_SUITE_P(Versions, FdctTest, testing::ValuesIn(kelvo4::kFdctVersions), versionName);
INSTANTIATE_TEST_SUITE_P(Versions, IdctDifferential, testing::ValuesIn(dctcheck::kInverse.versions.subspan(1)),
                         versionName);
INSTANTIATE_TEST_SUITE_P(Versions, FdctDifferential, testing::ValuesIn(dctcheck::kForward.versions.subspan(1)),
                         versionName);

double cosPi16(int k) { return std::cos(k * M_PI / 16); }

TEST(DctTables, LayoutAndValues) {
  // Inverse tables: each entry is +-Ck of the table's set m, Ck = round(32768
  // cos(m pi/16) cos(k pi/16)); the layouts give k, negative for -Ck.
  static constexpr int mmxK[32] = {4, 4, 4, -4, 2, 6, 6,  -2, 4, -4, 4, 4, -6, 2, -2, -6,
                                   1, 5, 3, -1, 3, 7, -7, -5, 5, 7,  7, 3, -1, 3, -5, -1};
  static constexpr int sseK[32] = {4, 2, 4, 6,  4, 6, -4, -2, 4, -6, 4, -2, -4, 2, 4, -6,
                                   1, 3, 3, -7, 5, 7, -1, -5, 5, -1, 7, -5, 7,  3, 3, -1};
  // Rows 0 to 3 have the sets m = 4, 1, 2, 3.
  const auto& mmx = kelvo4::kIdctRowMmx.row;
  const auto& sse = kelvo4::kIdctRowSse.row;
  const auto& fwd = kelvo4::kFdctRow.row;
  static constexpr int setM[4] = {4, 1, 2, 3};
  for (int t = 0; t < 4; t++) {
    const double scale = 32768 * cosPi16(setM[t]);
    const auto c = [&](int k) { return (k < 0 ? -1 : 1) * std::lround(scale * cosPi16(std::abs(k))); };
    for (int i = 0; i < 32; i++) {
      EXPECT_EQ(mmx[t][i], c(mmxK[i])) << "iTab" << t + 1 << "_MMX[" << i << "]";
      EXPECT_EQ(sse[t][i], c(sseK[i])) << "iTab" << t + 1 << "[" << i << "]";
      // Forward group g holds C[k][n], C[k][n+1], C[k+1][n], C[k+1][n+1] with
      // C[k][n] = round(32768 cos(m pi/16) c(k) cos((2n+1) k pi/16)).
      const int g = i / 4, k = 2 * (g / 2) + (i % 4) / 2, n = 2 * (g % 2) + i % 2;
      EXPECT_EQ(fwd[t][i], std::lround(scale * (k ? 1 : std::sqrt(0.5)) * cosPi16((2 * n + 1) * k))) << "fTab" << t + 1;
    }
  }

  const auto& rnd = kelvo4::kIdctRowRnd.row;
  static constexpr int32_t rndValue[8] = {65535, 3612, 2271, 1203, 1023, 102, 398, 469};
  for (int r = 0; r < 8; r++) EXPECT_TRUE(rnd[r][0] == rndValue[r] && rnd[r][1] == rndValue[r]) << "Idct_Rnd" << r;

  // Four-lane constants: the column multipliers of both kernels, then the forward ones.
  const int16_t* lanes[7] = {kelvo4::kTan1.v,           kelvo4::kTan2.v,           kelvo4::kTan3.v,          kelvo4::kSqrt2.v,
                             kelvo4::kFdctRowRnd.row[0], kelvo4::kFdctRowRnd.row[2], kelvo4::kFdctRowRnd.row[1]};
  const double column[4] = {65536 * std::tan(M_PI / 16), 65536 * std::tan(M_PI / 8),
                            65536 * (std::tan(3 * M_PI / 16) - 1), 32768 * cosPi16(4)};
  static constexpr int16_t forward[3][4] = {{6, 8, 8, 8}, {8, 8, 8, 8}, {10, 8, 8, 8}};
  for (int t = 0; t < 7; t++)
    for (int lane = 0; lane < 4; lane++)
      EXPECT_EQ(lanes[t][lane], t < 4 ? std::lround(column[t]) : forward[t - 4][lane]) << "constant " << t;
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

// Samples in [-256, 255], forward then inverse, come back within one unit.
TEST(DctRoundTrip, WithinOneUnit) {
  Rng rng(kSeed);
  const long blocks = kRandomBlocks / 10;
  long exact = 0;
  for (long n = 0; n < blocks; n++) {
    const Block b = randomBlock(1, rng);
    Block t = b;
    Vrel_Dct16_MMX(t.data());
    Vrel_IDct16_MMX(t.data());
    for (int i = 0; i < 64; i++) {
      ASSERT_LE(std::abs(t[i] - b[i]), 1) << "block " << n << " (seed " << kSeed << ")\n" << dctcheck::show(b);
      exact += t[i] == b[i];
    }
  }
  const double fraction = static_cast<double>(exact) / (64.0 * blocks);
  std::cout << "round trip: " << fraction << " of " << 64 * blocks << " samples exact\n";
  EXPECT_GT(fraction, 0.5);
}

// Orthonormal 8-point DCT basis: kBasis[u][x] = c(u)/2 cos((2x+1)u pi/16).
const auto kBasis = [] {
  std::array<std::array<double, 8>, 8> m;
  for (int i = 0; i < 64; i++)
    m[i / 8][i % 8] = (i < 8 ? std::sqrt(0.125) : 0.5) * cosPi16((2 * (i % 8) + 1) * (i / 8));
  return m;
}();

// The exact two-dimensional transform in double precision, in place; the inverse if inv.
void dctDouble(double* b, bool inv) {
  for (int pass = 0; pass < 2; pass++) {
    double t[64] = {};
    // Row i / 8 of b goes to column i / 8 of t, so the second pass runs down the columns.
    for (int i = 0; i < 64; i++)
      for (int k = 0; k < 8; k++)
        t[i % 8 * 8 + i / 8] += (inv ? kBasis[k][i % 8] : kBasis[i % 8][k]) * b[i / 8 * 8 + k];
    std::copy(t, t + 64, b);
  }
}

// In the manner of IEEE 1180: random sample blocks, exactly transformed and
// rounded into coefficients, against the exactly rounded inverse; both outputs
// clip to the sample range.
TEST(IdctAccuracy, WithinOneOfExactlyRounded) {
  constexpr int kBlocks = 10000;
  static constexpr int cases[4][3] = {{-256, 255, 1}, {-256, 255, -1}, {-5, 5, 1}, {-5, 5, -1}};
  for (const auto& [lo, hi, sign] : cases) {
    SCOPED_TRACE(testing::Message() << "range [" << lo << ", " << hi << "], sign " << sign);
    Rng rng(kSeed + static_cast<uint64_t>(hi * sign));
    double err[64] = {}, sq[64] = {};
    int peak = 0;
    for (int n = 0; n < kBlocks; n++) {
      double f[64];
      for (double& v : f) v = sign * draw(rng, lo, hi);
      dctDouble(f, false);
      Block coef;
      for (int i = 0; i < 64; i++) f[i] = coef[i] = static_cast<int16_t>(std::clamp(std::lround(f[i]), -2048L, 2047L));
      dctDouble(f, true);
      Vrel_IDct16_MMX(coef.data());
      for (int i = 0; i < 64; i++) {
        const int e = std::clamp<int>(coef[i], -256, 255) - std::clamp<int>(std::lround(f[i]), -256, 255);
        peak = std::max(peak, std::abs(e));
        err[i] += e;
        sq[i] += e * e;
      }
    }
    // Peak, worst position's mean square and mean error, then over all positions.
    EXPECT_LE(peak, 1);
    EXPECT_LE(*std::max_element(sq, sq + 64) / kBlocks, 0.06);
    EXPECT_LE(std::max(-*std::min_element(err, err + 64), *std::max_element(err, err + 64)) / kBlocks, 0.015);
    EXPECT_LE(std::accumulate(sq, sq + 64, 0.0) / (64.0 * kBlocks), 0.02);
    EXPECT_LE(std::abs(std::accumulate(err, err + 64, 0.0)) / (64.0 * kBlocks), 0.0015);
  }
}

}  // namespace
