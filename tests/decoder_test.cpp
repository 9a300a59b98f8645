// Decoder state, lifecycle, length checks, table conversion and the worked
// examples of the prediction filter; stages_test compares whole frames
// against the plain model.
#include <gtest/gtest.h>

#include <climits>
#include <limits>
#include <tuple>
#include <vector>

#include "Kelvo4.h"

namespace {

using Frame = std::vector<short>;

Frame current() { return Frame(oldfr, oldfr + static_cast<std::size_t>(width3) * height); }

void load(const Frame& f) { std::copy(f.begin(), f.end(), oldfr); }

// Only the exact lengths are taken, a null buffer where bytes are needed is
// ignored, and a rejected call exchanges nothing: the next accepted call is
// still predicted from the last frame. Without conversion the output is
// never looked at.
TEST(DecoderState, RejectedCallExchangesNothing) {
  const struct { int w, h, bytes; } sizes[] = {{16, 16, 384}, {176, 144, 38016}, {3, 3, 13}, {15, 16, 360}, {4, 3, 18}};
  for (auto s : sizes) {
    const int n = s.w * s.h;
    Frame seed(3 * n);
    for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<short>((i * 7919) % 600 - 300);
    std::vector<signed char> payload(s.bytes + 1), output(3 * n + 1, 7);
    const signed char* p = payload.data();
    signed char* o = output.data();
    const std::tuple<const signed char*, int, signed char*, int, bool> badCalls[] = {
        {p, s.bytes - 1, nullptr, 0, false},  {p, s.bytes + 1, nullptr, 0, false},
        {p, s.bytes, o, 3 * n - 1, true},     {p, s.bytes, o, 3 * n + 1, true},
        {p, s.bytes, nullptr, 3 * n, true},   {nullptr, s.bytes, nullptr, 0, false}};
    auto run = [&](int bad) {
      EXPECT_TRUE(reinitDLL(s.w, s.h));
      load(seed);
      short* first = oldfr;
      decodeFrame(p, s.bytes, nullptr, -3, false);
      EXPECT_EQ(oldoldfr, first);
      if (bad >= 0) std::apply(decodeFrame, badCalls[bad]);
      decodeFrame(p, s.bytes, o, 5, false);
      EXPECT_EQ(oldfr, first);
      return current();
    };
    const Frame clean = run(-1);
    for (int bad = 0; bad < 6; ++bad) EXPECT_EQ(run(bad), clean) << s.w << "x" << s.h << " call " << bad;
    EXPECT_EQ(output, std::vector<signed char>(3 * n + 1, 7));
  }
}

TEST(DecoderState, TableConversion) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::pair<float, short> cases[] = {
      {1.9f, 1},          {-1.9f, -1},         {0.7f, 0},           {255.9f, 255},        {-0.5f, 0},
      {32767.9f, 32767},  {32768.0f, -32768},  {1e9f, -32768},      {inf, -32768},        {-inf, -32768},
      {nan, -32768},      {-32768.0f, -32768}, {-32768.9f, -32768}, {-32769.0f, -32768},  {-1e30f, -32768},
      {-32767.5f, -32767}, {0.0f, 0}};
  std::vector<float> t(64, 3.0f);
  for (std::size_t i = 0; i < std::size(cases); ++i) t[i] = cases[i].first;
  setQuantizationTable(t.data(), 64);
  for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(quant[i], cases[i].second) << "value " << cases[i].first;
  for (std::size_t i = std::size(cases); i < 64; ++i) EXPECT_EQ(quant[i], 3);

  // Only a table of exactly 64 values is taken, and it survives a reinit.
  std::vector<float> other(65, 42.0f);
  const std::vector<short> before(quant, quant + 64);
  setQuantizationTable(other.data(), 63);
  setQuantizationTable(other.data(), 65);
  setQuantizationTable(nullptr, 64);
  ASSERT_TRUE(reinitDLL(8, 8));
  EXPECT_EQ(std::vector<short>(quant, quant + 64), before);
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
  const Frame seed(24, 77);
  load(seed);
  short* a = oldfr;
  short* b = oldoldfr;
  const std::pair<int, int> bad[] = {{-1, 4}, {4, -1}, {INT_MIN, INT_MIN}, {INT_MAX, INT_MAX},
                                     {32768, 21846}, {715827883, 1}, {1, 715827883}, {65536, 65536}};
  for (auto [w, h] : bad) {
    EXPECT_FALSE(reinitDLL(w, h)) << w << "x" << h;
    EXPECT_EQ(std::tuple(width, height, width3, oldfr, oldoldfr), std::tuple(4, 2, 12, a, b));
    EXPECT_EQ(current(), seed);
  }
}

// Runs the filter over a frame of the given size and returns the result.
Frame filtered(int w, int h, Frame src) {
  EXPECT_TRUE(reinitDLL(w, h));
  Frame dst(src.size(), 0x5A5A);
  const Frame copy = src;
  smooth(src.data(), dst.data());
  EXPECT_EQ(src, copy);
  return dst;
}

TEST(PredictionFilter, WorkedExamples) {
  // 3x3 with c0 = 10 ... 90 and c2 = -1 ... -9, row by row; c1 = 0.
  EXPECT_EQ(filtered(3, 3, {10, 0, -1, 20, 0, -2, 30, 0, -3, 40, 0, -4, 50, 0, -5,
                            60, 0, -6, 70, 0, -7, 80, 0, -8, 90, 0, -9}),
            (Frame{20, 0, -2, 27, 0, -2, 35, 0, -3, 42, 0, -4, 50, 0, -5,
                   57, 0, -5, 65, 0, -6, 72, 0, -7, 80, 0, -8}));

  // 1x1: the pixel four times, the sum wrapping in 16 bits.
  const std::pair<short, short> single[] = {{8191, 8191}, {8192, -8192}, {10000, -6384}, {-8193, 8191},
                                            {-1, -1},     {-32768, 0},   {32767, -1}};
  for (auto [in, out] : single) EXPECT_EQ(filtered(1, 1, {in, in, in}), (Frame{out, out, out})) << in;

  // 2x1: (3 * left + right) / 4 toward zero.
  EXPECT_EQ(filtered(2, 1, {0, 1, 100, -5, 7, -100}), (Frame{-1, 2, 50, -3, 5, -50}));

  // Negative sums: -1..-3 give 0, -4, -5, -7 give -1, -8 gives -2. In a 1x2
  // frame the top pixel sums itself three times and the one below once.
  const std::pair<short, short> quarters[] = {{-1, 0},  {-2, 0},  {-3, 0},  {-4, -1},
                                              {-5, -1}, {-7, -1}, {-8, -2}, {7, 1}};
  for (auto [sum, q] : quarters) EXPECT_EQ(filtered(1, 2, {0, 0, 0, sum, 0, 0})[0], q) << sum;
}

}  // namespace
