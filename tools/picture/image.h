// RGB pictures for the tools: 8 bits per channel, three bytes per pixel,
// rows from the top, no padding. Read from and written to PNG and binary PPM.
#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo4 {

// Thrown when a picture cannot be read or written; the message names the file.
class ImageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A picture of more pixels than the reader was set to accept.
class PictureTooLarge : public ImageError {
 public:
  using ImageError::ImageError;
};

// Refuses, before its pixels are read, a picture the encoder cannot code
// (ImageError) or one of more than maxPixels pixels (PictureTooLarge; a
// negative maxPixels sets no limit). Messages start with `where`, "NAME: ".
void checkPictureSize(const std::string& where, std::uint64_t w, std::uint64_t h, long long maxPixels);

struct Image {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;  // 3 * width * height bytes

  Image() = default;
  Image(int w, int h) : width(w), height(h), rgb(3 * static_cast<std::size_t>(w) * h) {}
};

// Reads a PNG (any colour type and depth; alpha is composited on black, 16-bit
// samples reduced to 8; samples are sRGB unless a gAMA or sRGB chunk says
// otherwise, an ICC profile is not applied) or a binary PPM (P6, maxval 255),
// told apart by their first bytes. Nothing is allocated for more than the file
// holds: a PPM's pixels must be there, a PNG's size must fit what its bytes
// can inflate to, and a PNG above 16 MiB of rgb24 has its image data decoded
// once, a row at a time, before the picture is allocated.
// A picture is refused before it is decoded as checkPictureSize says.
Image readImage(const std::string& path, long long maxPixels = -1);
// The same from an open file, which stays open: a regular file is read from
// its start; any other (a pipe, standard input) goes on from where it stands,
// `head` being the bytes already read from it (to tell its kind). A JPEG's
// size is read from its frame header first, and a file larger than any JPEG
// of that size can be is refused before it is read whole.
Image readImage(std::FILE* file, const std::string& path, std::string_view head, long long maxPixels = -1);

class OutputFile;

// Write a picture whole under its name or not at all (see OutputFile); throw
// OutputError naming the file and the reason.
void writePng(const std::string& path, const Image& image);
void writePpm(const std::string& path, const Image& image);
// The same into an open output, which the caller commits.
void writePng(OutputFile& out, const Image& image);
void writePpm(OutputFile& out, const Image& image);

// True for a name ending in .png or .ppm (any case).
bool isPngName(const std::string& path);
bool isJpegName(const std::string& path);
bool isPpmName(const std::string& path);

}  // namespace kelvo4
