// Decoder handles against the process-wide decoder: random call sequences run
// on interleaved handles (each with its own thread count and set of stages)
// must give, call for call, what the same sequence gives on the plain API run
// alone. Also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "kelvo4/Kelvo4.h"
#include "src/stage/format.h"
#include "src/decoder/handle.h"
#include "kelvo4/kelvo4.hpp"

namespace {

struct Call {
  enum Kind { Reinit, Table, Decode, DecodeArgb } kind = Reinit;
  int w = 0, h = 0;                 // Reinit
  std::vector<float> table;         // Table: any count, empty for null
  std::vector<signed char> payload;  // Decode
  int payloadLength = 0, outputLength = 0;
  bool nullPayload = false, nullOutput = false, convert = false;
};

// What one call left behind: accepted or not, the frame and the output.
struct Result {
  bool accepted;
  std::vector<short> frame;
  std::vector<signed char> output;
  bool operator==(const Result&) const = default;
};

std::vector<Call> randomSequence(std::mt19937& rng, int calls) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  std::vector<Call> seq;
  int w = 0, h = 0;
  for (int i = 0; i < calls; ++i) {
    Call c;
    c.kind = i == 0 ? Call::Reinit : static_cast<Call::Kind>(pick(10) < 2 ? pick(2) : 2 + pick(2));
    if (c.kind == Call::Reinit) {
      // Small sizes of every shape, a wide one of many bands, and refused ones.
      c.w = pick(6) == 0 ? 352 : pick(70), c.h = pick(6) == 0 ? 150 : pick(50);
      if (i > 0 && pick(8) == 0) c.w = -c.w - 1;
      if (i > 0 && pick(8) == 0) c.w = 1 << 16, c.h = 1 << 15;
      if (kelvo4::sizeSupported(c.w, c.h)) w = c.w, h = c.h;
    } else if (c.kind == Call::Table) {
      c.table.resize(pick(5) == 0 ? 63 + 2 * pick(2) : pick(9) == 0 ? 0 : 64);
      for (float& f : c.table) f = pick(4) == 0 ? static_cast<float>(rng()) - 2e9f : static_cast<float>(pick(40));
    } else {
      const int n = w * h, off = pick(5) == 0 ? pick(3) - 1 : 0;
      c.payloadLength = static_cast<int>(kelvo4::payloadBytes(w, h)) + off;
      c.payload.resize(c.payloadLength > 0 ? c.payloadLength : 0);
      for (auto& b : c.payload) b = pick(4) == 0 ? static_cast<signed char>(rng()) : 0;
      c.convert = c.kind == Call::DecodeArgb || pick(3) != 0;
      c.outputLength = (c.kind == Call::DecodeArgb ? n : 3 * n) + (pick(6) == 0 ? pick(3) - 1 : 0);
      c.nullPayload = pick(12) == 0, c.nullOutput = pick(12) == 0;
    }
    seq.push_back(std::move(c));
  }
  return seq;
}

// The plain API: decodeFrame exchanges the frames exactly when it accepts.
Result runPlain(const Call& c) {
  if (c.kind == Call::Reinit) return {reinitDLL(c.w, c.h), {}, {}};
  if (c.kind == Call::Table) {
    setQuantizationTable(c.table.empty() ? nullptr : c.table.data(), static_cast<int>(c.table.size()));
    return {c.table.size() == 64, {}, {}};
  }
  std::vector<signed char> out(3 * static_cast<std::size_t>(c.outputLength > 0 ? c.outputLength : 0), 0x5A);
  const int outLength = c.kind == Call::DecodeArgb ? 3 * c.outputLength : c.outputLength;
  const short* before = oldfr;
  decodeFrame(c.nullPayload ? nullptr : c.payload.data(), c.payloadLength, c.nullOutput ? nullptr : out.data(),
              outLength, c.convert);
  return {oldfr != before, std::vector<short>(oldfr, oldfr + static_cast<std::size_t>(width3) * height), out};
}

Result runHandle(kelvo4_decoder* d, const Call& c) {
  if (c.kind == Call::Reinit) return {kelvo4_decoder_reinit(d, c.w, c.h) == 0, {}, {}};
  if (c.kind == Call::Table)
    return {kelvo4_decoder_set_table(d, c.table.empty() ? nullptr : c.table.data(),
                                     static_cast<int>(c.table.size())) == 0, {}, {}};
  std::vector<signed char> out(3 * static_cast<std::size_t>(c.outputLength > 0 ? c.outputLength : 0), 0x5A);
  const signed char* p = c.nullPayload ? nullptr : c.payload.data();
  int rc;
  if (c.kind == Call::DecodeArgb) {
    // Packed pixels, compared as the bytes they carry; untouched pixels stay 0x5A.
    std::vector<std::uint32_t> argb(c.outputLength > 0 ? c.outputLength : 0, 0x5A5A5A5A);
    rc = kelvo4_decoder_decode_argb(d, p, c.payloadLength, c.nullOutput ? nullptr : argb.data(),
                                    4 * static_cast<std::size_t>(c.outputLength));
    for (std::size_t i = 0; i < argb.size(); ++i) {
      EXPECT_TRUE(rc != 0 || argb[i] >> 24 == 0xFFu);
      for (int k = 0; k < 3; ++k) out[3 * i + k] = static_cast<signed char>(argb[i] >> (16 - 8 * k));
    }
  } else {
    rc = kelvo4_decoder_decode(d, p, c.payloadLength, c.nullOutput ? nullptr : out.data(), c.outputLength, c.convert);
  }
  EXPECT_TRUE(rc == 0 || rc == -EINVAL);
  const short* f = kelvo4_decoder_frame(d);
  const std::size_t samples = 3 * static_cast<std::size_t>(kelvo4_decoder_width(d)) * kelvo4_decoder_height(d);
  return {rc == 0, f ? std::vector<short>(f, f + samples) : std::vector<short>{}, out};
}

TEST(Handles, InterleavedSequencesMatchThePlainApiAlone) {
  std::mt19937 rng(12);
  for (int round = 0; round < 6; ++round) {
    constexpr int kStreams = 4, kCalls = 40;
    const int threads[kStreams] = {1, 2, 3, 9};  // 9: more threads than most frames have bands
    std::vector<std::vector<Call>> seqs;
    std::vector<std::vector<Result>> expected(kStreams);
    for (int s = 0; s < kStreams; ++s) {
      seqs.push_back(randomSequence(rng, kCalls));
      const float zero[64] = {};
      setQuantizationTable(zero, 64);  // a handle starts with an all-zero table
      for (const Call& c : seqs[s]) expected[s].push_back(runPlain(c));
    }
    std::vector<kelvo4::Decoder> handles;
    for (int s = 0; s < kStreams; ++s) {
      handles.emplace_back(0, 0, threads[s]);
      kelvo4::useStages(handles[s].get(), kelvo4::kCpuLevels[(round + s) % std::size(kelvo4::kCpuLevels)].flags);
    }
    int next[kStreams] = {};
    for (int left = kStreams * kCalls; left > 0; --left) {
      int s = static_cast<int>(rng() % kStreams);
      while (next[s] == kCalls) s = (s + 1) % kStreams;
      const int i = next[s]++;
      ASSERT_TRUE(runHandle(handles[s].get(), seqs[s][i]) == expected[s][i])
          << "round " << round << " stream " << s << " call " << i << " kind " << seqs[s][i].kind;
    }
  }
}

TEST(Handles, MisuseIsRefusedWithoutEffect) {
  kelvo4_decoder* d = reinterpret_cast<kelvo4_decoder*>(1);
  EXPECT_EQ(kelvo4_decoder_open(nullptr, 16, 16, 1), -EINVAL);
  for (auto [w, h, t] : {std::tuple{16, 16, 0}, {16, 16, 65}, {-1, 16, 1}, {1 << 16, 1 << 15, 1}}) {
    EXPECT_EQ(kelvo4_decoder_open(&d, w, h, t), -EINVAL);
    EXPECT_EQ(d, nullptr);
  }
  const float table[64] = {};
  signed char bytes[768] = {};
  std::uint32_t argb[256];
  // A null handle through every call: refused, or the documented answer.
  EXPECT_EQ(kelvo4_decoder_reinit(nullptr, 16, 16), -EINVAL);
  EXPECT_EQ(kelvo4_decoder_set_table(nullptr, table, 64), -EINVAL);
  EXPECT_EQ(kelvo4_decoder_decode(nullptr, bytes, 0, nullptr, 0, 0), -EINVAL);
  EXPECT_EQ(kelvo4_decoder_decode_argb(nullptr, bytes, 0, argb, 0), -EINVAL);
  EXPECT_EQ(kelvo4_decoder_decode_region(nullptr, bytes, 0, argb, KELVO4_ARGB32, 0, 0, 0), -EINVAL);
  EXPECT_EQ(kelvo4_decoder_decode_into(nullptr, bytes, 0, nullptr, 0, KELVO4_RGB24, 0, 0, 0), -EINVAL);
  EXPECT_EQ(kelvo4_decoder_frame(nullptr), nullptr);
  EXPECT_EQ(kelvo4_decoder_payload_length(nullptr), 0u);
  EXPECT_EQ(kelvo4_decoder_width(nullptr) + kelvo4_decoder_height(nullptr), 0);
  kelvo4_decoder_close(nullptr);
  kelvo4_decoder_close(&d);

  EXPECT_STREQ(kelvo4_decoder_error(nullptr), "size 65536x32768: no side may be negative, and 3 x width x height must "
                                              "be below 2^31");
  ASSERT_EQ(kelvo4_decoder_open(&d, 16, 16, 2), 0);
  // A refused call says what it was given and what the handle takes.
  EXPECT_EQ(kelvo4_decoder_decode(d, bytes, 100, nullptr, 0, 0), -EINVAL);
  EXPECT_STREQ(kelvo4_decoder_error(d), "payload of 100 bytes: a 16x16 frame takes 384");
  EXPECT_EQ(kelvo4_decoder_decode_argb(d, bytes, 384, argb, 256), -EINVAL);
  EXPECT_STREQ(kelvo4_decoder_error(d), "output of 256 bytes: 256 pixels take 1024");
  kelvo4_decoder_close(&d);
  EXPECT_EQ(d, nullptr);
}

// decode_into against decode_region on a twin handle: both formats, regions
// down to 1x1, odd strides (misaligned ARGB32 rows) and a misaligned start;
// the bytes between and after the rows stay as they were.
TEST(Handles, StridedOutputIsThePlainOutputWithGapsUntouched) {
  constexpr int W = 72, H = 35;  // wider than the 64 pixels an unaligned ARGB row is converted in
  std::mt19937 rng(45);
  std::vector<signed char> payload(kelvo4::payloadBytes(W, H));
  for (auto& b : payload) b = rng() % 3 == 0 ? static_cast<signed char>(rng()) : 0;
  float table[64];
  for (int i = 0; i < 64; ++i) table[i] = static_cast<float>(1 + i % 7);
  kelvo4::Decoder plain(W, H), strided(W, H, 3);
  plain.setTable(table);
  strided.setTable(table);
  for (const kelvo4_format format : {KELVO4_RGB24, KELVO4_ARGB32})
    for (const auto& [w, h] : {std::pair{W, H}, {1, 1}, {17, 33}, {W, 1}, {0, 5}})
      for (const std::size_t extra : {0, 1, 3, 6}) {
        const std::size_t row = (format == KELVO4_RGB24 ? 3 : 4) * static_cast<std::size_t>(w), stride = row + extra;
        const std::size_t at = extra % 2, length = h == 0 || w == 0 ? 0 : stride * (h - 1) + row;
        std::vector<unsigned char> want(row * h), got(at + length + 8, 0xCD);
        ASSERT_EQ(kelvo4_decoder_decode_region(plain.get(), payload.data(), payload.size(), want.data(), format, w, h,
                                               want.size()), 0);
        EXPECT_EQ(kelvo4_decoder_decode_into(strided.get(), payload.data(), payload.size(), got.data() + at,
                                             length - 1, format, w, h, stride), length == 0 ? 0 : -EINVAL);
        if (length != 0) strided.decodeInto(payload.data(), payload.size(), got.data() + at, length, format, w, h, stride);
        for (std::size_t i = 0; i < got.size(); ++i) {
          if (length != 0 && i >= at && (i - at) / stride < static_cast<std::size_t>(h) && (i - at) % stride < row)
            ASSERT_EQ(got[i], want[(i - at) / stride * row + (i - at) % stride]) << format << " stride " << stride;
          else
            ASSERT_EQ(got[i], 0xCD) << "gap byte " << i << " of " << w << "x" << h << " stride " << stride;
        }
      }
  EXPECT_EQ(kelvo4_decoder_decode_into(strided.get(), payload.data(), payload.size(), payload.data(), 300,
                                       KELVO4_RGB24, 10, 2, 29), -EINVAL);
  EXPECT_STREQ(kelvo4_decoder_error(strided.get()),
               "stride of 29 bytes: rows of 10 pixels take 30 bytes, and 2 of them must fit in memory");
  // No output: the frame is decoded, not converted, on both.
  ASSERT_EQ(kelvo4_decoder_decode_into(strided.get(), payload.data(), payload.size(), nullptr, 0, KELVO4_RGB24, 5, 5, 0), 0);
  plain.decode(payload.data(), payload.size());
  EXPECT_TRUE(std::equal(plain.frame(), plain.frame() + 3 * W * H, strided.frame()));
}

// Settings at their smallest, larger with what a newer program adds left
// zero, and refused when that asks for more; a null pointer is the defaults.
TEST(Handles, SettingsFromTheirSmallestSizeUp) {
  struct Newer {
    kelvo4_settings s;
    std::int64_t later;  // -1: every byte set, whatever the byte order
  };
  constexpr std::size_t kOldest = KELVO4_SETTINGS_SIZE_1_1, kNow = sizeof(kelvo4_settings);
  const Newer cases[] = {{{kOldest, 0, 0}, 0},       {{kOldest, 1, 0}, 0},     {{kOldest, 4, 0}, 0},
                         {{sizeof(Newer), 0, 0}, 0}, {{kOldest - 1, 0, 0}, 0}, {{kNow, KELVO4_MAX_THREADS + 1, 0}, 0},
                         {{sizeof(Newer), 0, 0}, -1}};
  kelvo4_decoder* d = nullptr;
  ASSERT_EQ(kelvo4_decoder_open_with(&d, 16, 16, nullptr), 0);
  kelvo4_decoder_close(&d);
  for (const Newer& n : cases) {
    const bool refused = n.s.size < kOldest || n.s.threads > KELVO4_MAX_THREADS || n.later != 0;
    EXPECT_EQ(kelvo4_decoder_open_with(&d, 16, 16, &n.s), refused ? -EINVAL : 0) << n.s.size << " " << n.s.threads;
    EXPECT_EQ(d == nullptr, refused);
    kelvo4_decoder_close(&d);
  }
  EXPECT_EQ(kelvo4_decoder_error(nullptr), "settings of " + std::to_string(sizeof(Newer)) + " bytes: byte " +
                                               std::to_string(kNow) + " is set, and this library knows settings "
                                               "up to byte " + std::to_string(kNow) + " only");
  EXPECT_THROW(kelvo4::Decoder(16, 16, kelvo4_settings{kNow, -1, 0}), kelvo4::DecoderError);
  EXPECT_EQ(kelvo4_decoder_open_with(nullptr, 16, 16, nullptr), -EINVAL);
}

}  // namespace
