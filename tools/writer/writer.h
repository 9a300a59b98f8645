// Writes stream files (the layout is in stream_format.h and docs/format.md): what the encoder's tools
// store a coded sequence in.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/writer/coefficient_encoder.h"
#include "kelvo4/kelvo4.hpp"
#include "tools/writer/output_file.h"
#include "src/stream/stream_format.h"

namespace kelvo4 {

// Writes a stream to a file, or to standard output for the name "-". A file
// is written under a temporary name and takes its own at close(): a stream
// that fails or is interrupted leaves nothing that looks like one.
class StreamWriter {
 public:
  // Creates the file and writes the header for the picture size and rate in
  // info (the coded size follows); level 0 stores payloads as they are,
  // any other codes them with the coefficient coder. Throws StreamError, or OutputError when the file cannot be
  // created or written.
  StreamWriter(const std::string& path, const StreamInfo& info, int level = kDefaultLevel);
  ~StreamWriter();  // as abandon() unless closed
  StreamWriter(const StreamWriter&) = delete;
  StreamWriter& operator=(const StreamWriter&) = delete;

  const StreamInfo& info() const { return info_; }
  // Appends one payload of the coded size, coded where that is smaller;
  // table, when not null, is written with the frame, and a key frame repeats
  // the table in force when it brings none. marks, when not null, says which
  // blocks the coefficient coder takes as their difference from the frame
  // before (see CoefficientEncoder::encode). Throws StreamError or
  // OutputError.
  void writeFrame(const signed char* payload, bool key, const float* table, const std::uint8_t* marks = nullptr);
  // Writes the index, and, in a file, the frame count and index offset into
  // the header; flushes, syncs, closes and gives the file its name. Throws
  // OutputError, the file removed.
  void close();
  // Closes without finishing and removes the file (not standard output).
  void abandon();
  // Bytes of the stream once closed.
  std::uint64_t bytes() const { return bytes_; }

  static constexpr int kDefaultLevel = 3;

 private:
  std::string path_;
  std::unique_ptr<OutputFile> out_;
  int level_;
  StreamInfo info_;
  std::uint64_t offset_ = 0, bytes_ = 0;
  std::vector<KeyFrame> keys_;
  std::vector<unsigned char> packed_;
  float table_[64] = {};  // the table in force
  std::unique_ptr<CoefficientEncoder> coder_;
};

}  // namespace kelvo4
