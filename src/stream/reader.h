// The stream file parser behind kelvo4_stream: the header, the key frame
// index, and one frame record after another, every length and count checked
// against the bytes there are before anything is allocated for it. Failures
// throw StreamFailure with the message that names the stream, the frame and
// the byte offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kelvo4/stream.h"
#include "src/stream/stream_format.h"

namespace kelvo4 {

// Where a stream's bytes come from.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to n bytes into out; fewer only at the end. Throws StreamFailure.
  virtual std::size_t read(void* out, std::size_t n) = 0;
  // A file: it has a size and can seek.
  virtual bool seekable() const { return false; }
  virtual std::uint64_t size() const { return 0; }
  virtual void seek(std::uint64_t) {}
};

// The file at path (opened here; throws StreamFailure with its errno).
std::unique_ptr<ByteSource> openFileSource(const std::string& path);
// A caller's read function.
std::unique_ptr<ByteSource> callbackSource(kelvo4_stream_read_fn read, void* user, const std::string& name);

// One frame record: where it is, what it says, and the size of its stored
// payload (which readStored reads).
struct Record {
  long long frame = 0;
  std::uint64_t offset = 0;
  bool key = false, hasTable = false;
  bool compressed = false;  // a zstd frame (version 2)
  bool coded = false;       // a coded frame (version 3)
  float table[64] = {};
  std::uint32_t stored = 0;
};

class StreamParser {
 public:
  // Reads and checks the header and, in a file, the key frames (the index,
  // or the record headers when there is none).
  // Refuses (EFBIG) a picture of more than maxPixels pixels (< 0: none).
  StreamParser(std::unique_ptr<ByteSource> source, std::string name, long long maxPixels = -1);

  const StreamInfo& info() const { return info_; }
  const std::string& name() const { return name_; }
  bool seekable() const { return source_->seekable(); }
  // Where a file is damaged: the message a read after its last intact frame
  // gives ("" for an intact file, and for a read function, whose damage shows
  // as it is read). frameCount is then the number of intact frames.
  const std::string& damage() const { return damage_; }
  // Bytes of a payload at the coded size.
  std::size_t payloadBytes() const { return payloadBytes_; }
  // The key frames: all of a file's, those read so far from a read function.
  const std::vector<KeyFrame>& keys() const { return keys_; }
  // The last key frame at or before frame (which the caller has checked to be
  // within the stream).
  KeyFrame keyFor(long long frame) const;

  // Reads the header and table of the next frame's record; false at a clean
  // end of the stream.
  bool readRecord(Record& r);
  // Reads the stored payload of the record readRecord read last into out,
  // resized to it. From a read function the bytes are taken in steps, so a
  // size the stream lies about costs no more than the bytes it holds.
  void readStored(const Record& r, std::vector<signed char>& out);
  // Makes the record of key frame k the next one (a file only).
  void seekTo(const KeyFrame& k);

  // Messages: "NAME: at byte N: " and "NAME: frame F at byte N: ".
  std::string at(std::uint64_t offset) const;
  std::string at(long long frame, std::uint64_t offset) const;

 private:
  void readHeader();
  void checkPixels(std::uint32_t w, std::uint32_t h) const;
  void readIndex(std::uint64_t indexAt);
  // What walking the record headers from `from` (the record of `frame`) up to
  // `limit` finds: the key frames, the number of the frame after the last it
  // passed and where that is, and the damage the walk stopped at ("" when it
  // reached the limit).
  struct Walk {
    std::vector<KeyFrame> keys;
    long long frames = 0;
    std::uint64_t end = 0;
    std::string damage;
  };
  Walk walk(std::uint64_t from, long long frame, std::uint64_t limit) const;
  void scan(std::uint64_t limit, std::uint32_t count, std::uint64_t indexAt);
  void damage(std::string message);
  // "NAME: truncated at byte N, frame F: K of M bytes", for frame's record at
  // offset, of which have bytes of need are there.
  std::string truncated(long long frame, std::uint64_t offset, std::uint64_t have, std::uint64_t need) const;
  std::string checkRecord(const unsigned char* record, long long frame) const;
  bool readBytes(void* out, std::size_t count) { return source_->read(out, count) == count; }
  bool endOfFrames(long long frame);
  [[noreturn]] void fail(const std::string& message) const;

  std::unique_ptr<ByteSource> source_;
  std::string name_;
  StreamInfo info_;
  std::size_t payloadBytes_ = 0;
  std::uint64_t fileBytes_ = 0;  // 0 when not a file
  long long maxPixels_ = -1;
  std::uint64_t offset_ = 0;     // of the next record
  std::uint64_t end_ = 0;        // where the frames end (the index), 0 if unknown
  long long next_ = 0;           // the frame of the next record
  std::vector<KeyFrame> keys_;
  std::string damage_;
  float v1Table_[64] = {};
  int v1First_ = -1;  // a version 1 payload's first byte, read to see whether one follows
};

}  // namespace kelvo4
