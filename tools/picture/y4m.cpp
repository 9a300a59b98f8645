#include "tools/picture/y4m.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "tools/picture/input.h"
#include "src/stream/stream_format.h"
#include "tools/picture/yuv_rows.h"

namespace kelvo4 {

namespace {

// Factors in 16-bit fixed point.
constexpr int fix(double v) { return static_cast<int>(v * 65536 + (v < 0 ? -0.5 : 0.5)); }

constexpr double kKr = 0.299, kKb = 0.114, kKg = 1 - kKr - kKb;
// Limited range: 219 luma steps and 224 chroma steps stand for 255.
constexpr double kLumaSpan = 219.0 / 255, kChromaSpan = 224.0 / 255;

// Y'CbCr to R'G'B', per unit of luma and of chroma.
constexpr YuvMatrix kLimited = {16, fix(1 / kLumaSpan), fix(2 * (1 - kKr) / kChromaSpan),
                                fix(2 * (1 - kKb) * kKb / kKg / kChromaSpan),
                                fix(2 * (1 - kKr) * kKr / kKg / kChromaSpan), fix(2 * (1 - kKb) / kChromaSpan)};
constexpr YuvMatrix kFull = {0, fix(1), fix(2 * (1 - kKr)), fix(2 * (1 - kKb) * kKb / kKg),
                             fix(2 * (1 - kKr) * kKr / kKg), fix(2 * (1 - kKb))};

// R'G'B' to limited-range Y'CbCr. Each chroma row sums to zero so that grey
// lands exactly on 128.
constexpr int kYR = fix(kKr * kLumaSpan), kYG = fix(kKg * kLumaSpan), kYB = fix(kKb * kLumaSpan);
constexpr int kUR = fix(-kKr / (2 * (1 - kKb)) * kChromaSpan), kUB = fix(0.5 * kChromaSpan), kUG = -kUR - kUB;
constexpr int kVR = fix(0.5 * kChromaSpan), kVB = fix(-kKb / (2 * (1 - kKr)) * kChromaSpan), kVG = -kVR - kVB;

bool parseWhole(const std::string& text, std::uint32_t& v) {
  const char* end = text.data() + text.size();
  const auto [p, ec] = std::from_chars(text.data(), end, v);
  return !text.empty() && ec == std::errc() && p == end;
}

}  // namespace

bool isY4mName(const std::string& path) {
  if (path.size() < 4) return false;
  std::string tail = path.substr(path.size() - 4);
  std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return std::tolower(c); });
  return tail == ".y4m";
}

Y4mReader::Y4mReader(const std::string& path, long long maxPixels)
    : name_(path), maxPixels_(maxPixels), rowFn_(bestYuvRow()) {
  file_ = openFile(path, "rb");
  if (!file_) throw ImageError(path + ": cannot open: " + std::strerror(errno));
  owned_ = path != "-";
  try {
    readHeader(false);
  } catch (...) {
    if (owned_) std::fclose(file_);
    throw;
  }
}

Y4mReader::Y4mReader(std::FILE* file, const std::string& name, bool signatureRead, long long maxPixels)
    : file_(file), name_(name), maxPixels_(maxPixels), rowFn_(bestYuvRow()) {
  readHeader(signatureRead);
}

Y4mReader::~Y4mReader() {
  if (owned_) std::fclose(file_);
}

void Y4mReader::fail(const std::string& reason) const { throw ImageError(name_ + ": " + reason); }

// Reads up to a newline; false when the stream ends before the first byte.
bool Y4mReader::readLine(std::string& line, const char* what) {
  line.clear();
  for (;;) {
    const int c = std::fgetc(file_);
    if (c == '\n') return true;
    if (c == EOF) {
      if (std::ferror(file_)) fail(std::strerror(errno));
      if (line.empty()) return false;
      fail(std::string("the stream ends inside the ") + what);
    }
    // Real header lines are a few dozen bytes; this only stops a runaway read.
    if (line.size() == 4096) fail(std::string(what) + " is longer than 4096 bytes");
    line.push_back(static_cast<char>(c));
  }
}

void Y4mReader::readHeader(bool signatureRead) {
  std::string line;
  if (!readLine(line, "header line"))
    fail(signatureRead ? "the stream ends inside the header line" : "empty, not a YUV4MPEG2 stream");
  if (!signatureRead) {
    if (line.rfind(kY4mSignature, 0) != 0) fail("not a YUV4MPEG2 stream (no YUV4MPEG2 signature)");
    line.erase(0, kY4mSignatureBytes);
  }
  std::string colour = "420jpeg", range;
  std::uint32_t w = 0, h = 0;
  std::size_t pos = 0;
  while (pos < line.size()) {
    std::size_t end = line.find(' ', pos);
    if (end == std::string::npos) end = line.size();
    const std::string tag = line.substr(pos, end - pos);
    pos = end + 1;
    if (tag.empty()) continue;
    const std::string value = tag.substr(1);
    switch (tag[0]) {
      case 'W':
      case 'H':
        if (!parseWhole(value, tag[0] == 'W' ? w : h) || (tag[0] == 'W' ? w : h) == 0)
          fail("bad size tag " + kelvo4::quoted(tag) + " in the header");
        break;
      case 'F': {
        const std::size_t colon = value.find(':');
        if (colon == std::string::npos || !parseWhole(value.substr(0, colon), rateNum_) ||
            !parseWhole(value.substr(colon + 1), rateDen_) || (rateDen_ == 0) != (rateNum_ == 0))
          fail("bad frame rate tag " + kelvo4::quoted(tag) + " in the header");
        break;
      }
      case 'C':
        colour = value;
        break;
      case 'X':
        if (tag.rfind("XCOLORRANGE=", 0) == 0) range = tag.substr(12);
        break;
      default:  // I (interlacing), A (aspect) and tags unknown to us
        break;
    }
  }
  if (w == 0 || h == 0) fail("the header gives no W and H");
  fullRange_ = range == "FULL";
  checkPictureSize(name_ + ": ", w, h, maxPixels_);
  width_ = static_cast<int>(w);
  height_ = static_cast<int>(h);

  // Where chroma sample 0 sits, in half luma samples from luma sample 0.
  int offsetX = 0, offsetY = 0;
  if (colour == "420jpeg" || colour == "420") {
    offsetX = offsetY = 1;
  } else if (colour == "420mpeg2") {
    offsetY = 1;
  } else if (colour == "420paldv") {
  } else if (colour == "422") {
    // Centred, as video programs write 4:2:2 when the source says nothing.
    offsetX = 1;
    shiftY_ = 0;
  } else if (colour == "444") {
    shiftX_ = shiftY_ = 0;
  } else if (colour == "mono") {
    mono_ = true;
    // Video programs write grey in full range whether they say so or not.
    fullRange_ = range != "LIMITED";
  } else {
    fail("colour space " + kelvo4::quoted("C" + colour) + " is not supported (8-bit 4:2:0, 4:2:2, 4:4:4 or mono only)");
  }
  // Output sample x falls at chroma position (x - offset / 2) / 2^shift; the
  // taps hold its two neighbours, clamped to the plane, in quarter steps.
  const auto taps = [](int size, int shift, int offset) {
    const int chroma = (size + (1 << shift) - 1) >> shift;
    std::vector<Tap> out(static_cast<std::size_t>(size));
    for (int x = 0; x < size; ++x) {
      if (shift == 0) {
        out[x] = {x, x, 4, 0};
        continue;
      }
      const int q = 2 * x - offset;
      const int i0 = q < 0 ? -1 : q / 4;
      const int frac = q - 4 * i0;
      out[x] = {std::clamp(i0, 0, chroma - 1), std::clamp(i0 + 1, 0, chroma - 1), 4 - frac, frac};
    }
    return out;
  };
  tapsX_ = taps(width_, shiftX_, offsetX);
  tapsY_ = taps(height_, shiftY_, offsetY);
  // Across, pixels 2k and 2k + 1 take the same weights of chroma k - 1, k
  // and k + 1 for every k whose taps stay inside the plane.
  const int chromaWidth = (width_ + 1) >> 1;
  innerEnd_ = shiftX_ == 1 ? std::max(1, chromaWidth - 1) : 1;
  for (int k = 1; k < innerEnd_; ++k)
    for (int odd = 0; odd < 2; ++odd) {
      const Tap t = tapsX_[static_cast<std::size_t>(2 * k + odd)];
      int weights[3] = {0, 0, 0};
      weights[t.i0 - k + 1] += t.w0;
      weights[t.i1 - k + 1] += t.w1;
      int* inner = odd ? innerOdd_ : innerEven_;
      if (k == 1) std::copy_n(weights, 3, inner);
      if (!std::equal(weights, weights + 3, inner)) fail("internal error: uneven chroma taps");
    }
}

bool Y4mReader::readFrame(Image& picture) {
  std::string line;
  if (!readLine(line, "frame line")) return false;
  if (line.rfind("FRAME", 0) != 0)
    fail("frame " + std::to_string(frames_) + ": expected a FRAME line, found " + kelvo4::quoted(line));
  const std::size_t luma = static_cast<std::size_t>(width_) * height_;
  const int cw = (width_ + (1 << shiftX_) - 1) >> shiftX_, ch = (height_ + (1 << shiftY_) - 1) >> shiftY_;
  const std::size_t chroma = mono_ ? 0 : static_cast<std::size_t>(cw) * ch;
  // Read before the picture is made, so that memory follows the bytes there
  // are; after a whole frame, into the same memory, uncleared.
  const std::size_t need = luma + 2 * chroma;
  const std::size_t got = readBytes(file_, planes_, need);
  if (got != need) {
    if (std::ferror(file_)) fail(std::strerror(errno));
    fail("frame " + std::to_string(frames_) + ": short frame: " + std::to_string(got) + " of " + std::to_string(need) +
         " bytes");
  }
  if (picture.width != width_ || picture.height != height_ || picture.rgb.size() != 3 * luma)
    picture = Image(width_, height_);
  const YuvMatrix& m = fullRange_ ? kFull : kLimited;
  const std::uint8_t* cb = planes_.data() + luma;
  const std::uint8_t* cr = cb + chroma;
  std::uint8_t* out = picture.rgb.data();
  // Per row: the vertical part of the chroma taps per chroma column (Cb,
  // Cr), then each pixel's chroma (Cb, Cr); grey keeps its chroma at 0.
  const std::size_t w = static_cast<std::size_t>(width_);
  chroma_.resize(2 * static_cast<std::size_t>(cw) + 2 * w);
  short* const cu = chroma_.data();
  short* const cv = cu + cw;
  short* const pu = cv + cw;
  short* const pv = pu + w;
  if (mono_) std::fill(pu, pv + w, short{0});
  for (int y = 0; y < height_; ++y, out += 3 * w) {
    if (!mono_) {
      const Tap ty = tapsY_[y];
      const std::uint8_t *u0 = cb + static_cast<std::size_t>(ty.i0) * cw, *u1 = cb + static_cast<std::size_t>(ty.i1) * cw;
      const std::uint8_t *v0 = cr + static_cast<std::size_t>(ty.i0) * cw, *v1 = cr + static_cast<std::size_t>(ty.i1) * cw;
      for (int x = 0; x < cw; ++x) {
        cu[x] = static_cast<short>(ty.w0 * u0[x] + ty.w1 * u1[x]);
        cv[x] = static_cast<short>(ty.w0 * v0[x] + ty.w1 * v1[x]);
      }
      spreadRow(cu, pu);
      spreadRow(cv, pv);
    }
    rowFn_(planes_.data() + static_cast<std::size_t>(y) * w, pu, pv, width_, m, out);
  }
  ++frames_;
  return true;
}

void Y4mReader::spreadRow(const short* column, short* out) const {
  constexpr int centre = 16 * 128;
  const auto tap = [&](int x) {
    const Tap t = tapsX_[static_cast<std::size_t>(x)];
    out[x] = static_cast<short>(t.w0 * column[t.i0] + t.w1 * column[t.i1] - centre);
  };
  if (shiftX_ == 0) {
    for (int x = 0; x < width_; ++x) out[x] = static_cast<short>(4 * column[x] - centre);
    return;
  }
  // Pixels 2k and 2k + 1 away from the edges: chroma k - 1, k and k + 1.
  const int* e = innerEven_;
  const int* o = innerOdd_;
  for (int k = 1; k < innerEnd_; ++k) {
    const int a = column[k - 1], b = column[k], c = column[k + 1];
    out[2 * k] = static_cast<short>(e[0] * a + e[1] * b + e[2] * c - centre);
    out[2 * k + 1] = static_cast<short>(o[0] * a + o[1] * b + o[2] * c - centre);
  }
  for (int x = 0; x < std::min(2, width_); ++x) tap(x);
  for (int x = std::max(2, 2 * innerEnd_); x < width_; ++x) tap(x);
}

Y4mWriter::Y4mWriter(const std::string& path, int width, int height, std::uint32_t rateNum, std::uint32_t rateDen)
    : out_(std::make_unique<OutputFile>(path)), width_(width), height_(height) {
  if (rateNum == 0 || rateDen == 0) rateNum = 30, rateDen = 1;
  if (std::fprintf(out_->get(), "%sW%d H%d F%u:%u Ip A1:1 C444 XCOLORRANGE=LIMITED\n", kY4mSignature, width, height,
                   static_cast<unsigned>(rateNum), static_cast<unsigned>(rateDen)) < 0)
    out_->failed();
}

Y4mWriter::~Y4mWriter() = default;

void Y4mWriter::writeFrame(const Image& picture) {
  const std::size_t n = static_cast<std::size_t>(width_) * height_;
  planes_.resize(3 * n);
  const std::uint8_t* p = picture.rgb.data();
  // Limited range keeps every sum within 16 .. 240: no clamping needed.
  for (std::size_t i = 0; i < n; ++i, p += 3) {
    constexpr int half = 1 << 15;
    planes_[i] = static_cast<std::uint8_t>((kYR * p[0] + kYG * p[1] + kYB * p[2] + (16 << 16) + half) >> 16);
    planes_[n + i] = static_cast<std::uint8_t>((kUR * p[0] + kUG * p[1] + kUB * p[2] + (128 << 16) + half) >> 16);
    planes_[2 * n + i] = static_cast<std::uint8_t>((kVR * p[0] + kVG * p[1] + kVB * p[2] + (128 << 16) + half) >> 16);
  }
  if (std::fputs("FRAME\n", out_->get()) < 0) out_->failed();
  out_->write(planes_.data(), planes_.size());
}

void Y4mWriter::close() {
  if (!out_) return;
  out_->commit();
  out_.reset();
}

}  // namespace kelvo4
