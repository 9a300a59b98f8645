// Forward 8x8 DCT: known blocks for every version, the stored tables, bit
// exactness of every version against the scalar reference, and the round
// trip through the inverse transform.
#include <gtest/gtest.h>

#include <cmath>
#include <iostream>

#include "dct_check.h"

namespace {

using dctcheck::Block;

class FdctTest : public testing::TestWithParam<DctVersion> {
 protected:
  void SetUp() override {
    if (!dctCpuHas(GetParam().cpu)) GTEST_SKIP() << "instruction set missing";
  }
  Block run(Block b) {
    GetParam().fn(b.data());
    dctClearMmxState();
    return b;
  }
  static Block rows(const std::array<std::array<int16_t, 8>, 8>& r) {
    Block b;
    for (int i = 0; i < 64; i++) b[i] = r[i / 8][i % 8];
    return b;
  }
  static Block only(int index, int16_t value) {
    Block b{};
    b[index] = value;
    return b;
  }
};

TEST_P(FdctTest, ConstantBlocks) {
  for (int m = -256; m <= 255; m++) {
    Block in;
    in.fill(static_cast<int16_t>(m));
    ASSERT_EQ(run(in), only(0, static_cast<int16_t>(8 * m))) << "m = " << m;
  }
  // Outside [-256, 255] the column sums saturate or wrap.
  struct Case {
    int16_t m, dc;
  };
  for (const Case c : {Case{256, 2047}, {511, 2047}, {512, 2047}, {1023, 2047}, {1024, -2048}, {2047, -8},
                       {4095, -8}, {2048, 0}, {4096, 0}, {32767, -2}, {-257, -2048}, {-512, -2048},
                       {-1024, -2048}, {-1025, 2047}, {-2048, 0}, {-32768, 0}}) {
    Block in;
    in.fill(c.m);
    EXPECT_EQ(run(in), only(0, c.dc)) << "m = " << c.m;
  }
}

TEST_P(FdctTest, KnownBlocks) {
  // A cosine of frequency 1 along every row, then down every column: the
  // result is transposed, not mirrored.
  static constexpr int16_t wave[8] = {98, 83, 56, 20, -20, -56, -83, -98};
  Block across, down, expect{};
  for (int i = 0; i < 64; i++) across[i] = wave[i % 8], down[i] = wave[i / 8];
  expect[1] = 566, expect[3] = -2, expect[5] = 2;
  EXPECT_EQ(run(across), expect);
  expect = {};
  expect[8] = 566, expect[24] = -2, expect[40] = 2;
  EXPECT_EQ(run(down), expect);

  // The rounding offset 10 of F(1, 0) shows on tiny inputs.
  EXPECT_EQ(run(only(0, 2)), only(8, 1));
  EXPECT_EQ(run(only(8, 2)), only(8, 1));

  // The offset 6 of F(0,0), F(0,4), F(4,0), F(4,4) turns their 0.5 into 0.
  EXPECT_EQ(run(only(0, 4)), rows({{{0, 1, 1, 1, 0, 0, 0, 0},
                                    {1, 1, 1, 1, 1, 1, 0, 0},
                                    {1, 1, 1, 1, 1, 1, 0, 0},
                                    {0, 1, 1, 1, 1, 0, 0, 0},
                                    {0, 1, 1, 1, 0, 0, 0, 0},
                                    {0, 1, 1, 0, 0, 0, 0, 0},
                                    {0, 0, 0, 0, 0, 0, 0, 0},
                                    {0, 0, 0, 0, 0, 0, 0, 0}}}));
  EXPECT_EQ(run(only(0, 255)), rows({{{32, 44, 42, 37, 32, 25, 17, 9},
                                      {45, 61, 58, 52, 44, 35, 24, 12},
                                      {42, 58, 54, 49, 42, 33, 23, 11},
                                      {37, 52, 49, 44, 37, 29, 20, 10},
                                      {32, 44, 42, 37, 32, 25, 17, 9},
                                      {25, 35, 33, 29, 25, 20, 14, 7},
                                      {17, 24, 23, 20, 17, 14, 9, 5},
                                      {9, 12, 11, 10, 9, 7, 5, 2}}}));
  Block ramp;
  for (int y = 0; y < 8; y++)
    for (int x = 0; x < 8; x++) ramp[8 * y + x] = static_cast<int16_t>((37 * x + 91 * y) % 512 - 256);
  EXPECT_EQ(run(ramp), rows({{{-192, -189, 35, -19, -64, 45, -84, -66},
                              {9, -168, -116, -2, -18, 29, 29, 43},
                              {-320, -508, 45, -23, 84, -116, 72, 55},
                              {-396, 340, 230, -43, 50, -50, -41, -95},
                              {64, 157, -202, -64, -64, 143, 14, 4},
                              {-28, -214, -131, 168, -75, 6, -27, 84},
                              {63, 41, 200, 79, 35, -107, -45, -27},
                              {-89, 6, -23, -285, 89, 51, 106, -50}}}));
}

INSTANTIATE_TEST_SUITE_P(Versions, FdctTest, testing::ValuesIn(kFdctVersions),
                         [](const auto& info) { return std::string(info.param.name); });

// Every version but the reference itself (the first row), against it.
class FdctTestDifferential : public FdctTest {};

TEST_P(FdctTestDifferential, MatchesReference) { dctcheck::checkAgainstReference(GetParam(), Vrel_Dct16_C, -2048, 2047); }

INSTANTIATE_TEST_SUITE_P(Versions, FdctTestDifferential, testing::ValuesIn(std::begin(kFdctVersions) + 1, std::end(kFdctVersions)),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FdctTables, LayoutAndValues) {
  static constexpr int16_t start[12] = {16384, 16384, 22725, 19266, 16384, 16384, 12873, 4520, 21407, 8867, 19266, -4520};
  EXPECT_TRUE(std::equal(start, start + 12, fTab1));

  // Group g holds C[k][n], C[k][n+1], C[k+1][n], C[k+1][n+1] with
  // C[k][n] = round(32768 cos(j pi/16) c(k) cos((2n+1) k pi/16)).
  const int16_t* tabs[4] = {fTab1, fTab2, fTab3, fTab4};
  static constexpr int tabJ[4] = {4, 1, 2, 3};
  for (int t = 0; t < 4; t++)
    for (int i = 0; i < 32; i++) {
      const int g = i / 4, k = 2 * (g / 2) + (i % 4) / 2, n = 2 * (g % 2) + i % 2;
      const double ck = k ? 1 : std::sqrt(0.5);
      const long expect = std::lround(32768 * std::cos(tabJ[t] * M_PI / 16) * ck * std::cos((2 * n + 1) * k * M_PI / 16));
      EXPECT_EQ(tabs[t][i], expect) << "fTab" << t + 1 << "[" << i << "]";
    }

  const int16_t* lanes[4] = {Fdct_Rnd0, Fdct_Rnd1, Fdct_Rnd2, MMX_One};
  static constexpr int16_t laneValues[4][4] = {{6, 8, 8, 8}, {8, 8, 8, 8}, {10, 8, 8, 8}, {1, 1, 1, 1}};
  for (int t = 0; t < 4; t++) EXPECT_TRUE(std::equal(lanes[t], lanes[t] + 4, laneValues[t])) << "rounding table " << t;
}

// Samples in [-256, 255], forward then inverse, come back within one unit.
TEST(FdctRoundTrip, WithinOneUnit) {
  dctcheck::Rng rng(dctcheck::seed());
  const long blocks = dctcheck::kRandomBlocks / 10;
  long exact = 0;
  for (long n = 0; n < blocks; n++) {
    Block b;
    dctcheck::fill(b, dctcheck::Range256, rng);
    Block t = b;
    Vrel_Dct16_MMX(t.data());
    Vrel_IDct16_MMX(t.data());
    for (int i = 0; i < 64; i++) {
      ASSERT_LE(std::abs(t[i] - b[i]), 1) << "block " << n << "\n" << dctcheck::show(b);
      exact += t[i] == b[i];
    }
  }
  const double fraction = static_cast<double>(exact) / (64.0 * blocks);
  std::cout << "round trip: " << fraction << " of " << 64 * blocks << " samples exact\n";
  RecordProperty("exact_fraction", std::to_string(fraction));
  EXPECT_GT(fraction, 0.5);
}

}  // namespace
