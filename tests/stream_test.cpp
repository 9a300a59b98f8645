// The stream reader through its C API, as every tool and the Java binding use
// it: the layout the writer makes, read back from files and read functions
// with every thread count, seeking, and every malformed stream named by file,
// frame and byte offset.
#include <random>
#include <tuple>

#include "kelvo4/kelvo4.hpp"
#include "src/stream/coefficients.h"
#include "tests/stream_files.h"
#include "tools/writer/writer.h"

extern "C" int kelvo4_c_peek_frames(const char* path);  // c_headers.c

namespace {

using namespace kelvo4;
using namespace kelvo4::test;

// A stream of w x h pictures (20x12: coded 32x16), even frames key frames,
// odd ones a few bytes away from the frame before (so that the coder codes
// their blocks as differences), payloads compressed at `level` (0: stored).
// Returns the frames a decoder handle makes of the same payloads, cropped.
std::vector<std::vector<unsigned char>> writeStream(const std::string& path, int level, int frames = 3, int w = 20,
                                                    int h = 12) {
  std::mt19937 rng(7);
  StreamWriter writer(path, {w, h, 0, 0, 25, 1}, level);
  const int cw = codedSide(w), ch = codedSide(h);
  kelvo4::Decoder decoder(cw, ch);
  std::vector<std::vector<unsigned char>> expected;
  std::vector<signed char> payload(payloadBytes(cw, ch));
  for (int f = 0; f < frames; ++f) {
    const bool key = f % 2 == 0;
    for (auto& c : payload)
      if (key || rng() % 40 == 0) c = static_cast<signed char>(rng() % 5 == 0 ? rng() : 0);
    const float table[64] = {1.5f + static_cast<float>(f), 3.0f, 2.0f, 7.0f};
    writer.writeFrame(payload.data(), key, f == 0 || f == 3 ? table : nullptr);
    if (key && f > 0) decoder.reinit(cw, ch);
    if (f == 0 || f == 3) decoder.setTable(table);
    expected.emplace_back(3 * w * h);
    EXPECT_EQ(kelvo4_decoder_decode_region(decoder.get(), payload.data(), static_cast<int>(payload.size()),
                                           expected.back().data(), KELVO4_RGB24, w, h, 3 * w * h),
              0);
  }
  writer.close();
  return expected;
}

TEST(Stream, LayoutThreadsSourcesAndSeeking) {
  const std::string path = tempPath("good.klv");
  for (int level : {0, 3}) {
    SCOPED_TRACE(level);
    // Little-endian: magic, version 3, 200x120, 208x128, 25/1, 6 frames, then
    // frame 0: key, table, coded when a level is set. The same frames from a
    // file and from a read function, whatever the thread count (the threaded
    // ones run under ThreadSanitizer in CI), on frames of several bands, which
    // the worker helps decode.
    const auto banded = writeStream(path, level, 6, 200, 120);
    const Bytes bandedBytes = fileBytes(path);
    const std::string start("KLV4\x03\0\0\0\xc8\0\0\0\x78\0\0\0\xd0\0\0\0\x80\0\0\0\x19\0\0\0\x01\0\0\0\x06\0\0\0", 36);
    ASSERT_EQ(std::string(bandedBytes.begin(), bandedBytes.begin() + 36), start);
    EXPECT_EQ(bandedBytes[48], level ? 11 : 3);
    EXPECT_EQ(kelvo4_c_peek_frames(path.c_str()), 6);  // peek from C: 1 before each frame, then 0
    for (int threads : {1, 2, 3}) {
      Played p = playFile(path, threads);
      EXPECT_EQ(p.rc, 0) << p.message;
      EXPECT_EQ(p.frames, banded) << threads << " threads";
      Memory m{&bandedBytes};
      kelvo4::Stream piped(Memory::read, &m, "pipe", threads);
      p = play(piped.get());
      EXPECT_EQ(p.rc, 0) << p.message;
      EXPECT_EQ(p.frames, banded) << threads << " threads, read function";
    }
  }
  // Seeking lands on every frame, through the index and, where a pipe left
  // the header without count and index, through the records; packed pixels
  // are the same bytes.
  const auto expected = writeStream(path, 3, 5);
  Bytes bytes = fileBytes(path);
  for (bool piped : {false, true}) {
    if (piped) {
      std::fill(bytes.begin() + 32, bytes.begin() + 44, 0);
      std::fill(bytes.begin() + 32, bytes.begin() + 36, 0xFF);
      putBytes(path, bytes);
    }
    for (int threads : {1, 2}) {
      kelvo4::Stream stream(path, threads);
      const kelvo4_stream_info info = stream.info();
      EXPECT_EQ(std::vector<long long>({info.width, info.height, info.coded_width, info.coded_height, info.rate_num,
                                        info.rate_den, info.frame_count, info.key_frames, info.version}),
                std::vector<long long>({20, 12, 32, 16, 25, 1, 5, 3, 3}));
      EXPECT_EQ(stream.keyFrames(), std::vector<std::int64_t>({0, 2, 4}));
      std::vector<std::uint32_t> argb(20 * 12);
      for (int f : {3, 1, 2, 4, 0, 0}) {
        stream.seek(f);
        ASSERT_TRUE(stream.next(argb.data(), 4 * argb.size(), KELVO4_ARGB32));
        for (std::size_t i = 0; i < argb.size(); ++i)
          ASSERT_EQ(argb[i], 0xFF000000u | expected[f][3 * i] << 16 | expected[f][3 * i + 1] << 8 | expected[f][3 * i + 2])
              << "seek to " << f << " pixel " << i;
      }
      stream.seek(5);
      EXPECT_FALSE(stream.next(nullptr, 0));
      EXPECT_FALSE(stream.next(nullptr, 0));  // the end stays the end
      EXPECT_EQ(kelvo4_stream_seek(stream.get(), 6), -ERANGE);
      EXPECT_STREQ(kelvo4_stream_error(stream.get()), (path + ": no frame 6 (the stream has 5 frames)").c_str());
      const kelvo4::Stream taken = std::move(stream);
      EXPECT_TRUE(stream.keyFrames().empty());  // NOLINT(bugprone-use-after-move): moved-from has none
    }
  }
  // A read function tells a frame past its end once it gets there (its count
  // at the end, forward seeks and ESPIPE are KelvoStreamReaderTest's).
  Memory m{&bytes};
  kelvo4::Stream piped(Memory::read, &m);
  EXPECT_EQ(kelvo4_stream_seek(piped.get(), 9), -ERANGE);
  EXPECT_STREQ(kelvo4_stream_error(piped.get()), "stream: no frame 9 (the stream ends after 5 frames)");
  // Seeking to where it is while the worker reads ahead to the end, which
  // tells the count (a race under ThreadSanitizer when the seek looked at it
  // without waiting).
  Memory ahead{&bytes};
  ahead.pauseMs = 20;
  kelvo4::Stream both(Memory::read, &ahead, "pipe", 2);
  for (int f = 0; f < 5; ++f) {
    ASSERT_TRUE(both.next(nullptr, 0));
    both.seek(f + 1);
  }
  EXPECT_FALSE(both.next(nullptr, 0));
  std::remove(path.c_str());
}

TEST(Stream, BadArgumentsChangeNothingAndReadFailuresStick) {
  const std::string path = tempPath("args.klv");
  const auto expected = writeStream(path, 3);
  const Bytes bytes = fileBytes(path);
  kelvo4_stream* s = nullptr;
  EXPECT_EQ(kelvo4_stream_open_file(&s, path.c_str(), 0), -EINVAL);
  EXPECT_EQ(kelvo4_stream_open_file(&s, path.c_str(), KELVO4_MAX_THREADS + 1), -EINVAL);
  EXPECT_EQ(kelvo4_stream_open_callback(&s, nullptr, nullptr, nullptr, 1), -EINVAL);
  EXPECT_EQ(s, nullptr);
  // A picture of more pixels than the reader accepts is refused at open (the
  // message is tools_bad_input.sh's); no limit is the format's.
  EXPECT_EQ(kelvo4_stream_open_file_limited(&s, path.c_str(), 1, 20 * 12 - 1), -EFBIG);
  Memory limited{&bytes};
  EXPECT_EQ(kelvo4_stream_open_callback_limited(&s, Memory::read, &limited, nullptr, 1, 20 * 12 - 1), -EFBIG);
  ASSERT_EQ(kelvo4_stream_open_file_limited(&s, path.c_str(), 1, 20 * 12), 0);
  kelvo4_stream_close(&s);
  ASSERT_EQ(kelvo4_stream_open_file(&s, path.c_str(), 2), 0);
  std::vector<unsigned char> rgb(4 * 20 * 12);
  EXPECT_EQ(kelvo4_stream_next(s, rgb.data(), 3 * 20 * 12 - 1, KELVO4_RGB24), -EINVAL);
  EXPECT_EQ(kelvo4_stream_next(s, rgb.data(), 3 * 20 * 12, KELVO4_ARGB32), -EINVAL);
  EXPECT_EQ(kelvo4_stream_next(s, nullptr, 3 * 20 * 12, KELVO4_RGB24), -EINVAL);
  EXPECT_EQ(kelvo4_stream_next(s, rgb.data(), 3 * 20 * 12, static_cast<kelvo4_format>(2)), -EINVAL);
  // Info for the struct of 1.0 (its fields, each byte after them left
  // alone) and for newer headers' larger one; anything smaller is refused.
  union {
    kelvo4_stream_info info;
    unsigned char bytes[sizeof(kelvo4_stream_info) + 8];
  } older;
  struct {
    kelvo4_stream_info info{};
    std::int64_t later = 7;
  } newer;
  newer.info.size = sizeof newer;
  EXPECT_EQ(kelvo4_stream_get_info(s, &newer.info), 0);
  EXPECT_EQ(std::tuple(newer.info.size, newer.info.width, newer.later), std::tuple(sizeof newer, 20, 7));
  std::memset(&older, 0xCD, sizeof older);
  older.info.size = KELVO4_STREAM_INFO_SIZE_1_0;
  EXPECT_EQ(kelvo4_stream_get_info(s, &older.info), 0);
  EXPECT_EQ(std::memcmp(&older.info.width, &newer.info.width, KELVO4_STREAM_INFO_SIZE_1_0 - sizeof(size_t)), 0);
  for (std::size_t i = KELVO4_STREAM_INFO_SIZE_1_0; i < sizeof older; ++i) EXPECT_EQ(older.bytes[i], 0xCD) << i;
  newer.info.size = KELVO4_STREAM_INFO_SIZE_1_0 - 1;
  EXPECT_EQ(kelvo4_stream_get_info(s, &newer.info), -EINVAL);
  // Regions of the picture into rows with gaps, and settings: a refused
  // region or stride changes nothing.
  kelvo4_stream* region = nullptr;
  kelvo4_settings settings = {sizeof settings, 0, -1};
  ASSERT_EQ(kelvo4_stream_open_file_with(&region, path.c_str(), &settings), 0);
  std::vector<unsigned char> gaps(4 * 20 * 12, 0xCD);
  EXPECT_EQ(kelvo4_stream_next_into(region, gaps.data(), gaps.size(), KELVO4_RGB24, 21, 1, 63), -EINVAL);
  EXPECT_EQ(kelvo4_stream_next_into(region, gaps.data(), gaps.size(), KELVO4_RGB24, 20, 1, 59), -EINVAL);
  EXPECT_STREQ(kelvo4_stream_error(region), (path + ": stride of 59 bytes: rows of 20 pixels take 60").c_str());
  EXPECT_EQ(kelvo4_stream_next_into(region, gaps.data(), 6 * 61 + 17 * 3 - 1, KELVO4_RGB24, 17, 7, 61), -EINVAL);
  ASSERT_EQ(kelvo4_stream_next_into(region, gaps.data() + 1, 6 * 61 + 17 * 3, KELVO4_RGB24, 17, 7, 61), 1);
  for (std::size_t i = 0; i < gaps.size(); ++i) {
    const std::size_t y = (i - 1) / 61, x = (i - 1) % 61;
    EXPECT_EQ(gaps[i], i >= 1 && y < 7 && x < 51 ? expected[0][3 * 20 * y + x] : 0xCD) << i;
  }
  ASSERT_EQ(kelvo4_stream_next_into(region, nullptr, 0, KELVO4_ARGB32, 0, 0, 0), 1);
  kelvo4_stream_close(&region);
  settings.threads = 2;
  const kelvo4::Stream threaded(path, settings);
  settings = {sizeof settings, 1, 20 * 12 - 1};
  EXPECT_EQ(kelvo4_stream_open_file_with(&region, path.c_str(), &settings), -EFBIG);
  settings.size = 4;
  EXPECT_EQ(kelvo4_stream_open_callback_with(&region, Memory::read, &limited, "pipe", &settings), -EINVAL);
  EXPECT_EQ(kelvo4_stream_error(nullptr), "pipe: settings of 4 bytes: they take at least " +
                                              std::to_string(KELVO4_SETTINGS_SIZE_1_1) +
                                              " (set size to sizeof(kelvo4_settings))");
  EXPECT_EQ(region, nullptr);
  EXPECT_EQ(kelvo4_stream_seek(s, -1), -ERANGE);
  EXPECT_EQ(kelvo4_stream_position(s), 0);
  ASSERT_EQ(kelvo4_stream_next(s, rgb.data(), 3 * 20 * 12, KELVO4_RGB24), 1);
  EXPECT_TRUE(std::equal(expected[0].begin(), expected[0].end(), rgb.begin()));
  kelvo4_stream_close(&s);
  kelvo4_stream_close(&s);
  EXPECT_EQ(s, nullptr);
  // A null stream through every call: refused, or the documented answer.
  kelvo4_stream_info info{};
  info.size = sizeof info;
  EXPECT_EQ(kelvo4_stream_next(nullptr, nullptr, 0, KELVO4_RGB24), -EINVAL);
  EXPECT_EQ(kelvo4_stream_next_into(nullptr, nullptr, 0, KELVO4_RGB24, 0, 0, 0), -EINVAL);
  EXPECT_EQ(kelvo4_stream_get_info(nullptr, &info), -EINVAL);
  EXPECT_EQ(kelvo4_stream_seek(nullptr, 0), -EINVAL);
  EXPECT_EQ(kelvo4_stream_position(nullptr), -1);
  EXPECT_EQ(kelvo4_stream_key_frames(nullptr, nullptr, 0), -1);
  EXPECT_EQ(kelvo4_stream_damage(nullptr), nullptr);
  EXPECT_NE(kelvo4_stream_error(nullptr), nullptr);
  kelvo4_stream_close(nullptr);
  EXPECT_EQ(kelvo4_stream_open_file(nullptr, path.c_str(), 1), -EINVAL);
  EXPECT_EQ(kelvo4_stream_open_file_with(nullptr, path.c_str(), nullptr), -EINVAL);
  EXPECT_EQ(kelvo4_stream_open_callback_with(nullptr, Memory::read, &limited, nullptr, nullptr), -EINVAL);
  // A read function that fails inside the last frame, or throws there (on
  // the worker too: an error, not the end of the process): the frames before
  // it play, then its error, for good.
  const std::string thrown = "socket: an exception was thrown: peer vanished";
  const std::tuple<int, int, std::string, std::string> failures[] = {
      {ECONNRESET, -ECONNRESET, "socket: at byte ", std::strerror(ECONNRESET)}, {0, -EIO, thrown, thrown}};
  for (int threads : {1, 2}) {
    for (const auto& [error, rc, start, end] : failures) {
      Memory m{&bytes, 0, 64, bytes.size() - 40, error};
      ASSERT_EQ(kelvo4_stream_open_callback(&s, Memory::read, &m, "socket", threads), 0);
      const Played p = play(s);
      EXPECT_EQ(std::pair(p.frames.size(), p.rc), std::pair(std::size_t{2}, rc));
      EXPECT_TRUE(p.message.starts_with(start) && p.message.ends_with(end)) << p.message;
      EXPECT_EQ(kelvo4_stream_next(s, nullptr, 0, KELVO4_RGB24), rc);
      kelvo4_stream_close(&s);
    }
    Memory m{&bytes, 0, 64, 10, -1};
    EXPECT_EQ(kelvo4_stream_open_callback(&s, Memory::read, &m, "socket", threads), -EIO);
    EXPECT_STREQ(kelvo4_stream_error(nullptr), "socket: an exception of unknown type was thrown");
  }
  // A read function that returns more than it was asked for is at fault.
  const auto liar = [](void*, void*, std::size_t length) { return static_cast<std::ptrdiff_t>(length + 1); };
  EXPECT_EQ(kelvo4_stream_open_callback(&s, liar, nullptr, "liar", 1), -EIO);
  EXPECT_STREQ(kelvo4_stream_error(nullptr), "liar: at byte 0: the read function returned 9 bytes where at most 8 were asked for");
  std::remove(path.c_str());
}

// A 1.0 program's catch clauses still catch what the wrapper throws, each
// through one standard base (a catch clause takes what converts to its type);
// catch (const kelvo4::Error&) catches it all.
template <class Standard, class Thrown>
void expectCaught(const Thrown& thrown, int code) {
  const Standard& standard = thrown;
  const std::exception& any = thrown;
  EXPECT_STREQ(any.what(), standard.what());
  const kelvo4::Error& e = thrown;
  EXPECT_EQ(e.code(), code);
  EXPECT_TRUE(std::string(thrown.what()).find(e.message()) != std::string::npos) << e.message();
}

TEST(Stream, EveryWrapperFailureCaughtAsBeforeAndInOnePlace) {
  try {
    kelvo4::Stream("no such.klv");
    ADD_FAILURE();
  } catch (const StreamError& e) {
    EXPECT_EQ(e.code().value(), ENOENT);  // std::system_error's code(), as in 1.0
    expectCaught<std::system_error>(e, ENOENT);
  }
  try {
    kelvo4::Decoder(16, 16, 0);
    ADD_FAILURE();
  } catch (const DecoderError& e) {
    EXPECT_STREQ(e.what(), (std::string("open: threads must be 1 to 64: ") + std::strerror(EINVAL)).c_str());
    expectCaught<std::system_error>(e, EINVAL);
  }
  expectCaught<std::bad_alloc>(StreamOutOfMemory("x.klv: out of memory"), ENOMEM);
  expectCaught<std::bad_alloc>(DecoderOutOfMemory("out of memory for frames of 9x9"), ENOMEM);
}

// A file without its index and one cut between frames play every intact
// frame, seek over them, and then fail with the damage, named as it is before
// they play (a cut inside a frame, as a killed writer leaves it, is
// KelvoStreamReaderTest's and tests/conformance/damaged-cut.klv's).
TEST(Stream, DamagedFilesPlayUpToTheDamage) {
  const std::string path = tempPath("damaged.klv");
  const auto expected = writeStream(path, 3, 5, 200, 120);
  const Bytes bytes = fileBytes(path);
  std::size_t record[6] = {48};  // each frame's record, then the index
  for (int f = 0; f < 5; ++f)
    record[f + 1] = record[f] + 8 + (bytes[record[f]] & 2 ? 256 : 0) + getU32(&bytes[record[f] + 4]);
  const struct {
    std::size_t keep;
    long intact;
    std::string damage;
  } cases[] = {
      {record[5], 5,
       "truncated at byte " + std::to_string(record[5]) + ": the key frame index, which the header places at byte " +
           std::to_string(record[5]) + ", is missing"},
      {record[4], 4, "the stream ends after 4 of the 5 frames its header gives"},
  };
  for (const auto& c : cases) {
    putBytes(path, Bytes(bytes.begin(), bytes.begin() + static_cast<long>(c.keep)));
    for (int threads : {1, 2}) {
      kelvo4::Stream stream(path, threads);
      EXPECT_TRUE(stream.damage().starts_with(path + ": ") && stream.damage().ends_with(c.damage)) << stream.damage();
      EXPECT_EQ(stream.info().frame_count, static_cast<long long>(c.intact));
      stream.seek(static_cast<std::int64_t>(c.intact) - 1);
      const Played last = play(stream.get());
      EXPECT_EQ(std::tuple(last.frames, last.rc, last.message),
                std::tuple(std::vector<Bytes>{expected[c.intact - 1]}, -EBADMSG, stream.damage()));
      stream.seek(0);
      EXPECT_EQ(play(stream.get()).frames, std::vector(expected.begin(), expected.begin() + c.intact));
    }
  }
  std::remove(path.c_str());
}

// Two frames of 20x12 (coded 32x16) with one payload, both coded, frame 0 a
// key frame with a table.
Bytes twoCodedFrames() {
  const std::string path = tempPath("good.klv");
  StreamWriter writer(path, {20, 12}, 3);
  std::vector<signed char> payload(payloadBytes(32, 16), 5);
  const float table[64] = {1.5f};
  writer.writeFrame(payload.data(), true, table);
  writer.writeFrame(payload.data(), false, nullptr);
  writer.close();
  const Bytes bytes = fileBytes(path);
  std::remove(path.c_str());
  return bytes;
}

// A stream cut to `keep` bytes, with `patch` written at `at`: it fails with
// a message that names the file and holds `expected`.
struct Malformed {
  std::size_t keep, at;
  Bytes patch;
  std::string expected;
};
void expectMalformed(const Bytes& bytes, const std::vector<Malformed>& cases) {
  const std::string path = tempPath("bad.klv");
  for (const auto& c : cases) {
    Bytes bad(bytes.begin(), bytes.begin() + static_cast<long>(c.keep));
    std::copy(c.patch.begin(), c.patch.end(), bad.begin() + static_cast<long>(c.at));
    putBytes(path, bad);
    const Played p = playFile(path);
    EXPECT_EQ(p.rc, -EBADMSG) << p.message;
    EXPECT_TRUE(p.message.starts_with(path + ": ") && p.message.find(c.expected) != std::string::npos)
        << p.message << " (expected " << c.expected << ")";
  }
  std::remove(path.c_str());
}

// The header's, the index's and a record's faults, then a coded payload's
// lengths or check caught before its structure.
TEST(Stream, MalformedFilesNameTheirByteFrameOrEntry) {
  const Bytes bytes = twoCodedFrames();
  // Frame 0's coded payload: the lengths of the table update and the two
  // coders' words, the check, then those and the bits; then frame 1's record.
  const std::size_t coded = 48 + 8 + 256, second = coded + (bytes[52] | bytes[53] << 8);
  // The lengths of the table update and the first coder's words, with two
  // bytes moved from the one to the other.
  Bytes moveWord(bytes.begin() + static_cast<long>(coded), bytes.begin() + static_cast<long>(coded + 8));
  moveWord[0] = static_cast<unsigned char>(moveWord[0] - 2), moveWord[4] = static_cast<unsigned char>(moveWord[4] + 2);
  expectMalformed(bytes, {
      {0, 0, {}, "at byte 0: truncated header (0 bytes)"},
      {30, 0, {}, "at byte 30: truncated header (30 of 48 bytes)"},
      {bytes.size(), 4, {4}, "at byte 4: unsupported format version 4"},
      {bytes.size(), 8, {0}, "at byte 8: impossible frame size 0x12"},
      {bytes.size(), 8, {0x30, 0x75, 0, 0, 0x30, 0x75}, "at byte 8: impossible frame size 30000x30000"},
      {bytes.size(), 16, {48}, "at byte 16: coded size 48x16 does not fit the picture size 20x12"},
      {bytes.size(), 24, {1}, "at byte 24: impossible frame rate 1/0"},
      {bytes.size(), 32, {0xFF, 0xFF, 0, 0}, "at byte 32: claims 65535 frames"},
      {bytes.size() - 1, 0, {}, "bad key frame index: no index there or a count of 1"},
      {bytes.size(), 36, {0xFF}, "at byte 36: the header places the key frame index at byte 1023, but the frame records end at"},
      {bytes.size(), bytes.size() - 12, {1}, "bad key frame index: entry 0"},
      {bytes.size(), 49, {1}, "frame 0 at byte 48: not a frame record"},
      {bytes.size(), 48, {3}, "frame 0 at byte 48: stored size"},
      {bytes.size(), 48, {3, 0, 0, 0, 0, 3}, "frame 0: 747 of 1032 bytes"},
      {bytes.size(), second, {5}, "frame 1 at byte " + std::to_string(second) + ": a key frame without a table"},
      {bytes.size(), 52, {0xFF, 0xFF, 0}, "frame 0 at byte 48: stored size 65535 does not fit"},
      {bytes.size(), 58, {0xc0, 0x7f}, "frame 0 at byte 48: dequantisation factor 0 is not finite"},  // NaN
      {bytes.size(), 48, {15}, "frame 0 at byte 48: not a frame record"},  // zstd and coded at once
      {bytes.size(), coded + 12, {0xF0}, "frame 0 at byte " + std::to_string(coded + 12) + ": corrupt coded payload: checksum"},
      {bytes.size(), coded, moveWord, ": corrupt coded payload: checksum"},
      {bytes.size(), coded + 1, {0xFF}, "frame 0 at byte " + std::to_string(coded) + ": corrupt coded payload: coded frame of"},
      {bytes.size(), coded + 5, {0xFF, 0xFF, 0xFF}, ": corrupt coded payload: coded frame of"},
      {bytes.size(), coded + 4, {2, 0, 0, 0}, ": corrupt coded payload: coded frame gives its two coders 2 + "},
      {bytes.size(), coded + 4, {5, 0, 0, 0}, "frame 0 at byte " + std::to_string(coded + 4) +
           ": corrupt coded payload: coded frame gives its two coders 5 + " + std::to_string(getU32(&bytes[coded + 8])) +
           " bytes of words, not whole 2-byte words"},
  });
  // A missing file and a folder by their messages are tool tests' (decode_missing_stream, decode_directory).
  EXPECT_EQ(playFile(".").rc, -EISDIR);
}

// An index entry that names a record that is no key frame: the records are
// walked instead, so seeking still lands right, and the damage is told after
// the last frame (a key frame's record under another frame's number is
// tests/conformance/damaged-index.klv).
TEST(Stream, IndexEntryOfNoKeyFrameIsWalkedPastThenNamed) {
  const std::string path = tempPath("index.klv");
  const auto expected = writeStream(path, 3, 5);
  Bytes indexed = fileBytes(path);
  std::uint64_t third = 48;  // frame 3's record
  for (int f = 0; f < 3; ++f) third += 8 + (indexed[third] & 2 ? 256 : 0) + getU32(&indexed[third + 4]);
  putU64(&indexed[indexed.size() - 20], third);  // entry 1: frame 2 at frame 3's record
  putBytes(path, indexed);
  kelvo4::Stream lying(path);
  lying.seek(3);
  const Played p = play(lying.get());
  EXPECT_EQ(std::tuple(p.frames, p.rc), std::tuple(std::vector(expected.begin() + 3, expected.end()), -EBADMSG));
  EXPECT_TRUE(p.message.ends_with("entry 1 (frame 2 at byte " + std::to_string(third) + ") is no key frame's record"))
      << p.message;
  std::remove(path.c_str());
}

// A coded frame with its table update and plain bits, and the lengths and
// check the writer would give it. Each coder's words are only its final
// state, 65536, the initial one: a table of a single token leaves the state
// as it is and reads no word.
Bytes codedFrame(const Bytes& update, const Bytes& plain = {}) {
  const std::size_t t = update.size();
  Bytes f(16 + t + 8 + plain.size());
  putU32(&f[0], static_cast<std::uint32_t>(t));
  putU32(&f[4], 4);
  putU32(&f[8], 4);
  std::copy(update.begin(), update.end(), f.begin() + 16);
  f[16 + t] = f[20 + t] = 1;
  std::copy(plain.begin(), plain.end(), f.begin() + static_cast<long>(24 + t));
  putU32(&f[12], coefficients::frameCheck(f.data(), f.size()));
  return f;
}

// One zstd frame holding `content` as one raw block, stating `stated` as its
// content size.
Bytes zstdFrame(const Bytes& content, std::size_t stated) {
  Bytes z(12 + content.size());
  putU32(&z[0], 0xFD2FB528);
  z[4] = 0xA0;  // one segment, a 4-byte content size
  putU32(&z[5], static_cast<std::uint32_t>(stated));
  putU32(&z[9], static_cast<std::uint32_t>(content.size() << 3 | 1));  // the last block, raw (3 bytes)
  std::copy(content.begin(), content.end(), z.begin() + 12);
  return z;
}

// A table update giving the contexts of activity 0 (all a frame of empty
// blocks uses) a table of one token at `level`: `first` for the contexts of
// a block's first position, `rest` for the others; -1 for none.
Bytes singleTokenTables(int first, int rest, int level = 1) {
  Bytes u(15);
  for (int ctx = 0; ctx < 120; ctx += 6) {
    u[static_cast<std::size_t>(ctx / 8)] |= static_cast<unsigned char>(1 << ctx % 8);
    Bytes table(131);
    const int token = ctx / 6 % 10 ? rest : first;  // band 0 is position 0's
    if (token >= 0) table[static_cast<std::size_t>(token)] = static_cast<unsigned char>(level);
    u.insert(u.end(), table.begin(), table.end());
  }
  return zstdFrame(u, u.size());
}

// Crafted coded frames whose lengths and check are right but whose structure
// is not, each the key frame of a 64x32 stream from a pipe: every check of
// the coefficient decoder after the check names its fault and its byte.
TEST(Stream, CodedFramesOfBadStructureNameTheirFaultAndByte) {
  enum { kEnd = 0, kSixteenZeros = 1, kOne = 2, kLarge = 9, kMark = 130 };  // tokens: a magnitude of 1, of 65-128
  const Bytes ends = singleTokenTables(kEnd, kEnd), ones = singleTokenTables(kOne, kOne);
  const Bytes oneBitmap = [] {  // a table promised, none given
    Bytes b(15);
    b[0] = 1;
    return zstdFrame(b, 15);
  }();
  const auto after = [](const Bytes& update) { return 16 + update.size() + 4; };  // the first coder's words
  const struct {
    Bytes frame;
    std::size_t at;  // of the coded frame
    std::string fault;
  } cases[] = {
      {codedFrame(ends), 0, ""},  // the crafting itself is sound: blocks of zeros
      {codedFrame({}), 22, "block 0 uses a context without a table"},  // after the word it read
      {codedFrame(singleTokenTables(kMark, kMark)), after(ends), "block 0 is a difference in a key frame"},
      {codedFrame(singleTokenTables(kOne, kMark)), after(ends), "block 0 has a difference mark after its start"},
      {codedFrame(singleTokenTables(kLarge, kLarge), {0x7E}), after(ends), "coefficient +128 in block 0"},
      {codedFrame(singleTokenTables(kSixteenZeros, kSixteenZeros)), after(ends), "block 0 runs past its 64 coefficients"},
      {codedFrame(ones), codedFrame(ones).size(), "coded data ends early"},  // 64 coefficients, no plain bits
      {codedFrame(ends, {0}), after(ends), "coded data does not end where it should"},  // a plain byte left
      {codedFrame({'n', 'o', 't', ' ', 'z', 's', 't', 'd'}), 16, "corrupt table update"},
      {codedFrame(zstdFrame(Bytes(14), 14)), 16, "corrupt table update"},  // smaller than the bitmap
      {codedFrame(zstdFrame(Bytes(19), 20)), 16, "corrupt table update"},  // fewer bytes than stated
      {codedFrame(oneBitmap), 16, "corrupt table update"},
      {codedFrame(singleTokenTables(kEnd, kEnd, 201)), 16, "table of context 0: level 201"},
      {codedFrame(singleTokenTables(-1, -1)), 16, "table of context 0 is empty"},
  };
  for (const auto& c : cases) {
    Bytes stream(48 + 8 + 256);
    std::memcpy(stream.data(), "KLV4", 4);
    for (auto [at, v] : {std::pair{4, 3u}, {8, 64u}, {12, 32u}, {16, 64u}, {20, 32u}, {24, 25u}, {28, 1u}, {32, ~0u}})
      putU32(&stream[static_cast<std::size_t>(at)], v);  // no count, no index: as written to a pipe
    stream[48] = 11;  // a key frame with a table, coded
    putU32(&stream[52], static_cast<std::uint32_t>(c.frame.size()));
    for (int k = 0; k < 64; ++k) putU32(&stream[56 + 4 * k], 0x3F800000);  // factors of 1
    stream.insert(stream.end(), c.frame.begin(), c.frame.end());
    Memory m{&stream};
    kelvo4::Stream piped(Memory::read, &m, "crafted");
    const Played p = play(piped.get());
    EXPECT_EQ(std::pair(p.frames.size(), p.rc),
              c.fault.empty() ? std::pair(std::size_t{1}, 0) : std::pair(std::size_t{0}, -EBADMSG));
    EXPECT_EQ(p.message, c.fault.empty() ? "" : "crafted: frame 0 at byte " + std::to_string(312 + c.at) +
                                                     ": corrupt coded payload: " + c.fault);
  }
}

// Offsets past 4 GiB seek and tell (32 bits on Windows' plain fseek).
TEST(Stream, FileOffsetsPastFourGiB) {
  const std::string path = tempPath("sparse.bin");
  const std::int64_t far = (std::int64_t{5} << 30) + 3;
  std::FILE* f = os::openFile(path, "wb");
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(os::seek(f, far, SEEK_SET));
  EXPECT_EQ(std::fputc('k', f), 'k');
  EXPECT_EQ(os::tell(f), far + 1);
  std::fclose(f);
  EXPECT_EQ(os::fileInfo(path).size, static_cast<std::uint64_t>(far + 1));
  f = os::openFile(path, "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(os::seek(f, -1, SEEK_END));
  EXPECT_EQ(os::tell(f), far);
  EXPECT_EQ(std::fgetc(f), 'k');
  std::fclose(f);
  EXPECT_TRUE(os::removeFile(path));
}

}  // namespace
