// Stream files: what the command-line tools store a coded sequence in.
//
// Layout, all integers little-endian:
//   offset 0    "KLV4"                  magic
//   offset 4    u32 version             kStreamVersion
//   offset 8    u32 width, u32 height   frame size in pixels
//   offset 16   64 x float32            dequantisation factors, natural order
//   offset 272  frames, each exactly payloadBytes(width, height) bytes
// The frame count follows from the file length, so a stream can be written to
// a pipe. The decoder library never sees this header: it only gets the size,
// the table and one payload at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvo {

inline constexpr std::uint32_t kStreamVersion = 1;
inline constexpr int kStreamHeaderBytes = 272;
// Largest accepted frame side; with 3 * w * h < 2^31 it keeps every size
// computation of the decoder within 32 bits.
inline constexpr int kMaxSide = 32768;

// Thrown for any malformed or unreadable stream and for any I/O failure; the
// message names the file and, where it applies, the byte offset.
class StreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct StreamHeader {
  int width = 0;
  int height = 0;
  float table[64] = {};
};

// Payload size the decoder accepts for a w x h frame: n + n / 2, n = w * h.
std::size_t payloadBytes(int width, int height);

// True when a w x h frame can be coded: both sides in 1 .. kMaxSide and
// 3 * w * h below 2^31.
bool validFrameSize(int width, int height);

// Writes a stream to a file, or to standard output for the name "-".
class StreamWriter {
 public:
  // Creates the file and writes the header; throws StreamError.
  StreamWriter(const std::string& path, const StreamHeader& header);
  ~StreamWriter();
  StreamWriter(const StreamWriter&) = delete;
  StreamWriter& operator=(const StreamWriter&) = delete;

  // Appends one payload of exactly payloadBytes() bytes; throws StreamError.
  void writeFrame(const signed char* payload);
  // Flushes and closes, reporting a failed write; the destructor closes
  // silently.
  void close();

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
  bool owned_ = false;
  std::size_t frameBytes_ = 0;
};

// Reads a stream from a file, or from standard input for the name "-".
class StreamReader {
 public:
  // Opens the file and reads and checks the header; throws StreamError for a
  // missing file, a short header, a bad magic, an unknown version, an
  // impossible size or a table entry that is not finite.
  explicit StreamReader(const std::string& path);
  ~StreamReader();
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  const StreamHeader& header() const { return header_; }
  std::size_t frameBytes() const { return frameBytes_; }
  // Number of frames read so far.
  long framesRead() const { return frames_; }

  // Reads the next payload into out (resized to frameBytes()). Returns false
  // at a clean end of the stream; throws StreamError for a partial frame.
  bool readFrame(std::vector<signed char>& out);

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
  bool owned_ = false;
  StreamHeader header_;
  std::size_t frameBytes_ = 0;
  long frames_ = 0;
};

}  // namespace kelvo
