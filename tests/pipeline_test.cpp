// Block decoding, residual placement and colour output on worked examples;
// stages_test compares whole frames against the plain model.
#include <gtest/gtest.h>

#include <array>
#include <tuple>
#include <vector>

#include "Kelvo4.h"
#include "pipeline_model.h"
#include "vrel_dct.h"

namespace {

using Block = std::array<short, 64>;
using Bytes = std::vector<signed char>;

// Every factor 8: a DC byte d decodes to d in all 64 samples.
const std::vector<float> kEights(64, 8.0f);

Block decodeBlock(const Bytes& bytes) {
  internalIDCT(bytes.data(), 0);
  Block out;
  std::copy(in, in + 64, out.begin());
  return out;
}

TEST(BlockDecoding, ZigzagAndWrappingDequantisation) {
  const auto zz = model::zigzagByWalking();
  EXPECT_EQ((std::vector<int>(zz.begin(), zz.begin() + 10)), (std::vector<int>{0, 1, 8, 16, 9, 2, 3, 10, 17, 24}));
  EXPECT_EQ((std::vector<int>(zz.begin() + 59, zz.end())), (std::vector<int>{54, 47, 55, 62, 63}));

  // The wrap-around products, each against the kernel fed directly.
  const struct { int byte, factor; short product; } wraps[] = {
      {-128, 256, -32768}, {-128, 300, 27136}, {127, 258, 32766}, {127, 259, -32643}, {5, -3, -15}, {9, 0, 0}};
  for (auto w : wraps) {
    std::vector<float> table(64, 1.0f);
    table[0] = static_cast<float>(w.factor);
    setQuantizationTable(table.data(), 64);
    Bytes bytes(64, 0);
    bytes[0] = static_cast<signed char>(w.byte);
    Block coeffs{};
    coeffs[0] = w.product;
    Vrel_IDct16_MMX(coeffs.data());
    EXPECT_EQ(decodeBlock(bytes), coeffs) << w.byte << " x " << w.factor;
  }
}

TEST(BlockDecoding, WorkedExamples) {
  setQuantizationTable(kEights.data(), 64);
  Bytes bytes(64, 0);
  for (signed char dc : {0, 10, -10}) {
    bytes[0] = dc;
    for (short sample : decodeBlock(bytes)) EXPECT_EQ(sample, dc);
  }

  // Coefficient 160 at natural position 1 (scan index 1), then at natural
  // position 8 (scan index 2); row 0 of the first rounds differently.
  const short ramp[8] = {28, 24, 16, 6, -6, -16, -24, -28};
  const short row0[8] = {28, 24, 16, 6, -5, -16, -23, -28};
  const short column[8] = {28, 24, 16, 5, -6, -16, -24, -28};
  bytes[0] = 0;
  bytes[1] = 20;
  const Block h = decodeBlock(bytes);
  bytes[1] = 0;
  bytes[2] = 20;
  const Block v = decodeBlock(bytes);
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) {
      EXPECT_EQ(h[8 * r + c], r == 0 ? row0[c] : ramp[c]) << r << "," << c;
      EXPECT_EQ(v[8 * r + c], column[r]) << r << "," << c;
    }
}

// Each block carries a distinct DC value: luma block b adds b + 1 to c0, the
// chroma blocks of macroblock m add 20 + m to c1 and 40 + m to c2. Samples
// outside whole blocks keep the prediction, and bytes after the last block
// are not read.
TEST(ResidualPlacement, BlockOrderCoverageAndUnreadTail) {
  setQuantizationTable(kEights.data(), 64);
  const struct { int w, h, used; } sizes[] = {{16, 16, 384}, {32, 16, 768}, {20, 20, 384}, {12, 8, 64},
                                              {24, 8, 192},  {7, 7, 0},     {3, 3, 0},     {17, 33, 768}};
  for (auto s : sizes) {
    const int bw = s.w / 8, mw = s.w / 16, luma = bw * (s.h / 8), macroblocks = mw * (s.h / 16);
    ASSERT_EQ(64 * (luma + 2 * macroblocks), s.used);
    Bytes payload(s.w * s.h + s.w * s.h / 2, 0);
    for (int b = 0; b < luma; ++b) payload[64 * b] = static_cast<signed char>(b + 1);
    for (int m = 0; m < macroblocks; ++m) {
      payload[64 * luma + 128 * m] = static_cast<signed char>(20 + m);
      payload[64 * luma + 128 * m + 64] = static_cast<signed char>(40 + m);
    }
    // One frame after reinit, predicted as (0, 128, 128) everywhere.
    auto decode = [&] {
      EXPECT_TRUE(reinitDLL(s.w, s.h));
      decodeFrame(payload.data(), static_cast<int>(payload.size()), nullptr, 0, false);
      return std::vector<short>(oldfr, oldfr + 3 * s.w * s.h);
    };
    const auto f = decode();
    for (int y = 0; y < s.h; ++y)
      for (int x = 0; x < s.w; ++x) {
        const bool inLuma = x < 8 * bw && y < s.h / 8 * 8, inChroma = x < 16 * mw && y < s.h / 16 * 16;
        const int m = (y / 16) * mw + x / 16;
        const short* p = &f[3 * (y * s.w + x)];
        ASSERT_EQ(std::tuple(p[0], p[1], p[2]),
                  std::tuple(inLuma ? (y / 8) * bw + x / 8 + 1 : 0, inChroma ? 148 + m : 128, inChroma ? 168 + m : 128))
            << s.w << "x" << s.h << " " << x << "," << y;
      }
    for (std::size_t i = s.used; i < payload.size(); ++i) payload[i] = static_cast<signed char>(i * 31);
    EXPECT_EQ(decode(), f) << s.w << "x" << s.h;
  }
}

TEST(ResidualPlacement, AdditionWrapsInSixteenBits) {
  ASSERT_TRUE(reinitDLL(16, 16));
  setQuantizationTable(kEights.data(), 64);
  for (auto [start, dc, expected] : {std::tuple{32767, 1, -32768}, {-32768, -1, 32767}}) {
    std::vector<short> frame(768, static_cast<short>(start));
    Bytes payload(384, 0);
    for (int b = 0; b < 6; ++b) payload[64 * b] = static_cast<signed char>(dc);
    addTile(payload.data(), frame.data());
    for (short s : frame) ASSERT_EQ(s, expected);
  }
}

TEST(ColourOutput, DocumentedCases) {
  const struct { short c0, c1, c2; unsigned char a, b, c; } cases[] = {
      {100, 0, 0, 100, 100, 100},     {1, 0, 0, 1, 1, 1},               {254, 0, 0, 254, 254, 254},
      {255, 0, 0, 255, 255, 255},     {256, 0, 0, 255, 255, 255},       {0, 0, 0, 0, 0, 0},
      {-5, 0, 0, 0, 0, 0},            {0, 128, 128, 0, 0, 255},         {0, 0, 128, 0, 0, 160},
      {0, 128, 0, 0, 0, 160},         {10, 0, -1, 12, 10, 8},           {100, 0, 4, 95, 100, 105},
      {100, 0, 3, 97, 100, 103},      {100, 0, -3, 104, 100, 96},       {100, 0, -4, 105, 100, 95},
      {128, -100, 50, 66, 253, 65},   {200, -40, -40, 250, 250, 100},   {30000, 0, -10000, 0, 255, 255},
      {0, -32768, 0, 0, 0, 255},      {32767, 32767, 32767, 0, 0, 0}};
  ASSERT_TRUE(reinitDLL(1, 1));
  for (auto t : cases) {
    short frame[3] = {t.c0, t.c1, t.c2};
    unsigned char out[3];
    decodeYUV(frame, reinterpret_cast<signed char*>(out));
    EXPECT_EQ(std::vector(out, out + 3), (std::vector<unsigned char>{t.a, t.b, t.c}))
        << t.c0 << "," << t.c1 << "," << t.c2;
  }

  ASSERT_TRUE(reinitDLL(2, 2));
  short frame[12] = {10, 0, 0, 20, 0, 0, 30, 0, 0, 40, 0, 0};
  signed char out[12];
  decodeYUV(frame, out);
  EXPECT_EQ(Bytes(out, out + 12), (Bytes{10, 10, 10, 20, 20, 20, 30, 30, 30, 40, 40, 40}));
}

TEST(ColourOutput, ThroughDecodeFrameAndRestart) {
  // The initial frame predicts itself and converts to (0, 0, 255); values
  // above 127 arrive as negative bytes.
  setQuantizationTable(kEights.data(), 64);
  ASSERT_TRUE(reinitDLL(16, 16));
  Bytes payload(384, 0), output(768, 1);
  decodeFrame(payload.data(), 384, output.data(), 768, true);
  for (int i = 0; i < 768; ++i) ASSERT_EQ(output[i], i % 3 == 2 ? -1 : 0);
  // DC 10 in the four luma blocks: every pixel becomes (10, 128, 128), the
  // second time because reinit at the same size drops the decoded history.
  for (int b = 0; b < 4; ++b) payload[64 * b] = 10;
  for (int round = 0; round < 2; ++round) {
    decodeFrame(payload.data(), 384, output.data(), 768, true);
    for (int i = 0; i < 768; ++i) ASSERT_EQ(oldfr[i], i % 3 == 0 ? 10 : 128);
    ASSERT_TRUE(reinitDLL(16, 16));
  }
}

}  // namespace
