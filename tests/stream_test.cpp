// Stream files and pictures: round trips and every malformed-stream error.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "kelvo_image.h"
#include "kelvo_stream.h"

namespace {

using namespace kelvo;

std::string tempPath(const std::string& name) {
  return ::testing::TempDir() + "kelvo_" + std::to_string(getpid()) + "_" + name;
}

std::vector<unsigned char> fileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

void putBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<std::streamsize>(bytes.size()));
}

// A 20x12 stream of `frames` payloads whose bytes count up.
std::string writeStream(const std::string& name, int frames) {
  StreamHeader h;
  h.width = 20;
  h.height = 12;
  for (int i = 0; i < 64; ++i) h.table[i] = 1.5f + static_cast<float>(i);
  const std::string path = tempPath(name);
  StreamWriter w(path, h);
  std::vector<signed char> payload(payloadBytes(20, 12));
  for (int f = 0; f < frames; ++f) {
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<signed char>(i + f);
    w.writeFrame(payload.data());
  }
  w.close();
  return path;
}

// The message of the StreamError that opening and reading all of path throws.
std::string streamError(const std::string& path) {
  try {
    StreamReader r(path);
    std::vector<signed char> payload;
    while (r.readFrame(payload)) {
    }
  } catch (const StreamError& e) {
    return e.what();
  }
  return "";
}

TEST(StreamFile, RoundTripAndLayout) {
  const std::string path = writeStream("roundtrip.klv", 3);
  const auto bytes = fileBytes(path);
  ASSERT_EQ(bytes.size(), static_cast<std::size_t>(kStreamHeaderBytes + 3 * 360));
  EXPECT_EQ(std::memcmp(bytes.data(), "KLV4\x01\0\0\0\x14\0\0\0\x0c\0\0\0", 16), 0);
  // Factor 0 = 1.5f = 0x3FC00000, little-endian.
  EXPECT_EQ(bytes[16], 0x00);
  EXPECT_EQ(bytes[19], 0x3F);

  StreamReader r(path);
  EXPECT_EQ(r.header().width, 20);
  EXPECT_EQ(r.header().height, 12);
  EXPECT_EQ(r.header().table[63], 64.5f);
  std::vector<signed char> payload;
  for (int f = 0; f < 3; ++f) {
    ASSERT_TRUE(r.readFrame(payload));
    ASSERT_EQ(payload.size(), 360u);
    EXPECT_EQ(payload[5], static_cast<signed char>(5 + f));
  }
  EXPECT_FALSE(r.readFrame(payload));
  EXPECT_EQ(r.framesRead(), 3);
  std::remove(path.c_str());
}

TEST(StreamFile, MalformedStreamsNameFileAndOffset) {
  const std::string good = writeStream("good.klv", 2);
  const auto bytes = fileBytes(good);
  struct Case {
    const char* name;
    std::vector<unsigned char> bytes;
    const char* expected;
  };
  std::vector<Case> cases;
  cases.push_back({"empty.klv", {}, "at byte 0: truncated header (0 of 272 bytes)"});
  cases.push_back({"header.klv", {bytes.begin(), bytes.begin() + 100}, "at byte 100: truncated header"});
  auto magic = bytes;
  magic[3] = '5';
  cases.push_back({"magic.klv", magic, "at byte 0: bad magic"});
  auto version = bytes;
  version[4] = 2;
  cases.push_back({"version.klv", version, "at byte 4: unsupported format version 2"});
  auto zero = bytes;
  zero[8] = 0;
  cases.push_back({"zero.klv", zero, "at byte 8: impossible frame size 0x12"});
  auto huge = bytes;  // 30000 x 30000: 3 * w * h is past 2^31
  huge[8] = huge[12] = 0x30;
  huge[9] = huge[13] = 0x75;
  cases.push_back({"huge.klv", huge, "at byte 8: impossible frame size 30000x30000"});
  auto negative = bytes;
  negative[11] = 0x80;
  cases.push_back({"negative.klv", negative, "at byte 8: impossible frame size"});
  auto nan = bytes;
  const float q = std::numeric_limits<float>::quiet_NaN();
  std::memcpy(&nan[16 + 4 * 7], &q, 4);
  cases.push_back({"nan.klv", nan, "at byte 44: dequantisation factor 7 is not finite"});
  cases.push_back({"short.klv", {bytes.begin(), bytes.end() - 1}, "at byte 632: short frame 1: 359 of 360 bytes"});
  cases.push_back({"one.klv", {bytes.begin(), bytes.begin() + 273}, "at byte 272: short frame 0: 1 of 360 bytes"});
  for (const auto& c : cases) {
    const std::string path = tempPath(c.name);
    putBytes(path, c.bytes);
    const std::string message = streamError(path);
    EXPECT_EQ(message.rfind(path + ": ", 0), 0u) << c.name << ": " << message;
    EXPECT_NE(message.find(c.expected), std::string::npos) << c.name << ": " << message;
    std::remove(path.c_str());
  }
  EXPECT_NE(streamError(tempPath("missing.klv")).find("cannot open"), std::string::npos);
  EXPECT_EQ(streamError(good), "");
  std::remove(good.c_str());
}

TEST(Pictures, PngAndPpmRoundTripAndErrors) {
  Image image(7, 5);
  for (std::size_t i = 0; i < image.rgb.size(); ++i) image.rgb[i] = static_cast<std::uint8_t>(i * 37);
  for (const char* ext : {"png", "ppm"}) {
    const std::string path = tempPath(std::string("picture.") + ext);
    ext[1] == 'n' ? writePng(path, image) : writePpm(path, image);
    const Image back = readImage(path);
    EXPECT_EQ(back.width, 7);
    EXPECT_EQ(back.height, 5);
    EXPECT_EQ(back.rgb, image.rgb) << ext;
    std::remove(path.c_str());
  }
  const std::string bad = tempPath("bad.ppm");
  putBytes(bad, {'P', '6', '\n', '7', ' ', '5', '\n', '2', '5', '5', '\n', 1, 2, 3});
  EXPECT_THROW(readImage(bad), ImageError);
  putBytes(bad, {'h', 'e', 'l', 'l', 'o'});
  EXPECT_THROW(readImage(bad), ImageError);
  std::remove(bad.c_str());
  EXPECT_THROW(readImage(tempPath("missing.png")), ImageError);
}

}  // namespace
