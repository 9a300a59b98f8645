// Decoder state and sizes, table conversion, and worked examples of the
// prediction filter, the scan order and the colour output, which pin the
// plain model; stages_test compares whole frames against that model.
#include <gtest/gtest.h>

#include <climits>
#include <limits>
#include <tuple>
#include <vector>

#include "kelvo4/Kelvo4.h"
#include "tests/pipeline_model.h"

namespace {

using Frame = std::vector<short>;

TEST(DecoderState, TableConversion) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  const std::pair<float, short> cases[] = {
      {1.9f, 1},          {-1.9f, -1},          {-0.5f, 0},           {32767.9f, 32767}, {32768.0f, -32768},
      {inf, -32768},      {-inf, -32768},       {nan, -32768},        {-32768.9f, -32768},
      {-32769.0f, -32768}, {-32767.5f, -32767}};
  std::vector<float> t(64, 3.0f);
  for (std::size_t i = 0; i < std::size(cases); ++i) t[i] = cases[i].first;
  setQuantizationTable(t.data(), 64);
  for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(quant[i], cases[i].second) << "value " << cases[i].first;
  EXPECT_EQ(quant[63], 3);
}

TEST(DecoderState, SizesWithoutPixels) {
  // A huge side beside a zero one has no samples either: 3 * width wraps
  // instead of overflowing, and no row is walked.
  for (auto [w, h] : {std::pair{0, 0}, {0, 7}, {7, 0}, {INT_MAX, 0}, {0, INT_MAX}, {715827883, 0}, {0, 715827883}}) {
    ASSERT_TRUE(reinitDLL(w, h)) << w << "x" << h;
    EXPECT_EQ(width3, static_cast<int>(3u * static_cast<unsigned>(w)));
    short* before = oldfr;
    signed char byte = 7;
    decodeFrame(&byte, 1, nullptr, 0, false);  // rejected
    EXPECT_EQ(oldfr, before);
    decodeFrame(nullptr, 0, &byte, 0, true);  // accepted: the buffers change roles
    EXPECT_EQ(oldoldfr, before);
    EXPECT_EQ(byte, 7);
  }
}

TEST(DecoderState, UnsupportedSizesChangeNothing) {
  ASSERT_TRUE(reinitDLL(4, 2));
  std::fill(oldfr, oldfr + 24, short{77});
  short* a = oldfr;
  short* b = oldoldfr;
  for (auto [w, h] : {std::pair{-1, 4}, {4, -1}, {INT_MIN, INT_MIN}, {INT_MAX, INT_MAX}, {32768, 21846},
                      {715827883, 1}, {1, 715827883}, {65536, 65536}}) {
    EXPECT_FALSE(reinitDLL(w, h)) << w << "x" << h;
    EXPECT_EQ(std::tuple(width, height, width3, oldfr, oldoldfr), std::tuple(4, 2, 12, a, b));
    EXPECT_EQ(Frame(oldfr, oldfr + 24), Frame(24, 77));
  }
}

// Runs the filter over a frame of the given size and returns the result.
Frame filtered(int w, int h, Frame src) {
  EXPECT_TRUE(reinitDLL(w, h));
  Frame dst(src.size(), 0x5A5A);
  smooth(src.data(), dst.data());
  return dst;
}

TEST(PredictionFilter, WorkedExamples) {
  // 3x3 with c0 = 10 ... 90 and c2 = -1 ... -9, row by row; c1 = 0.
  EXPECT_EQ(filtered(3, 3, {10, 0, -1, 20, 0, -2, 30, 0, -3, 40, 0, -4, 50, 0, -5,
                            60, 0, -6, 70, 0, -7, 80, 0, -8, 90, 0, -9}),
            (Frame{20, 0, -2, 27, 0, -2, 35, 0, -3, 42, 0, -4, 50, 0, -5,
                   57, 0, -5, 65, 0, -6, 72, 0, -7, 80, 0, -8}));
  // 1x1: the pixel four times, the sum wrapping in 16 bits.
  for (auto [in, out] : {std::pair<short, short>{8191, 8191}, {8192, -8192}, {-8193, 8191}, {-32768, 0}})
    EXPECT_EQ(filtered(1, 1, {in, in, in}), (Frame{out, out, out})) << in;
  // Negative sums are quartered toward zero. In a 1x2 frame the top pixel
  // sums itself three times and the one below once.
  for (auto [sum, q] : {std::pair<short, short>{-3, 0}, {-4, -1}, {-7, -1}, {-8, -2}, {7, 1}})
    EXPECT_EQ(filtered(1, 2, {0, 0, 0, sum, 0, 0})[0], q) << sum;
}

TEST(ScanAndColour, WorkedExamples) {
  const auto zz = model::zigzagByWalking();
  EXPECT_EQ((std::vector<int>(zz.begin(), zz.begin() + 10)), (std::vector<int>{0, 1, 8, 16, 9, 2, 3, 10, 17, 24}));
  EXPECT_EQ((std::vector<int>(zz.begin() + 59, zz.end())), (std::vector<int>{54, 47, 55, 62, 63}));

  // Clamping, the initial frame (0, 128, 128), the floor of negative
  // quarters, and sums that wrap in 16 bits.
  const struct { short c0, c1, c2; unsigned char a, b, c; } cases[] = {
      {256, 0, 0, 255, 255, 255}, {-5, 0, 0, 0, 0, 0},           {0, 128, 128, 0, 0, 255},
      {10, 0, -1, 12, 10, 8},     {128, -100, 50, 66, 253, 65},  {30000, 0, -10000, 0, 255, 255}};
  ASSERT_TRUE(reinitDLL(1, 1));
  for (auto t : cases) {
    short frame[3] = {t.c0, t.c1, t.c2};
    unsigned char out[3];
    decodeYUV(frame, reinterpret_cast<signed char*>(out));
    EXPECT_EQ(std::vector(out, out + 3), (std::vector<unsigned char>{t.a, t.b, t.c}))
        << t.c0 << "," << t.c1 << "," << t.c2;
  }
}

}  // namespace
