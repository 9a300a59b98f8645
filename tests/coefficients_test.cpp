// The coefficient coder: any payload comes back exactly, frame after frame,
// whatever the tables the frames before left; damage is reported, never
// decoded into something else or read out of bounds.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "src/stream/coefficient_decoder.h"
#include "tools/writer/coefficient_encoder.h"
#include "src/stage/format.h"

namespace {

using namespace kelvo4;
using Payload = std::vector<signed char>;

// Payloads of a w x h frame of every kind the coder must take.
std::vector<Payload> kinds(int w, int h, std::mt19937& rng) {
  const std::size_t n = payloadBytes(w, h);
  std::vector<Payload> out;
  auto make = [&](auto value) {
    Payload p(n);
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<signed char>(value(i));
    out.push_back(std::move(p));
  };
  make([&](std::size_t) { return rng(); });                                      // random bytes
  make([&](std::size_t i) { return i % 64 < 3 || rng() % 9 == 0 ? rng() % 7 - 3 : 0; });  // sparse, small
  make([&](std::size_t) { return 0; });                                          // all zero
  make([&](std::size_t) { return -128; });                                       // all -128
  make([&](std::size_t i) { return i % 2 ? 127 : -128; });                       // extremes
  make([&](std::size_t i) { return i % 64 == 63 ? -128 : i % 64 == 0 ? 1 : 0; });  // the last position only
  make([&](std::size_t i) { return i % 64 == 17 || i % 64 == 40 ? 100 : 0; });   // runs beyond 16 zeros
  make([&](std::size_t i) { return i % 128 < 64 ? 0 : rng() % 255 - 127; });    // zero and dense blocks
  return out;
}

TEST(Coefficients, EveryPayloadComesBackExactly) {
  std::mt19937 rng(11);
  for (auto [w, h] : {std::pair{16, 16}, {48, 32}, {176, 144}}) {
    const auto payloads = kinds(w, h, rng);
    CoefficientEncoder encoder(w, h);
    CoefficientDecoder decoder(w, h);
    std::vector<unsigned char> coded;
    Payload back(payloadBytes(w, h));
    // Every kind after every other, so each meets the tables and counts the
    // one before left; a key frame now and then restarts both sides, and a
    // frame stored raw keeps them in step. Every other frame takes random
    // marks for the blocks coded as differences: any marks come back too.
    std::vector<std::uint8_t> marks(payloadBytes(w, h) / 64);
    for (std::size_t f = 0; f < payloads.size() * payloads.size(); ++f) {
      const Payload& p = payloads[(5 * f + f / payloads.size()) % payloads.size()];
      const bool key = f % 13 == 0, raw = f % 7 == 3;
      SCOPED_TRACE(testing::Message() << w << "x" << h << " frame " << f);
      if (raw) {
        encoder.storedRaw(p.data(), key);
        decoder.storedRaw(p.data(), key);
        back = p;
        continue;
      }
      for (auto& m : marks) m = static_cast<std::uint8_t>(rng() % 2);
      encoder.encode(p.data(), key, coded, f % 2 ? marks.data() : nullptr);
      encoder.commit();
      CoefficientError error;
      ASSERT_TRUE(decoder.decode(coded.data(), coded.size(), key, back.data(), back.data(), error)) << error.reason;
      ASSERT_EQ(back, p);
    }
  }
}

TEST(Coefficients, SparseFramesShrinkAndRandomOnesDoNotGrowMuch) {
  std::mt19937 rng(5);
  const int w = 176, h = 144;
  const auto payloads = kinds(w, h, rng);
  CoefficientEncoder encoder(w, h);
  std::vector<unsigned char> coded;
  encoder.encode(payloads[2].data(), true, coded);  // all zero: a token per block, about
  EXPECT_LT(coded.size(), 64u);
  encoder.encode(payloads[0].data(), true, coded);  // random: what the writer then stores raw
  EXPECT_LT(coded.size(), payloads[0].size() * 9 / 8);
  encoder.commit();
  encoder.encode(payloads[0].data(), false, coded);  // the same again: differences of zero
  EXPECT_LT(coded.size(), payloads[0].size() / 64);
}

TEST(Coefficients, DamageIsReportedWithItsOffset) {
  std::mt19937 rng(3);
  const int w = 48, h = 32;
  const Payload p = kinds(w, h, rng)[1];
  CoefficientEncoder encoder(w, h);
  std::vector<unsigned char> good;
  encoder.encode(p.data(), true, good);
  Payload back(p.size());
  CoefficientError error;
  // Every byte changed, and every length cut, fails (the check or the
  // lengths); nothing is read beyond the bytes given (ASan in CI).
  for (std::size_t i = 0; i < good.size(); ++i) {
    std::vector<unsigned char> bad = good;
    bad[i] ^= static_cast<unsigned char>(1 + rng() % 255);
    CoefficientDecoder decoder(w, h);
    EXPECT_FALSE(decoder.decode(bad.data(), bad.size(), true, back.data(), back.data(), error)) << "byte " << i;
    EXPECT_LE(error.offset, bad.size());
  }
  for (std::size_t n = 0; n < good.size(); ++n) {
    std::vector<unsigned char> cut(good.begin(), good.begin() + static_cast<long>(n));
    CoefficientDecoder decoder(w, h);
    EXPECT_FALSE(decoder.decode(cut.data(), cut.size(), true, back.data(), back.data(), error)) << n << " bytes";
  }
  // Frames that rely on what a key frame drops: the tables, and the frame
  // before.
  CoefficientDecoder decoder(w, h);
  ASSERT_TRUE(decoder.decode(good.data(), good.size(), true, back.data(), back.data(), error));
  encoder.commit();
  const Payload q = kinds(w, h, rng)[1];  // the same statistics: no new tables
  std::vector<unsigned char> next, same;
  encoder.encode(q.data(), false, next);
  encoder.encode(p.data(), false, same);  // differences from the frame before
  for (const auto& [frame, fault] : {std::pair{&next, "without a table"}, {&same, "block 0 "}}) {
    CoefficientDecoder again(w, h);
    ASSERT_TRUE(again.decode(good.data(), good.size(), true, back.data(), back.data(), error));
    Payload before = back;
    EXPECT_TRUE(again.decode(frame->data(), frame->size(), false, before.data(), back.data(), error)) << error.reason;
    EXPECT_FALSE(again.decode(frame->data(), frame->size(), true, before.data(), back.data(), error));
    EXPECT_NE(error.reason.find(fault), std::string::npos) << error.reason;
  }
}

}  // namespace
