// kelvo-measure: how the encoder does on a clip cut from a photograph, and
// how far that is from what the decoder could show at best. The best is the
// sequence decoded from unquantised residuals: every c0 sample exact, every
// c1 and c2 sample the prediction plus the exact mean residual of its 2x2
// group, each frame predicted from the one before. What stays is the cost of
// half-resolution chroma and of the prediction's blur.
#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "kelvo4/Kelvo4.h"
#include "encoder.h"
#include "format.h"
#include "writer.h"
#include "tool_args.h"

namespace {

const char kUsage[] =
    "usage: kelvo-measure --photo FILE [--motion pan|zoom|still] [--cut FILE N]\n"
    "                     [--size WxH] [--frames N] [--quality Q] [--effort N]\n"
    "  Codes a clip cut from the picture and prints the encoder's PSNR (first\n"
    "  frame, mean of frames 5 on, the frame at the cut), the compressed size, and\n"
    "  the mean PSNR of frames 5 on that unquantised residuals would give.\n";

// The frame decoded from unquantised residuals, from the frame before it.
std::vector<short> idealFrame(const std::vector<short>& previous, const std::vector<short>& target, int w, int h) {
  std::vector<short> prediction(previous.size()), frame(previous.size());
  reinitDLL(w, h);  // the process-wide decoder only sizes the filter here
  smooth(const_cast<short*>(previous.data()), prediction.data());
  for (std::size_t i = 0; i < frame.size(); i += 3) frame[i] = target[i];
  for (int y = 0; y < h; y += 2)
    for (int x = 0; x < w; x += 2)
      for (int k = 1; k <= 2; ++k) {
        int sum = 0;
        for (int dy = 0; dy < 2; ++dy)
          for (int dx = 0; dx < 2; ++dx) {
            const std::size_t i = 3 * (static_cast<std::size_t>(y + dy) * w + x + dx) + k;
            sum += target[i] - prediction[i];
          }
        const int mean = (sum + 2) >> 2;
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
  for (Args args(argc, argv); args.next();) {
    if (clip.parse(args, 1)) continue;
    if (args.is("--size"))
      parseSize(args.value(), w, h);
    else if (args.is("--frames"))
      frames = args.number(6, 100000);
    else if (args.is("--quality"))
      quality = args.number(1, 100);
    else if (args.is("--effort"))
      effort = args.number(0, 8);
    else
      throw UsageError("unknown argument " + args.arg());
  }
  if (clip.photo.empty()) throw UsageError("no --photo given");
  clip.load();

  Encoder encoder(w, h, EncoderSettings{quality, effort, 1});
  const int cw = encoder.codedWidth(), ch = encoder.codedHeight();
  std::vector<signed char> payload(payloadBytes(cw, ch));
  std::vector<char> packed(ZSTD_compressBound(payload.size()));
  std::vector<short> ideal(3 * static_cast<std::size_t>(cw) * ch, 128), target(ideal.size());
  for (std::size_t i = 0; i < ideal.size(); i += 3) ideal[i] = 0;
  double firstPsnr = 0, cutPsnr = 0, later = 0, laterCap = 0;
  std::size_t bytes = 0;
  for (int f = 0; f < frames; ++f) {
    const Image picture = clip.frame(w, h, f);
    const double p = encoder.encodeFrame(picture.rgb.data(), payload.data(), f == 0);
    bytes += ZSTD_compress(packed.data(), packed.size(), payload.data(), payload.size(), StreamWriter::kDefaultLevel);
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
  const int n = frames - 5;
  std::printf("%s %s %dx%d q%d: first %.2f dB, frames 5+ %.2f dB", clip.photo.c_str(), clip.motion.c_str(), w, h,
              quality, firstPsnr, later / n);
  if (clip.cutAt >= 0) std::printf(", cut %.2f dB", cutPsnr);
  std::printf(", %zu bytes; cap %.2f dB (%.2f below)\n", bytes, laterCap / n, laterCap / n - later / n);
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return kelvo4::runTool("kelvo-measure", kUsage, run, argc, argv); }
