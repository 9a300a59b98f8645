// The conformance streams (tests/conformance/, made once by make.py and
// craft.py and never again) decode to the frames recorded with them, on every
// platform the suite runs on, from a file and through a read function:
// versions 1 and 2 (stored and zstd), version 3 raw and coded, with tables
// carried over and replaced, without an index, at odd sizes, crafted payloads
// at the arithmetic's limits, and damaged files up to their damage, with the
// message that names it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "kelvo4/kelvo4.hpp"
#include "src/stream/stream_format.h"
#include "tests/stream_files.h"

struct ConformanceFile {
  const char* name;
  const unsigned char* bytes;
  std::size_t size;
};
extern const ConformanceFile kConformanceFiles[];
extern const std::size_t kConformanceFileCount;
extern const char kConformanceExpected[];

namespace {

using namespace kelvo4::test;

// MD5 (RFC 1321), for frame hashes that md5sum can check.
std::string md5(const std::vector<unsigned char>& data) {
  static const int r[16] = {7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21};
  std::vector<unsigned char> m(data);
  const std::uint64_t bits = std::uint64_t{data.size()} * 8;
  m.push_back(0x80);
  while (m.size() % 64 != 56) m.push_back(0);
  for (int i = 0; i < 8; ++i) m.push_back(static_cast<unsigned char>(bits >> (8 * i)));
  std::uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  for (std::size_t block = 0; block < m.size(); block += 64) {
    std::uint32_t w[16];
    for (int i = 0; i < 16; ++i)
      w[i] = std::uint32_t{m[block + 4 * i]} | std::uint32_t{m[block + 4 * i + 1]} << 8 |
             std::uint32_t{m[block + 4 * i + 2]} << 16 | std::uint32_t{m[block + 4 * i + 3]} << 24;
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
    for (int i = 0; i < 64; ++i) {
      const int round = i / 16;
      const std::uint32_t f = round == 0 ? (b & c) | (~b & d)
                              : round == 1 ? (d & b) | (~d & c)
                              : round == 2 ? b ^ c ^ d
                                           : c ^ (b | ~d);
      const int g = round == 0 ? i : round == 1 ? (5 * i + 1) % 16 : round == 2 ? (3 * i + 5) % 16 : 7 * i % 16;
      const auto k = static_cast<std::uint32_t>(std::fabs(std::sin(i + 1.0)) * 4294967296.0);  // RFC 1321's T[i]
      const std::uint32_t sum = a + f + k + w[g];
      const int s = r[4 * round + i % 4];
      a = d, d = c, c = b, b = b + (sum << s | sum >> (32 - s));
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d;
  }
  char hex[33];
  for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", h[i / 4] >> (8 * (i % 4)) & 0xFFu);
  return hex;
}

struct Expected {
  std::vector<std::string> frames;
  std::string error;  // after "NAME: "
};

// The frames' MD5s up to the end or the first failure, and its message.
Expected hashed(const Played& p) {
  Expected e{{}, p.message};
  for (const Bytes& frame : p.frames) e.frames.push_back(md5(frame));
  return e;
}

std::map<std::string, Expected> readExpected() {
  std::map<std::string, Expected> expected;
  std::istringstream lines(kConformanceExpected);
  for (std::string name, what; lines >> name >> what;) {
    std::string rest;
    std::getline(lines, rest);
    if (what == "error")
      expected[name].error = rest.substr(1);
    else
      expected[name].frames.push_back(rest.substr(1));
  }
  return expected;
}

const ConformanceFile& conformanceFile(const std::string& name) {
  return *std::find_if(kConformanceFiles, kConformanceFiles + kConformanceFileCount,
                       [&](const ConformanceFile& f) { return f.name == name; });
}

std::string writeTemp(const std::string& name, const Bytes& bytes) {
  const std::string path = tempPath("conformance_" + name);
  putBytes(path, bytes);
  return path;
}

TEST(Conformance, EveryFileDecodesToItsFrames) {
  const std::map<std::string, Expected> expected = readExpected();
  ASSERT_EQ(expected.size(), kConformanceFileCount);
  for (std::size_t i = 0; i < kConformanceFileCount; ++i) {
    const ConformanceFile& f = kConformanceFiles[i];
    SCOPED_TRACE(f.name);
    const Expected& e = expected.at(f.name);
    ASSERT_FALSE(e.frames.empty());
    const Bytes bytes(f.bytes, f.bytes + f.size);
    const std::string path = writeTemp(f.name, bytes);
    for (int threads : {1, 2}) {
      const Expected file = hashed(playFile(path, threads));
      EXPECT_EQ(file.frames, e.frames) << threads << " threads";
      EXPECT_EQ(file.error, e.error.empty() ? "" : path + ": " + e.error);
      // In order through a read function: the same frames, up to where a
      // cut stream ends (an index is not read there).
      Memory m{&bytes, 0, 777};
      kelvo4::Stream stream(Memory::read, &m, f.name, threads);
      const Expected piped = hashed(play(stream.get()));
      EXPECT_EQ(piped.frames, e.frames) << threads << " threads, read function";
    }
    std::remove(path.c_str());
  }
}

// The index is a claim, the records are the truth. v3-coded.klv (12 frames,
// key frames 0, 4 and 8) with frame 2's record malformed, where the walk of
// the records stops: an entry beyond it that the records disagree with is
// damage, no frame it would reach is offered (a seek there is refused), and
// those before it play. A wrong index offset loses no frame: the file plays
// all that a read function plays, then names the fault.
TEST(Conformance, IndexLiesAreDamageAndMisplacedIndexesLoseNoFrame) {
  const Expected all = readExpected().at("v3-coded.klv");
  const ConformanceFile& f = conformanceFile("v3-coded.klv");
  const std::vector<unsigned char> intact(f.bytes, f.bytes + f.size);
  std::uint64_t record[13] = {48};  // each frame's, then the index
  for (int i = 0; i < 12; ++i)
    record[i + 1] = record[i] + 8 + (intact[record[i]] & 2 ? 256 : 0) + kelvo4::getU32(&intact[record[i] + 4]);
  const auto check = [&](const std::vector<unsigned char>& bytes, std::int64_t count, const std::string& damage) {
    const std::string path = writeTemp("lie.klv", bytes);
    kelvo4::Stream s(path);
    EXPECT_EQ(std::pair(s.info().frame_count, s.damage().find(damage) != std::string::npos), std::pair(count, true))
        << s.damage();
    EXPECT_EQ(kelvo4_stream_seek(s.get(), 10), count > 10 ? 0 : -ERANGE);  // named as tools_failures.sh checks
    EXPECT_EQ(kelvo4_stream_seek(s.get(), 0), 0);
    const Expected played = hashed(play(s.get()));
    EXPECT_EQ(played.error, s.damage());
    EXPECT_EQ(played.frames, std::vector(all.frames.begin(), all.frames.begin() + count));
    std::remove(path.c_str());
  };
  // Frame 4's entry, now the last, at frame 8's record: 4 frames to the index, not 8.
  std::vector<unsigned char> lie = intact;
  lie[record[2] + 1] = 1;
  kelvo4::putU32(&lie[record[12] + 4], 2);
  kelvo4::putU64(&lie[record[12] + 8 + 12 + 4], record[8]);
  check(lie, 2, "bad key frame index: entry 1 (frame 4 at byte " + std::to_string(record[8]) +
                    ") disagrees with the records: walked from there, they reach byte " + std::to_string(record[12]) +
                    " (the index) after 4 frames, not 8");
  // Frames 4 and 8 listed as 3 and 7: entry 1 agrees with entry 2, which fails at the index, so
  // neither is trusted (trusting entry 1 would give frame 4's picture as frame 3).
  lie = intact;
  lie[record[2] + 1] = 1;
  kelvo4::putU32(&lie[record[12] + 8 + 12], 3);
  kelvo4::putU32(&lie[record[12] + 8 + 24], 7);
  check(lie, 2, "entry 2 (frame 7 at byte " + std::to_string(record[8]) + ") disagrees with the records");
  // The index offset inside frame 6's record, and right after the header.
  for (std::uint64_t at : {record[6] + 100, std::uint64_t{48}}) {
    lie = intact;
    kelvo4::putU64(&lie[36], at);
    check(lie, 12, "at byte 36: the header places the key frame index at byte " + std::to_string(at) +
                       ", inside the frame records, which end at byte " + std::to_string(record[12]));
  }
}

// Versions 1 and 2 cut inside a frame or damaged: the frames before the
// damage play, from a file and through a read function, then the damage,
// named (a damaged version-1 header plays nothing).
TEST(Conformance, OlderVersionsCutOrDamagedPlayUpToTheDamage) {
  const std::map<std::string, Expected> expected = readExpected();
  const struct {
    const char* name;
    std::size_t keep, at;  // the bytes kept (0: all), and where the patch goes
    std::vector<unsigned char> patch;
    long intact;
    std::string damage;
  } cases[] = {
      {"v1.klv", 1908, 0, {}, 2, "truncated at byte 1908, frame 2: 100 of 768 bytes"},
      {"v1.klv", 0, 28, {0, 0, 0xC0, 0x7F}, 0, "at byte 28: dequantisation factor 3 is not finite"},  // NaN
      {"v1.klv", 0, 12, {0}, 0, "at byte 8: impossible frame size 32x0"},
      {"v2-stored.klv", 6184, 0, {}, 2, "truncated at byte 6184, frame 2: 1000 of 2568 bytes"},
      {"v2-stored.klv", 0, 2616, {10}, 1, "frame 1 at byte 2616: not a frame record"},  // coded, in version 2
      {"v2-zstd.klv", 0, 1578, {9}, 1, "frame 1 at byte 1309: corrupt compressed payload"},  // its stated size
      {"v2-zstd.klv", 0, 2364, {0x0F}, 1,  // the frame's own checksum, read alike on every processor
       "frame 1 at byte 1309: corrupt compressed payload: Restored data doesn't match checksum"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.damage);
    const ConformanceFile& f = conformanceFile(c.name);
    std::vector<unsigned char> bytes(f.bytes, f.bytes + (c.keep ? c.keep : f.size));
    std::copy(c.patch.begin(), c.patch.end(), bytes.begin() + static_cast<long>(c.at));
    const std::string path = writeTemp("older.klv", bytes);
    const Expected file = hashed(playFile(path));
    Memory m{&bytes, 0, 777};
    kelvo4_stream* s = nullptr;
    const int rc = kelvo4_stream_open_callback(&s, Memory::read, &m, "pipe", 1);
    const Expected piped = rc == 0 ? hashed(play(s)) : Expected{{}, kelvo4_stream_error(nullptr)};
    kelvo4_stream_close(&s);
    const auto& all = expected.at(c.name).frames;
    EXPECT_EQ(file.frames, std::vector(all.begin(), all.begin() + c.intact));
    EXPECT_EQ(piped.frames, file.frames);
    EXPECT_EQ(file.error, path + ": " + c.damage);
    EXPECT_EQ(piped.error, "pipe: " + c.damage);
    std::remove(path.c_str());
  }
}

}  // namespace
