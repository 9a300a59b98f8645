// Every set of vector stages against the scalar ones, on random frames of
// every shape, with guard samples around the outputs.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "Kelvo4.h"
#include "stages.h"

namespace {

using kelvo4::StageLevel;

// Uses one set of stages for its lifetime, then the fastest again.
struct UseStages {
  explicit UseStages(StageLevel level) { kelvo4::useStages(level); }
  ~UseStages() { kelvo4::forceScalarStages(false); }
};

class FastStages : public testing::TestWithParam<StageLevel> {
 protected:
  void SetUp() override {
    if (!kelvo4::stageLevelSupported(GetParam())) GTEST_SKIP() << "instruction set missing";
  }
};

std::vector<short> randomFrame(std::mt19937& rng, std::size_t n, int kind) {
  std::vector<short> f(n);
  for (auto& s : f) {
    const unsigned r = rng();
    s = static_cast<short>(kind == 0 ? r % 65536 : kind == 1 ? r % 600 - 300 : (r % 2 ? 32767 : -32768));
  }
  return f;
}

TEST_P(FastStages, SmoothAndConvertMatchScalar) {
  std::mt19937 rng(99);
  const int guard = 24;
  std::vector<std::pair<int, int>> sizes = {{1, 1}, {2, 1}, {1, 2}, {3, 3}, {5, 1}, {1, 9}, {8, 8}, {9, 7},
                                            {16, 16}, {17, 3}, {33, 35}, {64, 2}, {352, 18}, {0, 4}, {4, 0}};
  for (int i = 0; i < 40; ++i) sizes.push_back({1 + static_cast<int>(rng() % 70), 1 + static_cast<int>(rng() % 40)});
  for (auto [w, h] : sizes) {
    ASSERT_TRUE(reinitDLL(w, h));
    const std::size_t n = 3u * w * h;
    for (int kind = 0; kind < 3; ++kind) {
      const auto src = randomFrame(rng, n, kind);
      std::vector<short> expected(n + 2 * guard, 0x5A5A), actual(n + 2 * guard, 0x5A5A);
      std::vector<signed char> outExpected(n + 2 * guard, 0x5A), outActual(n + 2 * guard, 0x5A);
      {
        UseStages scalar(StageLevel::Scalar);
        smooth(const_cast<short*>(src.data()), expected.data() + guard);
        decodeYUV(const_cast<short*>(src.data()), outExpected.data() + guard);
      }
      {
        UseStages fast(GetParam());
        smooth(const_cast<short*>(src.data()), actual.data() + guard);
        decodeYUV(const_cast<short*>(src.data()), outActual.data() + guard);
      }
      ASSERT_EQ(actual, expected) << w << "x" << h << " kind " << kind;
      ASSERT_EQ(outActual, outExpected) << w << "x" << h << " kind " << kind;
    }
  }
}

TEST_P(FastStages, DecodeFrameMatchesScalarStages) {
  std::mt19937 rng(5);
  std::vector<float> table(64);
  for (auto& t : table) t = static_cast<float>(static_cast<int>(rng() % 4000) - 2000);
  setQuantizationTable(table.data(), 64);
  for (auto [w, h] : {std::pair{40, 37}, {17, 16}, {64, 48}, {1, 30}}) {
    std::vector<std::vector<short>> frames[2];
    std::vector<std::vector<signed char>> outputs[2];
    for (int scalar = 0; scalar < 2; ++scalar) {
      UseStages force(scalar == 1 ? StageLevel::Scalar : GetParam());
      std::mt19937 payloadRng(w * 1000 + h);
      ASSERT_TRUE(reinitDLL(w, h));
      for (int f = 0; f < 6; ++f) {
        std::vector<signed char> payload(w * h + w * h / 2), out(3 * w * h);
        // Dense blocks, then sparse ones: zero blocks, lone DC values, a few
        // coefficients in the first rows or anywhere.
        for (std::size_t b = 0; b < payload.size(); ++b) {
          const unsigned shape = (b / 64 + f) % 5;
          const unsigned k = b % 64;
          const bool keep = f == 0 || shape == 1 ? true
                            : shape == 0         ? false
                            : shape == 2         ? k == 0
                            : shape == 3         ? k < 10 && payloadRng() % 3 == 0
                                                 : payloadRng() % 16 == 0;
          payload[b] = keep ? static_cast<signed char>(payloadRng() % 256) : 0;
        }
        decodeFrame(payload.data(), static_cast<int>(payload.size()), out.data(), static_cast<int>(out.size()), true);
        frames[scalar].emplace_back(oldfr, oldfr + 3 * w * h);
        frames[scalar].emplace_back(in, in + 64);  // the last block stays in the scratch block
        outputs[scalar].push_back(out);
      }
    }
    EXPECT_EQ(frames[0], frames[1]) << w << "x" << h;
    EXPECT_EQ(outputs[0], outputs[1]) << w << "x" << h;
  }
}

std::string levelName(const testing::TestParamInfo<StageLevel>& info) {
  static const char* const names[] = {"scalar", "sse2", "ssse3", "avx2"};
  return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Levels, FastStages, testing::Values(StageLevel::Sse2, StageLevel::Ssse3, StageLevel::Avx2),
                         levelName);

}  // namespace
