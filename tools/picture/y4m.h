// YUV4MPEG2 streams: the uncompressed video other video programs read and
// write through pipes. A header line ("YUV4MPEG2 W176 H144 F25:1 C420jpeg"),
// then per frame a line starting with "FRAME" and the planes Y', Cb, Cr, each
// row-major, 8 bits per sample.
//
// Pictures are converted to and from rgb24 with the BT.601 matrix in limited
// range (Y' 16 to 235, Cb and Cr 16 to 240), what video programs write by
// default; a stream tagged XCOLORRANGE=FULL is read in full range, and so is
// grey (Cmono) unless tagged XCOLORRANGE=LIMITED, as video programs write it.
// Subsampled chroma is interpolated bilinearly at the positions its colour
// space places it: between the luma samples (C420jpeg, C420, and C422
// across), level with the left luma column and between rows (C420mpeg2), or
// on the top-left luma sample (C420paldv). Written streams are 4:4:4 (C444),
// so no colour detail of a picture is dropped.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tools/picture/image.h"
#include "tools/writer/output_file.h"
#include "tools/picture/yuv_rows.h"

namespace kelvo4 {

// The first bytes of every YUV4MPEG2 stream.
inline constexpr char kY4mSignature[] = "YUV4MPEG2 ";
inline constexpr std::size_t kY4mSignatureBytes = sizeof kY4mSignature - 1;

// True for a name ending in .y4m (any case).
bool isY4mName(const std::string& path);

class Y4mReader {
 public:
  // Opens the file (standard input for "-") and reads its header. Takes 8-bit
  // C420jpeg, C420mpeg2, C420paldv, C420, C422, C444 and Cmono (C420jpeg when
  // no C tag is given); the interlacing and aspect tags are ignored. Throws
  // ImageError naming the file and the reason.
  // The size is checked by checkPictureSize, with maxPixels.
  explicit Y4mReader(const std::string& path, long long maxPixels = -1);
  // The same on an open stream, which stays open, named `name` in messages;
  // with signatureRead the caller has already read kY4mSignature from it.
  Y4mReader(std::FILE* file, const std::string& name, bool signatureRead, long long maxPixels = -1);
  ~Y4mReader();
  Y4mReader(const Y4mReader&) = delete;
  Y4mReader& operator=(const Y4mReader&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  // The F tag; 0/0 when there is none or it says unknown.
  std::uint32_t rateNum() const { return rateNum_; }
  std::uint32_t rateDen() const { return rateDen_; }
  // Frames read so far.
  long frames() const { return frames_; }

  // Reads the next frame as rgb24. False at the end of the stream; throws
  // ImageError naming the file and frame for a bad frame line or a short frame.
  // The frame's bytes are read before its picture is made: a file too short
  // for the frame is refused at once, and from a pipe memory grows with the
  // bytes that arrive (see appendBytes), whatever size the header claims.
  bool readFrame(Image& picture);

 private:
  struct Tap {
    int i0, i1, w0, w1;  // two neighbouring samples and their weights out of 4
  };
  std::FILE* file_ = nullptr;
  bool owned_ = false;
  std::string name_;
  long long maxPixels_ = -1;
  int width_ = 0, height_ = 0;
  std::uint32_t rateNum_ = 0, rateDen_ = 0;
  int shiftX_ = 1, shiftY_ = 1;  // log2 of the chroma subsampling
  bool mono_ = false, fullRange_ = false;
  long frames_ = 0;
  std::vector<std::uint8_t> planes_;
  std::vector<Tap> tapsX_, tapsY_;
  std::vector<short> chroma_;  // a row's chroma: per column, then per pixel (see readFrame)
  int innerEven_[3] = {}, innerOdd_[3] = {};  // see readHeader
  int innerEnd_ = 1;
  YuvRowFn rowFn_;

  void readHeader(bool signatureRead);
  bool readLine(std::string& line, const char* what);
  // Each pixel's chroma, centred, in 1/16 steps, from a row's vertical sums.
  void spreadRow(const short* column, short* out) const;
  [[noreturn]] void fail(const std::string& reason) const;
};

class Y4mWriter {
 public:
  // Creates the file (standard output for "-"; a file under a temporary
  // name until close(), see OutputFile) and writes the header of a C444
  // limited-range stream with the frame rate num/den, 30/1 for 0/0. Throws
  // OutputError naming the file and the reason.
  Y4mWriter(const std::string& path, int width, int height, std::uint32_t rateNum, std::uint32_t rateDen);
  ~Y4mWriter();  // removes the file unless closed
  Y4mWriter(const Y4mWriter&) = delete;
  Y4mWriter& operator=(const Y4mWriter&) = delete;

  // Appends one picture of the writer's size.
  void writeFrame(const Image& picture);
  // Flushes, syncs and closes the file and gives it its name, reporting a
  // failed write.
  void close();

 private:
  std::unique_ptr<OutputFile> out_;
  int width_, height_;
  std::vector<std::uint8_t> planes_;
};

}  // namespace kelvo4
