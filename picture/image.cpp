#include "image.h"

#include <png.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace kelvo4 {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool endsWith(const std::string& s, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  if (s.size() < n) return false;
  return std::equal(s.end() - static_cast<std::ptrdiff_t>(n), s.end(), suffix,
                    [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

Image readPng(const std::string& path) {
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, path.c_str()))
    throw ImageError(path + ": cannot read PNG: " + png.message);
  if (png.width == 0 || png.height == 0 || png.width > 32768 || png.height > 32768) {
    png_image_free(&png);
    throw ImageError(path + ": unsupported PNG size " + std::to_string(png.width) + "x" + std::to_string(png.height));
  }
  // Without a gAMA or sRGB chunk libpng takes 16-bit samples for linear light
  // and brightens them on the way to 8-bit sRGB; untagged files are sRGB at any
  // depth. Tagged files keep their own transfer. (begin_read resets flags.)
  png.flags |= PNG_IMAGE_FLAG_16BIT_sRGB;
  png.format = PNG_FORMAT_RGB;
  Image image(static_cast<int>(png.width), static_cast<int>(png.height));
  png_color black = {0, 0, 0};
  if (!png_image_finish_read(&png, &black, image.rgb.data(), 0, nullptr))
    throw ImageError(path + ": cannot decode PNG: " + png.message);
  return image;
}

// Skips white space and '#' comments between the fields of a PPM header.
int ppmField(std::FILE* f, const std::string& path) {
  int c = std::fgetc(f);
  while (c == '#' || std::isspace(c)) {
    if (c == '#')
      while (c != '\n' && c != EOF) c = std::fgetc(f);
    c = std::fgetc(f);
  }
  long v = 0;
  if (!std::isdigit(c)) throw ImageError(path + ": malformed PPM header");
  while (std::isdigit(c)) {
    v = v * 10 + (c - '0');
    if (v > 1000000) throw ImageError(path + ": malformed PPM header");
    c = std::fgetc(f);
  }
  // Exactly one white-space byte ends the last field before the samples.
  if (!std::isspace(c)) throw ImageError(path + ": malformed PPM header");
  return static_cast<int>(v);
}

Image readPpm(std::FILE* f, const std::string& path) {
  const int w = ppmField(f, path), h = ppmField(f, path), maxval = ppmField(f, path);
  if (w < 1 || h < 1 || w > 32768 || h > 32768)
    throw ImageError(path + ": unsupported PPM size " + std::to_string(w) + "x" + std::to_string(h));
  if (maxval != 255) throw ImageError(path + ": unsupported PPM maxval " + std::to_string(maxval) + " (need 255)");
  Image image(w, h);
  if (std::fread(image.rgb.data(), 1, image.rgb.size(), f) != image.rgb.size())
    throw ImageError(path + ": PPM pixel data is truncated");
  return image;
}

}  // namespace

bool isPngName(const std::string& path) { return endsWith(path, ".png"); }
bool isPpmName(const std::string& path) { return endsWith(path, ".ppm"); }

Image readImage(const std::string& path) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) throw ImageError(path + ": cannot open: " + std::strerror(errno));
  unsigned char sig[8] = {};
  const std::size_t got = std::fread(sig, 1, sizeof sig, f.get());
  if (got == sizeof sig && png_sig_cmp(sig, 0, sizeof sig) == 0) {
    f.reset();
    return readPng(path);
  }
  if (got >= 3 && sig[0] == 'P' && sig[1] == '6' && std::isspace(sig[2])) {
    std::fseek(f.get(), 2, SEEK_SET);
    return readPpm(f.get(), path);
  }
  throw ImageError(path + ": neither a PNG nor a binary PPM picture");
}

void writePng(const std::string& path, const Image& image) {
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  png.width = static_cast<png_uint_32>(image.width);
  png.height = static_cast<png_uint_32>(image.height);
  png.format = PNG_FORMAT_RGB;
  // Decoded clips are written frame by frame; speed matters more than size.
  png.flags = PNG_IMAGE_FLAG_FAST;
  File f(std::fopen(path.c_str(), "wb"));
  if (!f) throw ImageError(path + ": cannot create: " + std::strerror(errno));
  if (!png_image_write_to_stdio(&png, f.get(), 0, image.rgb.data(), 0, nullptr))
    throw ImageError(path + ": cannot write PNG: " + png.message);
  if (std::fflush(f.get()) != 0) throw ImageError(path + ": write failed: " + std::strerror(errno));
}

void writePpm(const std::string& path, const Image& image) {
  File f(std::fopen(path.c_str(), "wb"));
  if (!f) throw ImageError(path + ": cannot create: " + std::strerror(errno));
  std::fprintf(f.get(), "P6\n%d %d\n255\n", image.width, image.height);
  if (std::fwrite(image.rgb.data(), 1, image.rgb.size(), f.get()) != image.rgb.size() || std::fflush(f.get()) != 0)
    throw ImageError(path + ": write failed: " + std::strerror(errno));
}

}  // namespace kelvo4
