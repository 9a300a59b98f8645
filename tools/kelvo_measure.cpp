// kelvo-measure: how the encoder does on a clip cut from a photograph, and
// how far that is from what the decoder could show at best. The best is the
// sequence decoded from unquantised residuals: every c0 sample exact, every
// c1 and c2 sample the prediction plus the exact mean residual of its 2x2
// group, each frame predicted from the one before. What stays is the cost of
// half-resolution chroma and of the prediction's blur. With --compare, the
// same per-frame PSNR between two raw rgb24 files, for other codecs' frames.
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kelvo4/Kelvo4.h"
#include "tools/writer/coefficient_encoder.h"
#include "tools/encoder/encoder.h"
#include "src/stage/format.h"
#include "tools/picture/input.h"
#include "tools/writer/writer.h"
#include "tools/tool_args.h"

namespace {

const char kUsage[] =
    "usage: kelvo-measure --photo FILE [--motion pan|zoom|still] [--cut FILE N]\n"
    "                     [--size WxH] [--frames N] [--quality Q] [--effort N]\n"
    "       kelvo-measure --compare SOURCE DECODED --size WxH\n"
    "  Codes a clip cut from the picture into a temporary stream file and prints\n"
    "  the encoder's PSNR (first frame, mean of frames 5 on, the frame at the\n"
    "  cut), the file's bytes and bits per pixel, and the mean PSNR of frames 5\n"
    "  on that unquantised residuals would give.\n"
    "  --compare: the mean PSNR of all frames and of frames 5 on between two raw\n"
    "  rgb24 files ('-': standard input) of the same frames, computed as for the\n"
    "  encoder's frames.\n";

// An empty file in the temporary folder, removed with this object (or by an
// interrupt).
class TempFile {
 public:
  TempFile() {
    path_ = kelvo4::os::textOf(kelvo4::os::pathOf(kelvo4::os::temporaryFolder()) / "kelvo-measure-XXXXXX");
    kelvo4::InterruptsHeld held;
    std::FILE* file = kelvo4::os::createTemporary(path_);
    if (!file) throw std::runtime_error(path_ + ": cannot create: " + std::strerror(errno));
    std::fclose(file);
    kelvo4::removeOnInterrupt(path_);
  }
  ~TempFile() {
    kelvo4::os::removeFile(path_);
    kelvo4::forgetOnInterrupt(path_);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Whole rgb24 frames of one size from a file; a partial frame is an error.
class RawFrames {
 public:
  RawFrames(const std::string& name, std::size_t frameBytes) : name_(name), bytes_(frameBytes) {
    file_ = kelvo4::openFile(name, "rb");
    if (!file_) throw std::runtime_error(name + ": " + std::strerror(errno));
  }
  ~RawFrames() {
    if (file_ != stdin) std::fclose(file_);
  }
  RawFrames(const RawFrames&) = delete;
  RawFrames& operator=(const RawFrames&) = delete;

  bool next(std::vector<std::uint8_t>& frame) {
    frame.clear();
    const std::size_t got = kelvo4::appendBytes(file_, frame, bytes_);
    if (std::ferror(file_)) throw std::runtime_error(name_ + ": " + std::strerror(errno));
    if (got != 0 && got != bytes_)
      throw std::runtime_error(name_ + ": short frame " + std::to_string(count_) + ": " + std::to_string(got) +
                               " of " + std::to_string(bytes_) + " bytes");
    if (got == 0) return false;
    ++count_;
    return true;
  }

 private:
  std::string name_;
  std::size_t bytes_;
  std::FILE* file_;
  long count_ = 0;
};

// Mean per-frame PSNR of the decoded frames against their sources.
int compare(const std::string& source, const std::string& decoded, int w, int h) {
  if (source == "-" && decoded == "-") throw kelvo4::UsageError("standard input ('-') given twice");
  const std::size_t bytes = 3 * static_cast<std::size_t>(w) * h;
  RawFrames a(source, bytes), b(decoded, bytes);
  std::vector<std::uint8_t> x, y;
  double all = 0, later = 0;
  long n = 0;
  for (;; ++n) {
    const bool more = a.next(x);
    if (more != b.next(y))
      throw std::runtime_error((more ? decoded : source) + ": ends after " + kelvo4::counted(n, "frame") + ", " +
                               (more ? source : decoded) + " has more");
    if (!more) break;
    const double p = kelvo4::psnr(x.data(), y.data(), bytes);
    all += p;
    if (n >= 5) later += p;
  }
  if (n == 0) throw std::runtime_error(source + ": no frames");
  std::printf("%ld frames %dx%d: PSNR %.2f dB", n, w, h, all / static_cast<double>(n));
  if (n > 5) std::printf(", frames 5+ %.2f dB", later / static_cast<double>(n - 5));
  std::putchar('\n');
  return 0;
}

// The frame decoded from unquantised residuals, from the frame before it.
std::vector<short> idealFrame(const std::vector<short>& previous, const std::vector<short>& target, int w, int h) {
  std::vector<short> prediction(previous.size()), frame(previous.size());
  reinitDLL(w, h);  // the process-wide decoder only sizes the filter here
  smooth(const_cast<short*>(previous.data()), prediction.data());
  for (std::size_t i = 0; i < frame.size(); i += 3) frame[i] = target[i];
  for (int y = 0; y < h; y += 2)
    for (int x = 0; x < w; x += 2)
      for (int k = 1; k <= 2; ++k) {
        const auto wanted = [&](int dx, int dy) {
          const std::size_t i = 3 * (static_cast<std::size_t>(y + dy) * w + x + dx) + k;
          return target[i] - prediction[i];
        };
        const int mean = kelvo4::groupMean(wanted(0, 0), wanted(1, 0), wanted(0, 1), wanted(1, 1));
        for (int dy = 0; dy < 2; ++dy)
          for (int dx = 0; dx < 2; ++dx) {
            const std::size_t i = 3 * (static_cast<std::size_t>(y + dy) * w + x + dx) + k;
            frame[i] = static_cast<short>(prediction[i] + mean);
          }
      }
  return frame;
}

int run(int argc, char** argv) {
  using namespace kelvo4;
  int w = 320, h = 240, frames = 30, quality = kDefaultQuality, effort = 3;
  ClipOptions clip;
  std::string source, decoded;
  bool compared = false, sized = false;
  for (Args args(argc, argv); args.next();) {
    if (clip.parse(args, 1)) continue;
    if (args.is("--compare"))
      source = args.value(), decoded = args.value(), compared = true;
    else if (args.is("--size"))
      parseSize(args.value(), w, h), sized = true;
    else if (args.is("--frames"))
      frames = args.number(6, 100000);
    else if (args.is("--quality"))
      quality = args.number(1, 100);
    else if (args.is("--effort"))
      effort = args.number(0, 8);
    else
      throw UsageError("unknown argument " + args.arg());
  }
  if (compared) {
    if (!clip.photo.empty()) throw UsageError("--compare takes no clip options");
    if (!sized) throw UsageError("--compare needs --size WxH");
    return compare(source, decoded, w, h);
  }
  if (clip.photo.empty()) throw UsageError("no --photo given");
  clip.load();

  Encoder encoder(w, h, EncoderSettings{quality, effort, 1});
  encoder.chooseKeyFrames(true);
  const int cw = encoder.codedWidth(), ch = encoder.codedHeight();
  std::vector<signed char> payload(payloadBytes(cw, ch));
  // The stream file, its bytes the size figures: one key frame, as
  // kelvo-encode writes up to 60 frames.
  const TempFile file;
  StreamInfo info;
  info.width = w;
  info.height = h;
  StreamWriter writer(file.path(), info);
  CoefficientEncoder coder(cw, ch);
  std::vector<unsigned char> coded;
  std::vector<char> packed(ZSTD_compressBound(payload.size()));
  std::size_t codedBytes = 0, zstdBytes = 0;
  std::vector<short> ideal(3 * static_cast<std::size_t>(cw) * ch, 128), target(ideal.size());
  for (std::size_t i = 0; i < ideal.size(); i += 3) ideal[i] = 0;
  double firstPsnr = 0, cutPsnr = 0, later = 0, laterCap = 0;
  for (int f = 0; f < frames; ++f) {
    const Image picture = clip.frame(w, h, f);
    const double p = encoder.encodeFrame(picture.rgb.data(), payload.data(), f == 0);
    const bool key = encoder.keyFrame();
    writer.writeFrame(payload.data(), key, encoder.tableChanged() ? encoder.table().data() : nullptr);
    // The lossless part alone: the coder against zstd at level 3 (what
    // version 2 files stored) on the same payloads.
    coder.encode(payload.data(), key, coded);
    coder.commit();
    codedBytes += coded.size();
    zstdBytes += ZSTD_compress(packed.data(), packed.size(), payload.data(), payload.size(), 3);
    // The same components the encoder aims at, the margin repeating the edges.
    for (int y = 0; y < ch; ++y)
      for (int x = 0; x < cw; ++x) {
        const std::uint8_t* px = &picture.rgb[3 * (static_cast<std::size_t>(std::min(y, h - 1)) * w + std::min(x, w - 1))];
        const auto c = rgbToComponents(px[0], px[1], px[2]);
        for (int k = 0; k < 3; ++k) target[3 * (static_cast<std::size_t>(y) * cw + x) + k] = static_cast<short>(c[k]);
      }
    ideal = idealFrame(ideal, target, cw, ch);
    Image best(w, h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const short* c = &ideal[3 * (static_cast<std::size_t>(y) * cw + x)];
        const auto rgb = convertPixel(c[0], c[1], c[2]);
        std::copy(rgb.begin(), rgb.end(), &best.rgb[3 * (static_cast<std::size_t>(y) * w + x)]);
      }
    if (f == 0) firstPsnr = p;
    if (f == clip.cutAt) cutPsnr = p;
    if (f >= 5) {
      later += p;
      laterCap += psnr(picture.rgb.data(), best.rgb.data(), best.rgb.size());
    }
  }
  writer.close();
  const std::uintmax_t bytes = kelvo4::os::fileInfo(file.path()).size;
  const int n = frames - 5;
  std::printf("%s %s %dx%d q%d: first %.2f dB, frames 5+ %.2f dB", clip.photo.c_str(), clip.motion.c_str(), w, h,
              quality, firstPsnr, later / n);
  if (clip.cutAt >= 0) std::printf(", cut %.2f dB", cutPsnr);
  std::printf(", %ju bytes, %.3f bits/pixel; cap %.2f dB (%.2f below); payloads coded %zu bytes, zstd-3 %zu (%.3fx)\n",
              bytes, 8.0 * static_cast<double>(bytes) / (static_cast<double>(w) * h * frames), laterCap / n,
              laterCap / n - later / n, codedBytes, zstdBytes,
              static_cast<double>(codedBytes) / static_cast<double>(zstdBytes));
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return kelvo4::runTool("kelvo-measure", kUsage, run, argc, argv); }
