// kelvo-tablesweep: measures candidate dequantisation tables on the built-in
// clip, the way the encoder's default table was chosen. Each candidate is a DC
// factor and an AC factor ac + slope * (u + v); the output lists the mean PSNR
// over all frames and over frames 4 onward, best last.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "kelvo_clip.h"
#include "kelvo_encoder.h"
#include "kelvo_stream.h"
#include "tool_args.h"

namespace {

const char kUsage[] =
    "usage: kelvo-tablesweep [--size WxH] [--frames N]\n"
    "  Codes the built-in clip with a grid of tables and prints their PSNR.\n";

struct Result {
  int dc;
  double ac, slope, mean, later, first;
};

int run(int argc, char** argv) {
  using namespace kelvo;
  int w = 320, h = 240, frames = 20;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--size")
      parseSize(optionValue(argc, argv, i), w, h);
    else if (arg == "--frames")
      frames = parseInt(optionValue(argc, argv, i), arg, 5, 1000);
    else
      throw UsageError("unknown argument " + arg);
  }
  std::vector<Image> clip;
  for (int f = 0; f < frames; ++f) clip.push_back(clipFrame(w, h, f));
  std::vector<signed char> payload(payloadBytes(codedSide(w), codedSide(h)));
  std::vector<Result> results;
  for (int dc : {8, 12, 14, 16, 20, 24})
    for (double ac : {2.0, 3.0, 4.0, 5.0})
      for (double slope : {0.0, 0.15, 0.3}) {
        Encoder encoder(w, h, makeTable(dc, ac, slope));
        Result r{dc, ac, slope, 0, 0, 0};
        for (int f = 0; f < frames; ++f) {
          const double p = encoder.encodeFrame(clip[f].rgb.data(), payload.data());
          r.mean += p / frames;
          if (f >= 4) r.later += p / (frames - 4);
          if (f == 0) r.first = p;
        }
        results.push_back(r);
      }
  std::sort(results.begin(), results.end(), [](const Result& a, const Result& b) { return a.mean < b.mean; });
  for (const auto& r : results)
    std::printf("dc %2d  ac %.1f + %.2f(u+v)  first %.2f  from frame 4 %.2f  mean %.2f dB\n", r.dc, r.ac, r.slope,
                r.first, r.later, r.mean);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const kelvo::UsageError& e) {
    std::fprintf(stderr, "kelvo-tablesweep: %s\n%s", e.what(), kUsage);
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kelvo-tablesweep: %s\n", e.what());
    return 1;
  }
}
