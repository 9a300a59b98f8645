// Plays a stream file picture by picture: the reader, a decoder handle at the
// coded size, tables and key frames applied as the stream says, and pictures
// cropped to the picture size.
#pragma once

#include <memory>
#include <string>

#include "kelvo4/kelvo4.hpp"
#include "image.h"
#include "kelvo_stream.h"

namespace kelvo4 {

class StreamPlayback {
 public:
  // Opens the stream (see StreamReader); the decoder is made when the first
  // frame has been read, so a stream without frames allocates no frames.
  explicit StreamPlayback(const std::string& path, int threads = 1);

  const StreamInfo& info() const { return reader_.info(); }
  StreamReader& reader() { return reader_; }
  // The number of the frame next() decodes next.
  long position() const { return reader_.position(); }

  // Decodes the next frame into picture (resized to the picture size), or
  // without conversion for a null picture. False at the end of the stream.
  bool next(Image* picture);
  // Makes next() decode `frame`, decoding (without conversion) the frames
  // before it: from where it is when no key frame lies between, else from
  // the last key frame at or before it. Throws StreamError for standard input
  // or a frame beyond the stream.
  void seek(long frame);

 private:
  StreamReader reader_;
  int threads_;
  // False while a frame is half read or decoded, and after a failure there:
  // then a seek starts at a key frame.
  bool steady_ = true;
  std::unique_ptr<kelvo4::Decoder> decoder_;
  Frame frame_;
};

}  // namespace kelvo4
