// Block decoding, residual placement, colour output and the whole frame
// pipeline, checked against worked examples and a plain model of the stages.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "Kelvo4.h"
#include "vrel_dct.h"

namespace {

using Block = std::array<short, 64>;
using Bytes = std::vector<signed char>;

short wrap(int v) { return static_cast<short>(static_cast<std::uint16_t>(v)); }

void setTable(const std::vector<float>& t) { setQuantizationTable(t.data(), 64); }

void setFlatTable(float dc, float ac) {
  std::vector<float> t(64, ac);
  t[0] = dc;
  setTable(t);
}

Block idct(Block b) {
  Vrel_IDct16_MMX(b.data());
  return b;
}

Block decodeBlock(const Bytes& bytes) {
  internalIDCT(bytes.data(), 0);
  Block out;
  std::copy(in, in + 64, out.begin());
  return out;
}

// Scan order built by walking the anti-diagonals, alternating direction.
std::array<int, 64> zigzagByWalking() {
  std::array<int, 64> zz{};
  int k = 0;
  for (int d = 0; d < 15; ++d) {
    for (int i = 0; i <= d; ++i) {
      const int r = d % 2 == 0 ? d - i : i;  // even diagonals run upwards
      const int c = d - r;
      if (r < 8 && c < 8) zz[k++] = 8 * r + c;
    }
  }
  return zz;
}

TEST(BlockDecoding, ZigzagAndWrappingDequantisation) {
  const auto zz = zigzagByWalking();
  EXPECT_EQ((std::vector<int>(zz.begin(), zz.begin() + 10)), (std::vector<int>{0, 1, 8, 16, 9, 2, 3, 10, 17, 24}));
  EXPECT_EQ((std::vector<int>(zz.begin() + 59, zz.end())), (std::vector<int>{54, 47, 55, 62, 63}));

  std::mt19937 rng(7);
  std::vector<float> table(64);
  for (auto& f : table) f = static_cast<float>(static_cast<int>(rng() % 65536) - 32768);
  setTable(table);
  for (int k = 0; k < 64; ++k) {
    for (int v : {-128, -1, 1, 37, 127}) {
      Bytes bytes(64, 0);
      bytes[k] = static_cast<signed char>(v);
      Block coeffs{};
      coeffs[zz[k]] = wrap(v * static_cast<int>(table[zz[k]]));
      ASSERT_EQ(decodeBlock(bytes), idct(coeffs)) << "scan index " << k << " value " << v;
    }
  }

  // The documented wrap-around products, each against the kernel fed directly.
  const struct { int byte, factor; short product; } wraps[] = {
      {-128, 256, -32768}, {-128, 300, 27136}, {127, 258, 32766}, {127, 259, -32643}, {5, -3, -15}, {9, 0, 0}};
  for (auto w : wraps) {
    setFlatTable(static_cast<float>(w.factor), 1.0f);
    Bytes bytes(64, 0);
    bytes[0] = static_cast<signed char>(w.byte);
    Block coeffs{};
    coeffs[0] = w.product;
    EXPECT_EQ(decodeBlock(bytes), idct(coeffs)) << w.byte << " x " << w.factor;
  }
}

TEST(BlockDecoding, WorkedExamples) {
  setFlatTable(8.0f, 8.0f);
  Bytes bytes(64, 0);
  EXPECT_EQ(decodeBlock(bytes), Block{});
  bytes[0] = 10;
  Block tens;
  tens.fill(10);
  EXPECT_EQ(decodeBlock(bytes), tens);
  bytes[0] = -10;
  tens.fill(-10);
  EXPECT_EQ(decodeBlock(bytes), tens);

  // Coefficient 160 at natural position 1, then at natural position 8.
  const short ramp[8] = {28, 24, 16, 6, -6, -16, -24, -28};
  const short row0[8] = {28, 24, 16, 6, -5, -16, -23, -28};
  const short column[8] = {28, 24, 16, 5, -6, -16, -24, -28};
  bytes.assign(64, 0);
  bytes[1] = 20;
  Block h = decodeBlock(bytes);
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) EXPECT_EQ(h[8 * r + c], r == 0 ? row0[c] : ramp[c]) << r << "," << c;
  bytes.assign(64, 0);
  bytes[2] = 20;
  Block v = decodeBlock(bytes);
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) EXPECT_EQ(v[8 * r + c], column[r]) << r << "," << c;
}

// Decodes one frame after reinit (prediction: (0, 128, 128) everywhere).
std::vector<short> firstFrame(int w, int h, const Bytes& payload) {
  EXPECT_TRUE(reinitDLL(w, h));
  decodeFrame(payload.data(), static_cast<int>(payload.size()), nullptr, 0, false);
  return std::vector<short>(oldfr, oldfr + 3 * w * h);
}

short sample(const std::vector<short>& f, int w, int x, int y, int k) { return f[3 * (y * w + x) + k]; }

TEST(ResidualPlacement, BlockOrderAndChromaCoverage) {
  setFlatTable(8.0f, 8.0f);
  // Each block carries a distinct DC value: luma block b adds b + 1 to c0,
  // the chroma blocks of macroblock m add 20 + m to c1 and 40 + m to c2.
  for (auto [w, h] : {std::pair{16, 16}, {32, 16}}) {
    Bytes payload(w * h * 3 / 2, 0);
    const int luma = (w / 8) * (h / 8);
    for (int b = 0; b < luma; ++b) payload[64 * b] = static_cast<signed char>(b + 1);
    for (int m = 0; m < (w / 16) * (h / 16); ++m) {
      payload[64 * luma + 128 * m] = static_cast<signed char>(20 + m);
      payload[64 * luma + 128 * m + 64] = static_cast<signed char>(40 + m);
    }
    auto f = firstFrame(w, h, payload);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        ASSERT_EQ(sample(f, w, x, y, 0), (y / 8) * (w / 8) + x / 8 + 1) << w << "x" << h << " " << x << "," << y;
        ASSERT_EQ(sample(f, w, x, y, 1), 128 + 20 + x / 16);
        ASSERT_EQ(sample(f, w, x, y, 2), 128 + 40 + x / 16);
      }
  }

  // A chroma block's samples each cover a 2x2 group: a horizontal ramp in c1.
  Bytes payload(384, 0);
  payload[256 + 1] = 20;
  auto f = firstFrame(16, 16, payload);
  const short ramp[8] = {28, 24, 16, 6, -6, -16, -24, -28};
  for (int y = 2; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      EXPECT_EQ(sample(f, 16, x, y, 1), 128 + ramp[x / 2]) << x << "," << y;
      EXPECT_EQ(sample(f, 16, x, y, 0), 0);
      EXPECT_EQ(sample(f, 16, x, y, 2), 128);
    }
}

TEST(ResidualPlacement, PartialCoverageAndUnreadTail) {
  setFlatTable(8.0f, 8.0f);
  const struct { int w, h, used; } sizes[] = {{20, 20, 384}, {12, 8, 64}, {24, 8, 192}, {7, 7, 0}, {3, 3, 0}, {17, 33, 768}};
  for (auto s : sizes) {
    const int bytes = s.w * s.h + s.w * s.h / 2;
    Bytes payload(bytes, 0);  // DC 3 in every block adds 3 to every covered sample
    for (int b = 0; b < s.used; b += 64) payload[b] = 3;
    auto f = firstFrame(s.w, s.h, payload);
    for (int y = 0; y < s.h; ++y)
      for (int x = 0; x < s.w; ++x) {
        const bool luma = x < s.w / 8 * 8 && y < s.h / 8 * 8;
        const bool chroma = x < s.w / 16 * 16 && y < s.h / 16 * 16;
        ASSERT_EQ(sample(f, s.w, x, y, 0), luma ? 3 : 0) << s.w << "x" << s.h << " " << x << "," << y;
        ASSERT_EQ(sample(f, s.w, x, y, 1), chroma ? 131 : 128) << s.w << "x" << s.h << " " << x << "," << y;
        ASSERT_EQ(sample(f, s.w, x, y, 2), chroma ? 131 : 128) << s.w << "x" << s.h << " " << x << "," << y;
      }
    // The tail is never read: its contents change nothing.
    for (int i = s.used; i < bytes; ++i) payload[i] = static_cast<signed char>(i * 31);
    EXPECT_EQ(firstFrame(s.w, s.h, payload), f) << s.w << "x" << s.h;
  }
}

TEST(ResidualPlacement, AdditionWrapsInSixteenBits) {
  ASSERT_TRUE(reinitDLL(16, 16));
  setFlatTable(8.0f, 8.0f);
  for (auto [start, dc, expected] : {std::tuple{32767, 1, -32768}, {-32768, -1, 32767}}) {
    std::vector<short> frame(768, static_cast<short>(start));
    Bytes payload(384, 0);
    for (int b = 0; b < 6; ++b) payload[64 * b] = static_cast<signed char>(dc);
    addTile(payload.data(), frame.data());
    for (short s : frame) ASSERT_EQ(s, expected);
  }
}

std::array<unsigned char, 3> convert(short c0, short c1, short c2) {
  EXPECT_TRUE(reinitDLL(1, 1));
  short frame[3] = {c0, c1, c2};
  signed char out[5] = {9, 9, 9, 9, 9};
  decodeYUV(frame, out + 1);
  EXPECT_EQ(out[0], 9);
  EXPECT_EQ(out[4], 9);
  return {static_cast<unsigned char>(out[1]), static_cast<unsigned char>(out[2]), static_cast<unsigned char>(out[3])};
}

TEST(ColourOutput, DocumentedCases) {
  const struct { short c0, c1, c2; unsigned char a, b, c; } cases[] = {
      {100, 0, 0, 100, 100, 100},   {1, 0, 0, 1, 1, 1},         {254, 0, 0, 254, 254, 254}, {255, 0, 0, 255, 255, 255},
      {256, 0, 0, 255, 255, 255},   {0, 0, 0, 0, 0, 0},         {-5, 0, 0, 0, 0, 0},        {0, 128, 128, 0, 0, 255},
      {0, 0, 128, 0, 0, 160},       {0, 128, 0, 0, 0, 160},     {10, 0, -1, 12, 10, 8},     {100, 0, 4, 95, 100, 105},
      {100, 0, 3, 97, 100, 103},    {100, 0, -3, 104, 100, 96}, {100, 0, -4, 105, 100, 95}, {128, -100, 50, 66, 253, 65},
      {200, -40, -40, 250, 250, 100}, {30000, 0, -10000, 0, 255, 255}, {0, -32768, 0, 0, 0, 255},
      {32767, 32767, 32767, 0, 0, 0}};
  for (auto t : cases)
    EXPECT_EQ(convert(t.c0, t.c1, t.c2), (std::array<unsigned char, 3>{t.a, t.b, t.c}))
        << t.c0 << "," << t.c1 << "," << t.c2;

  ASSERT_TRUE(reinitDLL(2, 2));
  short frame[12] = {10, 0, 0, 20, 0, 0, 30, 0, 0, 40, 0, 0};
  signed char out[12];
  decodeYUV(frame, out);
  EXPECT_EQ(Bytes(out, out + 12), (Bytes{10, 10, 10, 20, 20, 20, 30, 30, 30, 40, 40, 40}));
}

TEST(ColourOutput, ThroughDecodeFrame) {
  // The initial frame converts to (0, 0, 255); values above 127 arrive as negative bytes.
  setFlatTable(8.0f, 8.0f);
  ASSERT_TRUE(reinitDLL(16, 16));
  Bytes payload(384, 0), output(768, 1);
  decodeFrame(payload.data(), 384, output.data(), 768, true);
  for (int i = 0; i < 768; i += 3) ASSERT_EQ(Bytes(output.begin() + i, output.begin() + i + 3), (Bytes{0, 0, -1}));
  // DC 10 in the four luma blocks: every pixel becomes (10, 128, 128).
  ASSERT_TRUE(reinitDLL(16, 16));
  for (int b = 0; b < 4; ++b) payload[64 * b] = 10;
  decodeFrame(payload.data(), 384, output.data(), 768, true);
  for (int i = 0; i < 768; i += 3) {
    ASSERT_EQ(oldfr[i], 10);
    ASSERT_EQ(oldfr[i + 1], 128);
    ASSERT_EQ(oldfr[i + 2], 128);
  }
}

// A plain model of the whole pipeline: per-pixel loops straight from the
// formulas, sharing nothing with the decoder but the inverse transform.
struct Model {
  int w, h;
  std::vector<short> frame;
  std::vector<short> table;

  Model(int w_, int h_) : w(w_), h(h_), frame(3 * w_ * h_) {
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = i % 3 == 0 ? 0 : 128;
  }
  short at(int x, int y, int k) const { return frame[3 * (y * w + x) + k]; }

  Block residual(const Bytes& payload, int block) const {
    static const auto zz = zigzagByWalking();
    Block b{};
    for (int k = 0; k < 64; ++k) b[zz[k]] = wrap(payload[64 * block + k] * table[zz[k]]);
    return idct(b);
  }

  void decode(const Bytes& payload, Bytes* out) {
    std::vector<short> next(frame.size());
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int k = 0; k < 3; ++k) {
          int sum = at(x > 0 ? x - 1 : x, y, k) + at(x < w - 1 ? x + 1 : x, y, k) + at(x, y > 0 ? y - 1 : y, k) +
                    at(x, y < h - 1 ? y + 1 : y, k);
          const int s16 = wrap(sum);
          next[3 * (y * w + x) + k] = static_cast<short>(s16 < 0 ? -((-s16) / 4) : s16 / 4);
        }
    const int bw = w / 8, bh = h / 8, mw = w / 16, mh = h / 16;
    std::vector<Block> blocks;
    for (int b = 0; b < bw * bh + 2 * mw * mh; ++b) blocks.push_back(residual(payload, b));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        short* p = &next[3 * (y * w + x)];
        if (x < 8 * bw && y < 8 * bh) p[0] = wrap(p[0] + blocks[(y / 8) * bw + x / 8][8 * (y % 8) + x % 8]);
        if (x < 16 * mw && y < 16 * mh) {
          const int m = bw * bh + 2 * ((y / 16) * mw + x / 16);
          const int s = 8 * ((y % 16) / 2) + (x % 16) / 2;
          p[1] = wrap(p[1] + blocks[m][s]);
          p[2] = wrap(p[2] + blocks[m + 1][s]);
        }
      }
    frame = next;
    if (!out) return;
    out->resize(frame.size());
    for (std::size_t i = 0; i < frame.size(); i += 3) {
      const short c0 = frame[i], c1 = frame[i + 1], c2 = frame[i + 2];
      const short first = wrap(wrap(c0 - c2) - (c2 >> 2));
      const short second = wrap(wrap(c0 - c1) - (c1 >> 2));
      const short third = wrap(wrap(wrap(3 * c0) - second) - first);
      int j = 0;
      for (short v : {first, second, third}) (*out)[i + j++] = static_cast<signed char>(v <= 0 ? 0 : v >= 255 ? 255 : v);
    }
  }
};

TEST(Pipeline, MatchesPlainModelFrameByFrame) {
  std::mt19937 rng(2024);
  const std::pair<int, int> sizes[] = {{16, 16}, {48, 32}, {20, 20}, {33, 17}, {7, 7}, {1, 1}, {40, 9}};
  for (auto [w, h] : sizes) {
    for (int regime = 0; regime < 3; ++regime) {
      // 0: realistic, 1: large factors that wrap the products, 2: full 16-bit tables and bytes.
      Model model(w, h);
      ASSERT_TRUE(reinitDLL(w, h));
      for (int frame = 0; frame < 6; ++frame) {
        if (frame % 3 == 0) {
          std::vector<float> t(64);
          for (auto& f : t)
            f = regime == 0 ? static_cast<float>(1 + rng() % 24)
                : regime == 1 ? static_cast<float>(static_cast<int>(rng() % 2000) - 1000)
                              : static_cast<float>(static_cast<int>(rng() % 65536) - 32768);
          setTable(t);
          model.table.assign(quant, quant + 64);
          for (int i = 0; i < 64; ++i) ASSERT_EQ(model.table[i], static_cast<short>(t[i]));
        }
        Bytes payload(w * h + w * h / 2);
        for (auto& b : payload)
          b = static_cast<signed char>(regime == 0 ? (rng() % 4 == 0 ? static_cast<int>(rng() % 21) - 10 : 0)
                                                   : static_cast<int>(rng() % 256) - 128);
        const bool convert = frame % 2 == 0;
        Bytes expected, output(3 * w * h);
        model.decode(payload, convert ? &expected : nullptr);
        decodeFrame(payload.data(), static_cast<int>(payload.size()), output.data(), static_cast<int>(output.size()),
                    convert);
        ASSERT_EQ(std::vector<short>(oldfr, oldfr + 3 * w * h), model.frame)
            << w << "x" << h << " regime " << regime << " frame " << frame;
        if (convert) {
          ASSERT_EQ(output, expected) << w << "x" << h << " regime " << regime << " frame " << frame;
        }
      }
    }
  }
}

}  // namespace
