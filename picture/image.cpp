#include "image.h"

#include <png.h>
#if KELVO4_JPEG
#include <turbojpeg.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "input.h"
#include "output_file.h"
#include "platform.h"
#include "stream_format.h"

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

// Deflate gives at most 1032 bytes for one (258-byte matches of two bits).
constexpr std::uint64_t kDeflateRatio = 1032;
// Above this many bytes of picture the image data is decoded once without
// being kept before the picture is allocated.
constexpr std::size_t kTrustedPictureBytes = std::size_t{16} << 20;

// Decodes every row of the PNG at path into one buffer of maxRowBytes, and
// keeps none: true when the image data is all there and sound. However large
// the picture claims to be, this costs a row.
bool pngRowsPresent(const std::string& path, std::size_t maxRowBytes) {
  File f(os::openFile(path, "rb"));
  if (!f) return false;
  png_structp png = png_create_read_struct(
      PNG_LIBPNG_VER_STRING, nullptr, [](png_structp p, png_const_charp) { png_longjmp(p, 1); },
      [](png_structp, png_const_charp) {});
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  std::vector<png_byte> row(maxRowBytes);  // not touched after setjmp
  volatile bool ok = false;
  if (info && setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, f.get());
    png_read_info(png, info);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) <= maxRowBytes) {
      for (int pass = 0; pass < passes; ++pass)
        for (png_uint_32 y = 0; y < png_get_image_height(png, info); ++y) png_read_row(png, row.data(), nullptr);
      ok = true;
    }
  }
  png_destroy_read_struct(&png, &info, nullptr);
  return ok;
}

// head: the file's first 33 bytes (signature and IHDR); fileBytes: its size,
// 0 when not known.
Image readPng(const std::string& path, const unsigned char* head, std::uint64_t fileBytes, long long maxPixels) {
  // Opened here rather than by libpng, which would not take a UTF-8 name on
  // every system.
  File f(os::openFile(path, "rb"));
  if (!f) throw ImageError(path + ": cannot open: " + std::strerror(errno));
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_stdio(&png, f.get())) throw ImageError(path + ": cannot read PNG: " + png.message);
  try {
    checkPictureSize(path + ": PNG: ", png.width, png.height, maxPixels);
  } catch (const ImageError&) {
    png_image_free(&png);
    throw;
  }
  // libpng has checked the IHDR: bit depth, then colour type (grey, -, RGB,
  // palette, grey and alpha, -, RGBA).
  static constexpr int kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
  const std::uint64_t pixels = std::uint64_t{png.width} * png.height;
  const std::uint64_t dataBytes = pixels * head[24] * kChannels[std::min<int>(head[25], 6)] / 8;
  const std::string size = std::to_string(png.width) + "x" + std::to_string(png.height);
  if (fileBytes > 0 && dataBytes > kDeflateRatio * fileBytes) {
    png_image_free(&png);
    throw ImageError(path + ": PNG is too short: " + size + " takes " + std::to_string(dataBytes) +
                     " bytes of image data, more than its " + std::to_string(fileBytes) + " bytes can hold");
  }
  if (3 * pixels > kTrustedPictureBytes && !pngRowsPresent(path, 8 * std::size_t{png.width} + 1)) {
    png_image_free(&png);
    throw ImageError(path + ": PNG image data of " + size + " is truncated or damaged");
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
  const auto malformed = [&](const char* where) {
    const std::string found = c == EOF ? "the end" : kelvo4::quoted(std::string(1, static_cast<char>(c)));
    return ImageError(path + ": malformed PPM header: " + found + where);
  };
  long v = 0;
  if (!std::isdigit(c)) throw malformed(" where a number belongs");
  while (std::isdigit(c)) {
    v = v * 10 + (c - '0');
    if (v > 1000000) throw ImageError(path + ": malformed PPM header: a number above 1000000");
    c = std::fgetc(f);
  }
  // Exactly one white-space byte ends the last field before the samples.
  if (!std::isspace(c)) throw malformed(" after a number");
  return static_cast<int>(v);
}

Image readPpm(std::FILE* f, const std::string& path, long long maxPixels) {
  const int w = ppmField(f, path), h = ppmField(f, path), maxval = ppmField(f, path);
  checkPictureSize(path + ": PPM: ", static_cast<std::uint64_t>(w), static_cast<std::uint64_t>(h), maxPixels);
  if (maxval != 255) throw ImageError(path + ": unsupported PPM maxval " + std::to_string(maxval) + " (need 255)");
  Image image;
  image.width = w;
  image.height = h;
  const std::size_t need = 3 * static_cast<std::size_t>(w) * h;
  if (const std::size_t got = appendBytes(f, image.rgb, need); got != need)
    throw ImageError(path + ": PPM pixel data is truncated: " + std::to_string(got) + " of " + std::to_string(need) +
                     " bytes for " + std::to_string(w) + "x" + std::to_string(h));
  return image;
}

#if KELVO4_JPEG
// A JPEG picture through the TurboJPEG API, refused before it is decoded when
// its size is more than allowed or more than its bytes can code (a baseline
// Huffman stream spends at least a bit on each 8x8 block of luma).
Image readJpeg(std::FILE* f, const std::string& path, long long maxPixels) {
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[1 << 16];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.insert(bytes.end(), chunk, chunk + n);
  if (std::ferror(f)) throw ImageError(path + ": cannot read: " + std::strerror(errno));
  const std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitDecompress(), tjDestroy);
  if (!tj) throw std::bad_alloc();
  const auto fail = [&](const char* what) {
    return ImageError(path + ": " + what + ": " + tjGetErrorStr2(tj.get()));
  };
  int w = 0, h = 0, subsampling = 0, colours = 0;
  if (tjDecompressHeader3(tj.get(), bytes.data(), static_cast<unsigned long>(bytes.size()), &w, &h, &subsampling,
                          &colours) != 0)
    throw fail("malformed JPEG");
  checkPictureSize(path + ": JPEG: ", static_cast<std::uint64_t>(w), static_cast<std::uint64_t>(h), maxPixels);
  const std::uint64_t blocks = (static_cast<std::uint64_t>(w) + 7) / 8 * ((static_cast<std::uint64_t>(h) + 7) / 8);
  if (8 * static_cast<std::uint64_t>(bytes.size()) < blocks)
    throw ImageError(path + ": JPEG is too short: " + std::to_string(bytes.size()) + " bytes cannot code " +
                     std::to_string(w) + "x" + std::to_string(h));
  Image image(w, h);
  // Damage is refused rather than patched with grey.
  if (tjDecompress2(tj.get(), bytes.data(), static_cast<unsigned long>(bytes.size()), image.rgb.data(), w, 0, h,
                    TJPF_RGB, TJFLAG_ACCURATEDCT | TJFLAG_STOPONWARNING) != 0)
    throw fail("cannot decode JPEG");
  return image;
}
#endif

}  // namespace

void checkPictureSize(const std::string& where, std::uint64_t w, std::uint64_t h, long long maxPixels) {
  const std::string size = std::to_string(w) + "x" + std::to_string(h);
  if (w > static_cast<std::uint64_t>(kMaxSide) || h > static_cast<std::uint64_t>(kMaxSide) ||
      !validFrameSize(static_cast<int>(w), static_cast<int>(h)))
    throw ImageError(where + "unsupported size " + size +
                     ": each side 1 to 32768, and 3 x coded width x coded height below 2^31");
  if (maxPixels >= 0 && w * h > static_cast<std::uint64_t>(maxPixels))
    throw PictureTooLarge(where + "a picture of " + size + " is more than the " + std::to_string(maxPixels) +
                          " pixels this reader is set to accept");
}

bool isPngName(const std::string& path) { return endsWith(path, ".png"); }
bool isPpmName(const std::string& path) { return endsWith(path, ".ppm"); }
bool isJpegName(const std::string& path) { return endsWith(path, ".jpg") || endsWith(path, ".jpeg"); }

Image readImage(const std::string& path, long long maxPixels) {
  File f(os::openFile(path, "rb"));
  if (!f) throw ImageError(path + ": cannot open: " + std::strerror(errno));
  unsigned char sig[33] = {};  // a PNG's signature and IHDR
  const std::size_t got = std::fread(sig, 1, sizeof sig, f.get());
  if (got >= 8 && png_sig_cmp(sig, 0, 8) == 0) {
    const os::FileInfo info = os::fileInfo(f.get());
    f.reset();
    return readPng(path, sig, info.kind == os::Kind::Regular ? info.size : 0, maxPixels);
  }
  if (got >= 3 && sig[0] == 'P' && sig[1] == '6' && std::isspace(sig[2])) {
    std::fseek(f.get(), 2, SEEK_SET);
    return readPpm(f.get(), path, maxPixels);
  }
  if (got >= 3 && sig[0] == 0xFF && sig[1] == 0xD8 && sig[2] == 0xFF) {
#if KELVO4_JPEG
    std::fseek(f.get(), 0, SEEK_SET);
    return readJpeg(f.get(), path, maxPixels);
#else
    throw ImageError(path + ": a JPEG picture, which this build cannot read (it was built without libturbojpeg)");
#endif
  }
  throw ImageError(path + ": neither a PNG nor a binary PPM picture");
}

void writePng(OutputFile& out, const Image& image) {
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  png.width = static_cast<png_uint_32>(image.width);
  png.height = static_cast<png_uint_32>(image.height);
  png.format = PNG_FORMAT_RGB;
  // Decoded clips are written frame by frame; speed matters more than size.
  png.flags = PNG_IMAGE_FLAG_FAST;
  errno = 0;
  if (!png_image_write_to_stdio(&png, out.get(), 0, image.rgb.data(), 0, nullptr)) {
    if (errno != 0) out.failed();
    throw ImageError(out.name() + ": cannot write PNG: " + png.message);
  }
}

void writePpm(OutputFile& out, const Image& image) {
  if (std::fprintf(out.get(), "P6\n%d %d\n255\n", image.width, image.height) < 0) out.failed();
  out.write(image.rgb.data(), image.rgb.size());
}

void writePng(const std::string& path, const Image& image) {
  OutputFile out(path);
  writePng(out, image);
  out.commit();
}

void writePpm(const std::string& path, const Image& image) {
  OutputFile out(path);
  writePpm(out, image);
  out.commit();
}

}  // namespace kelvo4
