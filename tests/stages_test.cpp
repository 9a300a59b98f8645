// The decoder's stages against the plain model: frame sequences of every
// shape through decodeFrame, predicted from decoded frames and from random
// ones, and through the exported stages (smooth, addTile, decodeYUV) called
// one after another. kelvo4_checkasm holds every level's stages to the
// scalar ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <cstdlib>

#include "kelvo4/Kelvo4.h"
#include "src/cpu/cpu.h"
#include "src/decoder/stages.h"
#include "tests/checkasm/blocks.h"
#include "tests/pipeline_model.h"

namespace {

using kelvo4::CpuLevel;

TEST(Stages, MatchTheModel) {
  checkasm::Rng rng(5);
  for (auto [w, h] : checkasm::frameSizes(rng)) {
    const int n = w * h;
    model::Decoder model;
    ASSERT_TRUE(model.reinit(w, h) && reinitDLL(w, h));
    for (int frame = 0; frame < 6; ++frame) {
      // Tables: realistic, large factors that wrap the products, the full 16-bit range.
      if (frame % 2 == 0) {
        std::vector<float> t(64);
        const int range = frame == 0 ? 24 : frame == 2 ? 2000 : 65536;
        for (auto& f : t) f = static_cast<float>(static_cast<int>(rng() % range) - (frame == 0 ? -1 : range / 2));
        setQuantizationTable(t.data(), 64);
        model.setTable(t.data(), 64);
      }
      // References: the frame just decoded, any 16-bit samples, or only the
      // extremes and -8192 (four of which sum to -32768).
      for (int i = 0; frame % 2 == 1 && i < 3 * n; ++i) {
        const unsigned r = rng();
        oldfr[i] = model.frame[i] = static_cast<short>(frame == 1 ? r : r % 3 == 0 ? 32767 : r % 3 == 1 ? -32768 : -8192);
      }
      // Block shapes for every path: dense, zero, a lone DC value, a few
      // coefficients in the first rows or anywhere.
      std::vector<signed char> payload(kelvo4::payloadBytes(w, h)), out(3 * n), expected(out);
      for (std::size_t b = 0; b < payload.size(); ++b) {
        const unsigned shape = (b / 64 + frame) % 5, k = b % 64;
        const bool keep = shape == 0   ? frame == 0
                          : shape == 1 ? true
                          : shape == 2 ? k == 0
                          : shape == 3 ? k < 10 && rng() % 3 == 0
                                       : rng() % 16 == 0;
        payload[b] = keep ? static_cast<signed char>(frame == 0 ? static_cast<int>(rng() % 21) - 10 : rng()) : 0;
      }
      const bool convert = frame != 3;
      ASSERT_TRUE(model.decode(payload.data(), payload.size(), expected.data(), out.size(), convert));
      if (frame == 4) {  // the exported stages, one after another over the whole frame
        smooth(oldfr, oldoldfr);
        addTile(payload.data(), oldoldfr);
        decodeYUV(oldoldfr, out.data());
        std::swap(oldfr, oldoldfr);
      } else {
        decodeFrame(payload.data(), payload.size(), out.data(), out.size(), convert);
      }
      ASSERT_EQ(model::Frame(oldfr, oldfr + 3 * n), model.frame) << w << "x" << h << " frame " << frame;
      ASSERT_EQ(out, expected) << w << "x" << h << " frame " << frame;
      // The last block of the frame stays in the scratch block.
      const int blocks = (w / 8) * (h / 8) + 2 * (w / 16) * (h / 16);
      if (blocks > 0) {
        const model::Block last = model.residual(payload.data(), blocks - 1);
        ASSERT_TRUE(std::equal(last.begin(), last.end(), in)) << w << "x" << h << " frame " << frame;
      }
    }
  }
}

// Through decodeFrame the prediction stays within a quarter of the 16-bit
// range, so only addTile on any frame shows that residuals wrap: on samples
// near both limits it must add what it adds to a zero frame, modulo 2^16.
TEST(Stages, AddTileWrapsOnAnyFrame) {
  ASSERT_TRUE(reinitDLL(32, 16));
  const std::vector<float> table(64, 5.0f);
  setQuantizationTable(table.data(), 64);
  std::vector<signed char> payload(768);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<signed char>(i * 37 % 11 - 5);
  std::vector<short> residual(1536, 0), frame(1536), expected(1536);
  addTile(payload.data(), residual.data());
  for (int i = 0; i < 1536; ++i) {
    frame[i] = static_cast<short>(i % 2 ? 32767 - i % 9 : -32768 + i % 9);
    expected[i] = model::wrap(frame[i] + residual[i]);
  }
  addTile(payload.data(), frame.data());
  EXPECT_EQ(frame, expected);
}

// The CPU mask lowers what the library picks from then on, kernels and
// stages alike; a mask from the environment is in force from the start, for
// the exported kernels too (a mask of 0 leaves only portable code).
TEST(Cpu, MaskLowersTheLevelsPicked) {
  if (const char* env = std::getenv("KELVO4_CPU_MASK")) {
    const unsigned mask = static_cast<unsigned>(std::strtoul(env, nullptr, 0));
    EXPECT_EQ(kelvo4::cpuFlags() & ~mask, 0u);
    if (mask == 0) {
      EXPECT_EQ(kelvo4::exportedKernels().idct, &kelvo4::idctC);
      EXPECT_EQ(kelvo4::exportedKernels().fdct, &kelvo4::fdctC);
    }
  }
  // Every level this processor has puts its own band walk in the table.
  for (const CpuLevel& level : kelvo4::kCpuLevels) {
    if (level.flags != 0 && kelvo4::cpuHas(level.flags)) {
      EXPECT_NE(kelvo4::stagesFor(level.flags).addBand, kelvo4::scalarStages().addBand) << level.name;
    }
  }
  const unsigned before = kelvo4::setCpuMask(0);
  EXPECT_EQ(kelvo4::stagesFor(kelvo4::cpuFlags()).addBand, kelvo4::scalarStages().addBand);
  EXPECT_EQ(kelvo4::dctFunctionsFor(kelvo4::cpuFlags()).idct, &kelvo4::idctC);
  kelvo4::setCpuMask(before);
}

}  // namespace
