// Inverse 8x8 DCT: known blocks for every version, the stored tables, bit
// exactness of every version against the scalar reference, and accuracy
// against the exactly rounded transform.
#include <gtest/gtest.h>

#include <cmath>

#include "dct_check.h"

// The exported kernel under its plain C name, to check that it is the same entry.
void idctPlainName(short* block) asm("Vrel_IDct16_MMX");

namespace {

using dctcheck::Block;

class IdctTest : public testing::TestWithParam<DctVersion> {
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
};

TEST_P(IdctTest, DcOnlyBlocksForEveryValue) {
  EXPECT_EQ(run(Block{}), Block{});
  // Row 0 rounds (D + 4) / 8 and the other rows (D + 3) / 8, both toward
  // minus infinity, then clamp to [-512, 511].
  for (int d = -32768; d <= 32767; d++) {
    Block in{};
    in[0] = static_cast<int16_t>(d);
    const Block out = run(in);
    const int row0 = std::clamp((d + 4) >> 3, -512, 511), rest = std::clamp((d + 3) >> 3, -512, 511);
    for (int i = 0; i < 64; i++) ASSERT_EQ(out[i], i < 8 ? row0 : rest) << "D = " << d << ", element " << i;
  }
}

TEST_P(IdctTest, KnownBlocks) {
  Block h{};
  h[1] = 1000;
  Block expect;
  static constexpr int16_t wave[8] = {173, 147, 98, 34, -34, -98, -147, -173};
  for (int i = 0; i < 64; i++) expect[i] = wave[i % 8];
  expect[3] = 35;
  expect[8 * 3 + 4] = expect[8 * 4 + 4] = -35;
  EXPECT_EQ(run(h), expect) << "1000 at horizontal frequency 1";

  Block v{};
  v[8] = 1000;
  static constexpr int16_t down[8] = {173, 147, 98, 34, -35, -98, -147, -173};
  for (int i = 0; i < 64; i++) expect[i] = down[i / 8];
  EXPECT_EQ(run(v), expect) << "1000 at vertical frequency 1";

  Block full;
  full.fill(32767);
  EXPECT_EQ(run(full), rows({{{511, -512, 511, -512, 511, -512, 511, 511},
                              {-363, 362, -363, 362, -363, 395, -363, -363},
                              {449, -450, 449, -450, 449, -417, 449, 449},
                              {-512, 240, -241, 240, -241, 251, -241, -241},
                              {-272, -241, 240, -241, 240, -251, 240, 240},
                              {-63, 62, -63, 62, -63, 95, -63, -63},
                              {149, -150, 149, -150, 149, -117, 149, 149},
                              {-512, 0, 0, 0, 0, 0, 0, 0}}}))
      << "all 32767: the row sums wrap";

  // The clamps in step order: adding the two DC terms directly would give 0.
  Block dc{};
  dc[0] = -2500;
  dc[32] = 2500;
  static constexpr int16_t col[8] = {0, -512, -512, -1, -1, -512, -512, -1};
  for (int i = 0; i < 64; i++) expect[i] = col[i / 8];
  EXPECT_EQ(run(dc), expect) << "-2500 at DC, 2500 at vertical frequency 4";
}

INSTANTIATE_TEST_SUITE_P(Versions, IdctTest, testing::ValuesIn(kIdctVersions),
                         [](const auto& info) { return std::string(info.param.name); });

// Every version but the reference itself (the first row), against it.
class IdctTestDifferential : public IdctTest {};

TEST_P(IdctTestDifferential, MatchesReference) { dctcheck::checkAgainstReference(GetParam(), Vrel_IDct16_C, -512, 511); }

INSTANTIATE_TEST_SUITE_P(Versions, IdctTestDifferential, testing::ValuesIn(std::begin(kIdctVersions) + 1, std::end(kIdctVersions)),
                         [](const auto& info) { return std::string(info.param.name); });

double cosUnit(int num, int den) { return std::cos(num * M_PI / den); }

TEST(IdctTables, LayoutAndValues) {
  static constexpr int16_t mmxStart[8] = {16384, 16384, 16384, -16384, 21407, 8867, 8867, -21407};
  static constexpr int16_t sseStart[8] = {16384, 21407, 16384, 8867, 16384, 8867, -16384, -21407};
  EXPECT_TRUE(std::equal(mmxStart, mmxStart + 8, iTab1_MMX));
  EXPECT_TRUE(std::equal(sseStart, sseStart + 8, iTab1));

  // Each entry is +-Ck of its set, Ck = round(32768 cos(m pi/16) cos(k pi/16));
  // the layouts below give k, negative for -Ck.
  static constexpr int mmxK[32] = {4, 4, 4, -4, 2, 6,  6,  -2, 4, -4, 4,  4,  -6, 2, -2, -6,
                                   1, 5, 3, -1, 3, 7, -7, -5, 5, 7,  7,  3,  -1, 3, -5, -1};
  static constexpr int sseK[32] = {4, 2, 4, 6,  4, 6,  -4, -2, 4, -6, 4, -2, -4, 2, 4, -6,
                                   1, 3, 3, -7, 5, 7, -1, -5, 5, -1, 7, -5, 7,  3, 3, -1};
  const int16_t* mmx[4] = {iTab1_MMX, iTab2_MMX, iTab3_MMX, iTab4_MMX};
  const int16_t* sse[4] = {iTab1, iTab2, iTab3, iTab4};
  static constexpr int setM[4] = {4, 1, 2, 3};
  for (int t = 0; t < 4; t++) {
    for (int i = 0; i < 32; i++) {
      auto expect = [&](int k) {
        const long c = std::lround(32768 * cosUnit(setM[t], 16) * cosUnit(std::abs(k), 16));
        return k < 0 ? -c : c;
      };
      EXPECT_EQ(mmx[t][i], expect(mmxK[i])) << "iTab" << t + 1 << "_MMX[" << i << "]";
      EXPECT_EQ(sse[t][i], expect(sseK[i])) << "iTab" << t + 1 << "[" << i << "]";
    }
  }

  const int32_t* rnd[8] = {Idct_Rnd0, Idct_Rnd1, Idct_Rnd2, Idct_Rnd3, Idct_Rnd4, Idct_Rnd5, Idct_Rnd6, Idct_Rnd7};
  static constexpr int32_t rndValue[8] = {65535, 3612, 2271, 1203, 1023, 102, 398, 469};
  for (int r = 0; r < 8; r++) EXPECT_TRUE(rnd[r][0] == rndValue[r] && rnd[r][1] == rndValue[r]) << "Idct_Rnd" << r;

  const int16_t* col[4] = {tan1, tan2, tan3, sqrt2};
  const long colValue[4] = {std::lround(65536 * std::tan(M_PI / 16)), std::lround(65536 * std::tan(M_PI / 8)),
                            std::lround(65536 * (std::tan(3 * M_PI / 16) - 1)), std::lround(32768 * cosUnit(1, 4))};
  for (int c = 0; c < 4; c++)
    for (int lane = 0; lane < 4; lane++) EXPECT_EQ(col[c][lane], colValue[c]) << "column constant " << c;
}

TEST(IdctMmx, ExportedUnderBothNamesAndClearsMmxState) {
  EXPECT_EQ(reinterpret_cast<void*>(&idctPlainName), reinterpret_cast<void*>(&Vrel_IDct16_MMX));
  Block b{};
  b[0] = 80;
  idctPlainName(b.data());
  // No _mm_empty here: x87 arithmetic right after the kernel must work.
  volatile long double x = 1.5L;
  const long double y = x * 3.0L;
  EXPECT_EQ(y, 4.5L);
  EXPECT_EQ(b[63], 10);
}

// Separable orthonormal DCT in double precision, in place; inverse if inv.
void dctDouble(double* b, bool inv) {
  double basis[8][8];  // basis[u][x] = c(u)/2 cos((2x+1)u pi/16)
  for (int u = 0; u < 8; u++)
    for (int x = 0; x < 8; x++) basis[u][x] = (u ? 0.5 : std::sqrt(0.125)) * cosUnit((2 * x + 1) * u, 16);
  for (int pass = 0; pass < 2; pass++) {
    double t[64];
    for (int i = 0; i < 8; i++)
      for (int j = 0; j < 8; j++) {
        double s = 0;
        for (int k = 0; k < 8; k++) s += (inv ? basis[k][j] : basis[j][k]) * b[8 * i + k];
        t[8 * j + i] = s;  // transposed: the second pass does the other direction
      }
    std::copy(t, t + 64, b);
  }
}

// In the manner of IEEE 1180: random sample blocks, exactly transformed and
// rounded into coefficients, against the exactly rounded inverse.
TEST(IdctAccuracy, WithinOneOfExactlyRounded) {
  struct Range {
    int lo, hi;
  };
  for (const Range range : {Range{-256, 255}, Range{-5, 5}}) {
    for (const int sign : {1, -1}) {
      dctcheck::Rng rng(dctcheck::seed() + static_cast<uint64_t>(range.hi * sign));
      static constexpr int kBlocks = 10000;
      double sumErr[64] = {}, sumSq[64] = {};
      int peak = 0;
      for (int n = 0; n < kBlocks; n++) {
        double f[64];
        for (double& v : f) v = sign * rng.range(range.lo, range.hi);
        dctDouble(f, false);
        Block coef;
        for (int i = 0; i < 64; i++) coef[i] = static_cast<int16_t>(std::clamp(std::lround(f[i]), -2048L, 2047L));
        for (int i = 0; i < 64; i++) f[i] = coef[i];
        dctDouble(f, true);
        Vrel_IDct16_MMX(coef.data());
        for (int i = 0; i < 64; i++) {
          // Both outputs clip to the sample range, as in the standard's test.
          const int err = std::clamp<int>(coef[i], -256, 255) - static_cast<int>(std::clamp(std::lround(f[i]), -256L, 255L));
          peak = std::max(peak, std::abs(err));
          sumErr[i] += err;
          sumSq[i] += err * err;
        }
      }
      double totErr = 0, totSq = 0, worstMean = 0, worstSq = 0;
      for (int i = 0; i < 64; i++) {
        totErr += sumErr[i];
        totSq += sumSq[i];
        worstMean = std::max(worstMean, std::abs(sumErr[i]) / kBlocks);
        worstSq = std::max(worstSq, sumSq[i] / kBlocks);
      }
      SCOPED_TRACE(testing::Message() << "range [" << range.lo << ", " << range.hi << "], sign " << sign);
      EXPECT_LE(peak, 1);
      EXPECT_LE(worstSq, 0.06);
      EXPECT_LE(totSq / (64.0 * kBlocks), 0.02);
      EXPECT_LE(worstMean, 0.015);
      EXPECT_LE(std::abs(totErr) / (64.0 * kBlocks), 0.0015);
    }
  }
}

}  // namespace
