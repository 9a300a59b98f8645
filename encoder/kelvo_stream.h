// Stream files: what the command-line tools store a coded sequence in. The
// decoder library never sees them: it only gets the size, the table and one
// payload at a time.
//
// Version 2, all integers little-endian:
//   header, 48 bytes
//     0   "KLV4"                    magic
//     4   u32 version               2
//     8   u32 width, u32 height     the picture's size, 1 .. kMaxSide each
//     16  u32 coded width, height   each side rounded up to a multiple of 16
//     24  u32 rate num, rate den    frames per second as a fraction; 0/0 unknown
//     32  u32 frame count           0xFFFFFFFF when unknown (written to a pipe)
//     36  u64 index offset          0 when there is no index
//     44  u32 reserved              0
//   then the frames, each a record
//     0   u8 flags                  1 key frame, 2 table follows, 4 compressed
//     1   3 bytes reserved          0
//     4   u32 stored size S         bytes of the payload as stored
//     8   64 x float32              the new table, natural order (flag 2 only)
//     ..  S bytes                   the payload of the coded size: raw, or one
//                                   zstd frame that holds exactly that many bytes
//   then, at the index offset, the key frames
//     0   "KIDX"
//     4   u32 K                     key frame count
//     8   K x (u32 frame, u64 offset of its record)
// Frame 0 is a key frame, and every key frame carries a table. A table
// applies from its frame on; a key frame restarts the decoder (reinit at the
// coded size) before it, so decoding can start there. The coded picture's margin repeats the edge
// pixels; readers crop to the picture's size.
//
// Version 1 (still read): "KLV4", u32 1, u32 width, u32 height, 64 float32,
// then raw payloads of width x height, the count following from the length.
#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "format.h"

namespace kelvo4 {

inline constexpr std::uint32_t kStreamVersion = 2;
inline constexpr int kHeaderBytes = 48;
inline constexpr int kRecordBytes = 8;  // a frame record before its table and payload
inline constexpr std::uint32_t kUnknownCount = 0xFFFFFFFF;
// Largest accepted picture side; with 3 * w * h < 2^31 (at the coded size) it
// keeps every size computation of the decoder within 32 bits.
inline constexpr int kMaxSide = 32768;

// Thrown for any malformed or unreadable stream and for any I/O failure; the
// message names the file and, where it applies, the frame and the byte offset.
class StreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// fopen, except that "-" is standard input, or standard output for a mode
// that writes; null with errno set when the file cannot be opened.
inline std::FILE* openFile(const std::string& path, const char* mode) {
  if (path == "-") return mode[0] == 'r' ? stdin : stdout;
  return std::fopen(path.c_str(), mode);
}


// True when a w x h picture can be coded: both sides in 1 .. kMaxSide and
// 3 * w * h below 2^31 at the coded size.
bool validFrameSize(int width, int height);

// A side rounded up to a multiple of 16.
inline int codedSide(int side) { return (side + 15) / 16 * 16; }

struct StreamInfo {
  int width = 0, height = 0;            // the picture
  int codedWidth = 0, codedHeight = 0;  // what the decoder is sized to
  std::uint32_t rateNum = 0, rateDen = 0;  // 0/0: unknown
  long frameCount = -1;                    // -1: unknown
  int version = kStreamVersion;
};

// One frame as stored: whether it is a key frame, the table it brings (if
// any), and its payload, decompressed.
struct Frame {
  bool key = false;
  bool hasTable = false;
  float table[64] = {};
  std::vector<signed char> payload;  // payloadBytes(coded size)
};

struct KeyFrame {
  long frame;
  std::uint64_t offset;  // of its record
};

// Writes a stream to a file, or to standard output for the name "-".
class StreamWriter {
 public:
  // Creates the file and writes the header for the picture size and rate in
  // info (the coded size follows); level is the zstd level, 0 for stored
  // payloads only. Throws StreamError.
  StreamWriter(const std::string& path, const StreamInfo& info, int level = kDefaultLevel);
  ~StreamWriter();  // as abandon() unless closed
  StreamWriter(const StreamWriter&) = delete;
  StreamWriter& operator=(const StreamWriter&) = delete;

  const StreamInfo& info() const { return info_; }
  // Appends one payload of the coded size, compressed where that is smaller;
  // table, when not null, is written with the frame, and a key frame repeats
  // the table in force when it brings none. Throws StreamError.
  void writeFrame(const signed char* payload, bool key, const float* table);
  // Writes the index, and, in a file, the frame count and index offset into
  // the header; flushes and closes, reporting a failed write.
  void close();
  // Closes without finishing and removes the file (not standard output).
  void abandon();

  static constexpr int kDefaultLevel = 3;

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
  bool owned_ = false;
  int level_;
  StreamInfo info_;
  std::uint64_t offset_ = 0;
  std::vector<KeyFrame> keys_;
  std::vector<char> packed_;
  float table_[64] = {};  // the table in force
  void* context_ = nullptr;  // compression state
};

// Reads a stream from a file, or from standard input for the name "-".
// Every length and count is checked against the file before anything is
// allocated for it.
class StreamReader {
 public:
  // Opens the file and reads and checks the header and, in a file, the index;
  // throws StreamError for a missing file, a short header, a bad magic, an
  // unknown version, an impossible size or rate, or a bad index.
  explicit StreamReader(const std::string& path);
  ~StreamReader();
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  const StreamInfo& info() const { return info_; }
  const std::string& path() const { return path_; }
  // The number of the frame readFrame reads next.
  long position() const { return next_; }
  // Bytes of the file, 0 when not seekable.
  std::uint64_t fileBytes() const { return fileBytes_; }

  // Reads the next frame. Returns false at a clean end of the stream; throws
  // StreamError (naming the frame and offset) for a short or corrupt frame.
  bool readFrame(Frame& out);

  // The key frames: from the index, or found by a scan of the record
  // headers. Empty for standard input.
  const std::vector<KeyFrame>& keyFrames();
  // The last key frame at or before `frame`. Throws StreamError for standard
  // input or a frame beyond the stream.
  KeyFrame keyFor(long frame);
  // Moves to keyFor(frame) and returns its number; readFrame then reads that
  // key frame.
  long seekKey(long frame);

 private:
  void readIndex(std::uint64_t indexAt);
  bool readBytes(void* out, std::size_t count);
  // Reads count bytes into out, growing it as they arrive.
  void readGrowing(std::vector<signed char>& out, std::size_t count, long frame);
  // The end of the frames at frame `frame`: false, or an error when the
  // header promised more.
  bool endOfFrames(long frame);

  std::string path_;
  std::FILE* file_ = nullptr;
  bool owned_ = false;
  StreamInfo info_;
  std::uint64_t fileBytes_ = 0;
  std::uint64_t offset_ = 0;  // of the next record
  std::uint64_t end_ = 0;     // where the frames end (the index), 0 if unknown
  long next_ = 0;
  bool scanned_ = false;
  std::vector<KeyFrame> keys_;
  std::vector<signed char> packed_;
  void* context_ = nullptr;  // decompression state
  float v1Table_[64] = {};
};

}  // namespace kelvo4
