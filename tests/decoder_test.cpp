// Decoder state, lifecycle, length checks, table conversion and prediction.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <vector>

#include "Kelvo4.h"

namespace {

using Frame = std::vector<short>;

Frame current() { return Frame(oldfr, oldfr + static_cast<std::size_t>(width3) * height); }

void load(const Frame& f) { std::copy(f.begin(), f.end(), oldfr); }

int payloadSize() { return width * height + width * height / 2; }

// Decodes an all-zero payload without conversion.
void decodeZero() {
  std::vector<signed char> payload(payloadSize());
  decodeFrame(payload.data(), payloadSize(), nullptr, 0, false);
}

std::vector<short> component(const Frame& f, int k) {
  std::vector<short> out;
  for (std::size_t i = k; i < f.size(); i += 3) out.push_back(f[i]);
  return out;
}

void setTable(float dc) {
  std::vector<float> t(64, 0.0f);
  t[0] = dc;
  setQuantizationTable(t.data(), 64);
}

TEST(DecoderState, InitialFrameAndReinitRestart) {
  ASSERT_TRUE(reinitDLL(5, 3));
  EXPECT_EQ(width, 5);
  EXPECT_EQ(height, 3);
  EXPECT_EQ(width3, 15);
  ASSERT_NE(oldfr, nullptr);
  ASSERT_NE(oldoldfr, nullptr);
  EXPECT_NE(oldfr, oldoldfr);
  for (int i = 0; i < 45; i += 3) {
    EXPECT_EQ(oldfr[i], 0);
    EXPECT_EQ(oldfr[i + 1], 128);
    EXPECT_EQ(oldfr[i + 2], 128);
  }
  // The initial frame predicts itself.
  setTable(8.0f);
  decodeZero();
  Frame first = current();
  for (std::size_t i = 0; i < first.size(); ++i) EXPECT_EQ(first[i], i % 3 == 0 ? 0 : 128);

  // A second reinit at the same size drops the history.
  Frame odd(first.size());
  for (std::size_t i = 0; i < odd.size(); ++i) odd[i] = static_cast<short>(i * 37);
  load(odd);
  ASSERT_TRUE(reinitDLL(5, 3));
  ASSERT_TRUE(reinitDLL(5, 3));
  decodeZero();
  EXPECT_EQ(current(), first);
}

TEST(DecoderState, AcceptedPayloadLengthsAndOffByOne) {
  const struct { int w, h, bytes; } sizes[] = {{16, 16, 384}, {176, 144, 38016}, {3, 3, 13}, {15, 16, 360}, {0, 0, 0}};
  for (auto s : sizes) {
    ASSERT_TRUE(reinitDLL(s.w, s.h));
    std::vector<signed char> payload(s.bytes + 1);
    short* before = oldfr;
    if (s.bytes > 0) {
      decodeFrame(payload.data(), s.bytes - 1, nullptr, 0, false);
      EXPECT_EQ(oldfr, before) << s.w << "x" << s.h;
    }
    decodeFrame(payload.data(), s.bytes + 1, nullptr, 0, false);
    EXPECT_EQ(oldfr, before) << s.w << "x" << s.h;
    decodeFrame(payload.data(), s.bytes, nullptr, 0, false);
    if (s.bytes > 0) {
      EXPECT_NE(oldfr, before) << s.w << "x" << s.h;
    }
  }
}

TEST(DecoderState, OutputLengthCheckedOnlyWhenConverting) {
  ASSERT_TRUE(reinitDLL(16, 16));
  setTable(8.0f);
  std::vector<signed char> payload(384), output(769, 7);
  short* before = oldfr;
  decodeFrame(payload.data(), 384, output.data(), 767, true);
  decodeFrame(payload.data(), 384, output.data(), 769, true);
  decodeFrame(payload.data(), 384, nullptr, 768, true);
  EXPECT_EQ(oldfr, before);
  // Without conversion the output is never looked at.
  decodeFrame(payload.data(), 384, nullptr, -3, false);
  EXPECT_NE(oldfr, before);
  decodeFrame(payload.data(), 384, output.data(), 5, false);
  EXPECT_EQ(oldfr, before);
  for (signed char v : output) EXPECT_EQ(v, 7);
  decodeFrame(payload.data(), 384, output.data(), 768, true);
  EXPECT_NE(oldfr, before);
  // A null payload where bytes are required is ignored like a wrong length.
  short* now = oldfr;
  decodeFrame(nullptr, 384, nullptr, 0, false);
  EXPECT_EQ(oldfr, now);
}

TEST(DecoderState, RejectedCallExchangesNothing) {
  Frame seed(3 * 4 * 3);
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<short>((i * 7919) % 600 - 300);
  std::vector<signed char> payload(18);

  auto run = [&](bool withBadCall) {
    EXPECT_TRUE(reinitDLL(4, 3));
    load(seed);
    decodeFrame(payload.data(), 18, nullptr, 0, false);
    if (withBadCall) {
      decodeFrame(payload.data(), 17, nullptr, 0, false);
      decodeFrame(payload.data(), 18, payload.data(), 35, true);
    }
    decodeFrame(payload.data(), 18, nullptr, 0, false);
    return current();
  };
  Frame clean = run(false);
  EXPECT_EQ(run(true), clean);
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

  // Only a table of exactly 64 values is taken.
  std::vector<float> other(65, 42.0f);
  std::vector<short> before(quant, quant + 64);
  setQuantizationTable(other.data(), 63);
  setQuantizationTable(other.data(), 65);
  setQuantizationTable(nullptr, 64);
  EXPECT_EQ(std::vector<short>(quant, quant + 64), before);

  // The table survives a reinit.
  ASSERT_TRUE(reinitDLL(8, 8));
  EXPECT_EQ(std::vector<short>(quant, quant + 64), before);
}

TEST(DecoderState, ZeroSizes) {
  for (auto [w, h] : {std::pair{0, 0}, {0, 7}, {7, 0}}) {
    ASSERT_TRUE(reinitDLL(w, h));
    signed char byte = 0;
    short* before = oldfr;
    decodeFrame(&byte, 1, nullptr, 0, false);
    EXPECT_EQ(oldfr, before);
    decodeFrame(&byte, 0, &byte, 0, true);
    decodeFrame(nullptr, 0, nullptr, 0, true);
    EXPECT_EQ(width3, 3 * w);
  }
}

TEST(DecoderState, UnsupportedSizesChangeNothing) {
  ASSERT_TRUE(reinitDLL(4, 2));
  Frame seed(24);
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<short>(i * 11);
  load(seed);
  short* a = oldfr;
  short* b = oldoldfr;
  const std::pair<int, int> bad[] = {{-1, 4}, {4, -1}, {INT_MIN, INT_MIN}, {INT_MAX, INT_MAX},
                                     {32768, 21846}, {715827883, 1}, {1, 715827883}, {65536, 65536}};
  for (auto [w, h] : bad) {
    EXPECT_FALSE(reinitDLL(w, h)) << w << "x" << h;
    EXPECT_EQ(width, 4);
    EXPECT_EQ(height, 2);
    EXPECT_EQ(width3, 12);
    EXPECT_EQ(oldfr, a);
    EXPECT_EQ(oldoldfr, b);
    EXPECT_EQ(current(), seed);
  }
}

// Runs the filter over a frame of the given size and returns the result.
Frame filtered(int w, int h, const Frame& src) {
  EXPECT_TRUE(reinitDLL(w, h));
  Frame dst(src.size(), 0x5A5A);
  smooth(const_cast<short*>(src.data()), dst.data());
  return dst;
}

Frame fromComponents(const std::vector<short>& c0, const std::vector<short>& c1, const std::vector<short>& c2) {
  Frame f;
  for (std::size_t i = 0; i < c0.size(); ++i) f.insert(f.end(), {c0[i], c1[i], c2[i]});
  return f;
}

TEST(PredictionFilter, ThreeByThreeWithTruncationTowardZero) {
  Frame src = fromComponents({10, 20, 30, 40, 50, 60, 70, 80, 90}, {0, 0, 0, 0, 0, 0, 0, 0, 0},
                             {-1, -2, -3, -4, -5, -6, -7, -8, -9});
  Frame copy = src;
  Frame out = filtered(3, 3, src);
  EXPECT_EQ(component(out, 0), (std::vector<short>{20, 27, 35, 42, 50, 57, 65, 72, 80}));
  EXPECT_EQ(component(out, 1), std::vector<short>(9, 0));
  EXPECT_EQ(component(out, 2), (std::vector<short>{-2, -2, -3, -4, -5, -5, -6, -7, -8}));
  EXPECT_EQ(src, copy);
}

TEST(PredictionFilter, SinglePixelWrapsInSixteenBits) {
  const std::pair<short, short> cases[] = {{8191, 8191}, {8192, -8192}, {10000, -6384}, {-8193, 8191},
                                           {-1, -1},     {-32768, 0},   {32767, -1}};
  for (auto [in, out] : cases) {
    Frame f = filtered(1, 1, {in, in, in});
    EXPECT_EQ(f, (Frame{out, out, out})) << in;
  }
}

TEST(PredictionFilter, EdgesCountThePixelItself) {
  // 2x1: (3 * left + right) / 4 toward zero.
  Frame f = filtered(2, 1, {0, 1, 100, -5, 7, -100});
  EXPECT_EQ(f, (Frame{-1, 2, 50, -3, 5, -50}));

  // 1 pixel wide column: both horizontal neighbours are the pixel itself.
  f = filtered(1, 3, {4, 0, 0, 8, 0, 0, 40, 0, 0});
  EXPECT_EQ(component(f, 0), (std::vector<short>{(4 + 4 + 4 + 8) / 4, (8 + 8 + 4 + 40) / 4, (40 + 40 + 8 + 40) / 4}));

  // Negative sums: -1..-3 give 0, -4, -5, -7 give -1, -8 gives -2.
  const std::pair<short, short> quarters[] = {{-1, 0}, {-2, 0}, {-3, 0}, {-4, -1}, {-5, -1}, {-7, -1}, {-8, -2}, {7, 1}};
  for (auto [sum, q] : quarters) {
    // A 1x2 frame: the top pixel sums itself three times and the one below once.
    Frame g = filtered(1, 2, {0, 0, 0, sum, 0, 0});
    EXPECT_EQ(g[0], q) << sum;
  }
}

TEST(PredictionFilter, WritesEveryDestinationSampleAndNothingElse) {
  const int w = 7, h = 5;
  ASSERT_TRUE(reinitDLL(w, h));
  const std::size_t n = 3u * w * h;
  Frame src(n, 33);
  std::vector<short> dst(n + 16, 0x5A5A);
  smooth(src.data(), dst.data() + 8);
  for (std::size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(dst[i], 0x5A5A);
    EXPECT_EQ(dst[n + 8 + i], 0x5A5A);
  }
  for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(dst[8 + i], 33);
}

}  // namespace
