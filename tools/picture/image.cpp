#include "tools/picture/image.h"

#include <png.h>
#if KELVO4_JPEG
#include <turbojpeg.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "tools/picture/input.h"
#include "tools/writer/output_file.h"
#include "src/platform/platform.h"
#include "src/stream/stream_format.h"

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

// PNG bytes held in memory, for libpng's read callback.
struct MemoryReader {
  const std::uint8_t* data;
  std::size_t size, at = 0;
};

// Decodes every row of the PNG in `file` (from where it stands) or, with
// file null, in `memory`, into one buffer of maxRowBytes, and keeps none:
// true when the image data is all there and sound. However large the
// picture claims to be, this costs a row.
bool pngRowsPresent(std::FILE* file, MemoryReader memory, std::size_t maxRowBytes) {
  png_structp png = png_create_read_struct(
      PNG_LIBPNG_VER_STRING, nullptr, [](png_structp p, png_const_charp) { png_longjmp(p, 1); },
      [](png_structp, png_const_charp) {});
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  std::vector<png_byte> row(maxRowBytes);  // not touched after setjmp
  volatile bool ok = false;
  if (info && setjmp(png_jmpbuf(png)) == 0) {
    if (file) {
      png_init_io(png, file);
    } else {
      png_set_read_fn(png, &memory, [](png_structp p, png_bytep out, png_size_t n) {
        auto* m = static_cast<MemoryReader*>(png_get_io_ptr(p));
        if (n > m->size - m->at) png_error(p, "truncated");
        std::memcpy(out, m->data + m->at, n);
        m->at += n;
      });
    }
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

// An input's bytes: those already read to tell its kind, then the rest of
// the file, which is read on from where it stands.
struct Source {
  std::FILE* file;
  std::string head;
  std::size_t at = 0;
  // A regular file: where the picture begins in it (its start, or where
  // standard input stood) and its bytes from there; -1 for anything else.
  std::int64_t begin = -1;
  std::uint64_t bytes = 0;

  int get() { return at < head.size() ? static_cast<unsigned char>(head[at++]) : std::fgetc(file); }
  // Appends up to n more bytes to out as appendBytes does (nothing from a
  // regular file too short for them); how many there were.
  std::size_t append(std::vector<std::uint8_t>& out, std::size_t n) {
    const std::size_t ahead = replay(out, n);
    return ahead + (n > ahead ? appendBytes(file, out, n - ahead) : 0);
  }
  // Appends up to n more bytes to out, all that come; how many.
  std::size_t take(std::vector<std::uint8_t>& out, std::size_t n) {
    std::size_t got = replay(out, n);
    while (got < n) {
      const std::size_t step = std::min<std::size_t>(n - got, 1 << 20);
      const std::size_t start = out.size();
      out.resize(start + step);
      const std::size_t k = std::fread(out.data() + start, 1, step, file);
      out.resize(start + k);
      got += k;
      if (k < step) break;
    }
    return got;
  }

 private:
  std::size_t replay(std::vector<std::uint8_t>& out, std::size_t n) {
    const std::size_t ahead = std::min(n, head.size() - at);
    out.insert(out.end(), head.begin() + static_cast<std::ptrdiff_t>(at),
               head.begin() + static_cast<std::ptrdiff_t>(at + ahead));
    at += ahead;
    return ahead;
  }
};

// Everything left in a source that cannot tell its size (a pipe), up to
// `limit` bytes: one more tells the caller there was more.
std::vector<std::uint8_t> readRest(Source& in, const std::string& path, std::uint64_t limit) {
  std::vector<std::uint8_t> bytes;
  constexpr std::size_t kStep = std::size_t{1} << 20;
  while (bytes.size() <= limit && in.take(bytes, kStep) == kStep) {
  }
  if (std::ferror(in.file)) throw ImageError(path + ": cannot read: " + std::strerror(errno));
  return bytes;
}

std::uint32_t bigEndian(const unsigned char* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// Samples a pixel by colour type: grey, -, RGB, palette, grey and alpha, -,
// RGBA.
constexpr int kChannels[7] = {1, 0, 3, 1, 2, 0, 4};

// The most this reader takes from a pipe for a PNG of w x h at `bits` per
// pixel: its rows uncompressed (each with its filter byte, and one a pass
// when interlaced) twice over, for IDAT chunks as small as their headers,
// and 16 MiB of other chunks.
std::uint64_t pngLimit(std::uint64_t w, std::uint64_t h, std::uint64_t bits) {
  return (std::uint64_t{16} << 20) + 2 * ((w * bits + 7) / 8 + 7) * h;
}

// head: the file's first 33 bytes (signature and IHDR). A regular file is
// read from where it begins; any other (a pipe) is read whole into memory
// after its size is checked, its own bytes being what it is.
Image readPng(Source& in, const std::string& path, const unsigned char* head, long long maxPixels) {
  const bool regular = in.begin >= 0 && os::seek(in.file, in.begin, SEEK_SET);
  std::vector<std::uint8_t> bytes;
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  if (!regular) {
    // What the IHDR claims, checked before the rest is read.
    const std::uint64_t w = bigEndian(head + 16), h = bigEndian(head + 20);
    checkPictureSize(path + ": PNG: ", w, h, maxPixels);
    const auto channels = static_cast<std::uint64_t>(std::max(1, kChannels[std::min<int>(head[25], 6)]));
    const std::uint64_t limit = pngLimit(w, h, head[24] * channels);
    try {
      bytes = readRest(in, path, limit);
    } catch (const std::bad_alloc&) {
      throw ImageError(path + ": out of memory reading a PNG of " + std::to_string(w) + "x" + std::to_string(h));
    }
    if (bytes.size() > limit)
      throw ImageError(path + ": PNG of " + std::to_string(w) + "x" + std::to_string(h) + " in more than " +
                       std::to_string(limit) + " bytes, more than twice its rows uncompressed and 16 MiB of other chunks: "
                       "not read");
  }
  if (!(regular ? png_image_begin_read_from_stdio(&png, in.file)
                : png_image_begin_read_from_memory(&png, bytes.data(), bytes.size())))
    throw ImageError(path + ": cannot read PNG: " + png.message);
  try {
    checkPictureSize(path + ": PNG: ", png.width, png.height, maxPixels);
  } catch (const ImageError&) {
    png_image_free(&png);
    throw;
  }
  // libpng has checked the IHDR.
  const std::uint64_t pixels = std::uint64_t{png.width} * png.height;
  const std::uint64_t dataBytes = pixels * head[24] * kChannels[std::min<int>(head[25], 6)] / 8;
  const std::uint64_t fileBytes = regular ? in.bytes : bytes.size();
  const std::string size = std::to_string(png.width) + "x" + std::to_string(png.height);
  if (fileBytes > 0 && dataBytes > kDeflateRatio * fileBytes) {
    png_image_free(&png);
    throw ImageError(path + ": PNG is too short: " + size + " takes " + std::to_string(dataBytes) +
                     " bytes of image data, more than its " + std::to_string(fileBytes) + " bytes can hold");
  }
  if (3 * pixels > kTrustedPictureBytes) {
    // Through the file a second time (libpng's simplified reader has read
    // ahead of its header in the first), then back to where it was.
    const std::int64_t at = regular ? os::tell(in.file) : 0;
    const bool present = regular ? os::seek(in.file, in.begin, SEEK_SET) &&
                                       pngRowsPresent(in.file, {nullptr, 0}, 8 * std::size_t{png.width} + 1) &&
                                       os::seek(in.file, at, SEEK_SET)
                                 : pngRowsPresent(nullptr, {bytes.data(), bytes.size()}, 8 * std::size_t{png.width} + 1);
    if (!present) {
      png_image_free(&png);
      throw ImageError(path + ": PNG image data of " + size + " is truncated or damaged");
    }
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
int ppmField(Source& in, const std::string& path) {
  int c = in.get();
  while (c == '#' || std::isspace(c)) {
    if (c == '#')
      while (c != '\n' && c != EOF) c = in.get();
    c = in.get();
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
    c = in.get();
  }
  // Exactly one white-space byte ends the last field before the samples.
  if (!std::isspace(c)) throw malformed(" after a number");
  return static_cast<int>(v);
}

Image readPpm(Source& in, const std::string& path, long long maxPixels) {
  const int w = ppmField(in, path), h = ppmField(in, path), maxval = ppmField(in, path);
  checkPictureSize(path + ": PPM: ", static_cast<std::uint64_t>(w), static_cast<std::uint64_t>(h), maxPixels);
  if (maxval != 255) throw ImageError(path + ": unsupported PPM maxval " + std::to_string(maxval) + " (need 255)");
  Image image;
  image.width = w;
  image.height = h;
  const std::size_t need = 3 * static_cast<std::size_t>(w) * h;
  if (const std::size_t got = in.append(image.rgb, need); got != need)
    throw ImageError(path + ": PPM pixel data is truncated: " + std::to_string(got) + " of " + std::to_string(need) +
                     " bytes for " + std::to_string(w) + "x" + std::to_string(h));
  return image;
}

#if KELVO4_JPEG
// The most a JPEG of a picture's size can take: a coefficient costs at most
// 16 bits of code and 15 of magnitude, doubled where its bytes are stuffed,
// for four full-size components, with room for the scans of a progressive
// file, and 16 MiB of markers (profiles, metadata, thumbnails) besides.
constexpr std::uint64_t kJpegBytesPerPixel = 64;
constexpr std::uint64_t kJpegMarkerBytes = std::uint64_t{16} << 20;

// The size a JPEG's frame header (SOF) gives, reading the markers before it
// into `bytes` from the source; 0 by 0 when there is none before the scan.
void jpegSize(Source& in, std::vector<std::uint8_t>& bytes, std::uint64_t& w, std::uint64_t& h) {
  const auto need = [&](std::size_t n) {
    if (bytes.size() < n) in.take(bytes, n - bytes.size());
    return bytes.size() >= n;
  };
  std::size_t at = 2;  // after SOI
  w = h = 0;
  while (at <= kJpegMarkerBytes && need(at + 4)) {
    if (bytes[at] != 0xFF) return;
    const std::uint8_t marker = bytes[at + 1];
    if (marker == 0xFF) {  // fill
      ++at;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {  // no length
      at += 2;
      continue;
    }
    const std::size_t length = std::size_t{bytes[at + 2]} << 8 | bytes[at + 3];
    if (marker == 0xDA || length < 2) return;  // a scan before any frame header
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame) {
      if (!need(at + 9)) return;
      h = std::uint64_t{bytes[at + 5]} << 8 | bytes[at + 6];
      w = std::uint64_t{bytes[at + 7]} << 8 | bytes[at + 8];
      return;
    }
    at += 2 + length;
  }
}

// A JPEG picture through the TurboJPEG API, refused before it is decoded when
// its size is more than allowed or more than its bytes can code (a baseline
// Huffman stream spends at least a bit on each 8x8 block of luma), and before
// it is read whole when its file is larger than any JPEG of its size can be.
Image readJpeg(Source& in, const std::string& path, long long maxPixels) {
  std::vector<std::uint8_t> bytes;
  std::uint64_t headW = 0, headH = 0;
  jpegSize(in, bytes, headW, headH);
  if (headW == 0 || headH == 0)
    throw ImageError(path + ": malformed JPEG: no frame header before the image data or in its first " +
                     std::to_string(kJpegMarkerBytes) + " bytes");
  checkPictureSize(path + ": JPEG: ", headW, headH, maxPixels);
  const std::uint64_t limit = kJpegMarkerBytes + kJpegBytesPerPixel * headW * headH;
  const std::string size = std::to_string(headW) + "x" + std::to_string(headH);
  const auto tooLarge = [&](const std::string& bytesText) {
    return ImageError(path + ": JPEG of " + size + " in " + bytesText + " bytes, more than any JPEG of that size can " +
                      "take (" + std::to_string(limit) + "): not read");
  };
  if (in.begin >= 0 && in.bytes > limit) throw tooLarge(std::to_string(in.bytes));
  try {
    const std::vector<std::uint8_t> rest = readRest(in, path, limit - std::min<std::uint64_t>(limit, bytes.size()));
    bytes.insert(bytes.end(), rest.begin(), rest.end());
  } catch (const std::bad_alloc&) {
    throw ImageError(path + ": out of memory reading a JPEG of " + size);
  }
  if (bytes.size() > limit) throw tooLarge("more than " + std::to_string(limit));
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
  return readImage(f.get(), path, {}, maxPixels);
}

Image readImage(std::FILE* file, const std::string& path, std::string_view head, long long maxPixels) {
  // A regular file is read again from where reading it began (standard
  // input need not have stood at its start); anything else goes on after
  // the bytes already taken from it.
  Source in{file, std::string(head)};
  const os::FileInfo info = os::fileInfo(file);
  const std::int64_t at = info.kind == os::Kind::Regular ? os::tell(file) : -1;
  const auto from = at - static_cast<std::int64_t>(head.size());
  if (at >= 0 && from >= 0 && os::seek(file, from, SEEK_SET)) {
    in.head.clear();
    in.begin = from;
    in.bytes = info.size > static_cast<std::uint64_t>(from) ? info.size - static_cast<std::uint64_t>(from) : 0;
  }
  std::vector<std::uint8_t> first;
  in.take(first, 33);  // a PNG's signature and IHDR
  if (std::ferror(file)) throw ImageError(path + ": cannot read: " + std::strerror(errno));
  in.head.assign(first.begin(), first.end());
  in.at = 0;
  const unsigned char* sig = first.data();
  const std::size_t got = first.size();
  if (got >= 8 && png_sig_cmp(sig, 0, 8) == 0) {
    if (got < 33) throw ImageError(path + ": PNG is too short for its header");
    return readPng(in, path, sig, maxPixels);
  }
  if (got >= 3 && sig[0] == 'P' && sig[1] == '6' && std::isspace(sig[2])) {
    in.at = 2;
    return readPpm(in, path, maxPixels);
  }
  if (got >= 3 && sig[0] == 0xFF && sig[1] == 0xD8 && sig[2] == 0xFF) {
#if KELVO4_JPEG
    return readJpeg(in, path, maxPixels);
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
