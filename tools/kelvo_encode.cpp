// kelvo-encode: codes pictures or raw rgb24 frames into a stream file, closed
// loop on the decoder library, and reports the PSNR of every decoded frame.
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kelvo_clip.h"
#include "kelvo_encoder.h"
#include "kelvo_stream.h"
#include "tool_args.h"

namespace {

const char kUsage[] =
    "usage: kelvo-encode [options] INPUT... -o STREAM\n"
    "       kelvo-encode [options] --size WxH RAWFILE -o STREAM\n"
    "       kelvo-encode [options] --clip N -o STREAM\n"
    "  INPUT is a PNG or PPM picture or a directory of them (taken in name\n"
    "  order); all pictures must have the same size. With --size the input is\n"
    "  one file of raw rgb24 frames, '-' for standard input. STREAM '-' writes\n"
    "  to standard output. Per-frame PSNR goes to standard error.\n"
    "  -o, --output F  stream file to write (required)\n"
    "  --size WxH      raw rgb24 input of this frame size (or the --clip size)\n"
    "  --clip N        code N frames of the built-in clip (default size 320x240)\n"
    "  --quality Q     1 to 100, default 50: higher gives finer steps, less reach\n"
    "  --refine N      refinement passes per block, 0 to 8 (default 3)\n"
    "  --frames N      stop after N frames\n"
    "  --threads N     threads for the encoder's own decoding, 1 to 64 (default 1)\n"
    "  --quiet         only the summary line\n";

using Source = std::function<bool(kelvo::Image&)>;

// Frames of raw rgb24 from a file or standard input; a partial frame at the
// end is an error.
Source rawSource(const std::string& path, int w, int h) {
  std::shared_ptr<std::FILE> f;
  if (path == "-")
    f.reset(stdin, [](std::FILE*) {});
  else
    f.reset(std::fopen(path.c_str(), "rb"), [](std::FILE* p) {
      if (p) std::fclose(p);
    });
  if (!f) throw std::runtime_error(path + ": cannot open");
  auto frames = std::make_shared<long>(0);
  return [=](kelvo::Image& image) {
    image = kelvo::Image(w, h);
    const std::size_t got = std::fread(image.rgb.data(), 1, image.rgb.size(), f.get());
    if (got == image.rgb.size()) {
      ++*frames;
      return true;
    }
    if (std::ferror(f.get())) throw std::runtime_error(path + ": read failed");
    if (got == 0) return false;
    throw std::runtime_error(path + ": at byte " + std::to_string(*frames * image.rgb.size()) + ": short frame " +
                             std::to_string(*frames) + ": " + std::to_string(got) + " of " +
                             std::to_string(image.rgb.size()) + " bytes for " + std::to_string(w) + "x" +
                             std::to_string(h) + " rgb24");
  };
}

Source pictureSource(const std::vector<std::string>& inputs) {
  auto names = std::make_shared<std::vector<std::string>>();
  for (const auto& in : inputs) {
    if (std::filesystem::is_directory(in)) {
      const auto found = kelvo::picturesIn(in);
      if (found.empty()) throw std::runtime_error(in + ": no .png or .ppm pictures in this directory");
      names->insert(names->end(), found.begin(), found.end());
    } else {
      names->push_back(in);
    }
  }
  auto next = std::make_shared<std::size_t>(0);
  return [=](kelvo::Image& image) {
    if (*next == names->size()) return false;
    image = kelvo::readImage((*names)[(*next)++]);
    return true;
  };
}

Source clipSource(int w, int h, int count) {
  auto next = std::make_shared<int>(0);
  return [=](kelvo::Image& image) {
    if (*next == count) return false;
    image = kelvo::clipFrame(w, h, (*next)++);
    return true;
  };
}

int run(int argc, char** argv) {
  using namespace kelvo;
  int w = 0, h = 0, quality = kDefaultQuality, refine = 3, clip = 0, threads = 1;
  long maxFrames = -1;
  bool quiet = false;
  std::string output;
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-o" || arg == "--output")
      output = optionValue(argc, argv, i);
    else if (arg == "--size")
      parseSize(optionValue(argc, argv, i), w, h);
    else if (arg == "--clip")
      clip = parseInt(optionValue(argc, argv, i), arg, 1, 1000000);
    else if (arg == "--quality")
      quality = parseInt(optionValue(argc, argv, i), arg, 1, 100);
    else if (arg == "--refine")
      refine = parseInt(optionValue(argc, argv, i), arg, 0, 8);
    else if (arg == "--frames")
      maxFrames = parseInt(optionValue(argc, argv, i), arg, 1, 1000000000);
    else if (arg == "--threads")
      threads = parseInt(optionValue(argc, argv, i), arg, 1, 64);
    else if (arg == "--quiet")
      quiet = true;
    else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg.size() > 1 && arg[0] == '-')
      throw UsageError("unknown option " + arg);
    else
      inputs.push_back(arg);
  }
  if (output.empty()) throw UsageError("no output stream given (-o)");
  Source source;
  if (clip > 0) {
    if (!inputs.empty()) throw UsageError("--clip takes no input files");
    if (w == 0) w = 320, h = 240;
    source = clipSource(w, h, clip);
  } else if (w > 0) {
    if (inputs.size() != 1) throw UsageError("--size takes exactly one raw rgb24 input ('-' for standard input)");
    source = rawSource(inputs[0], w, h);
  } else {
    if (inputs.empty()) throw UsageError("no input given");
    for (const auto& in : inputs)
      if (in == "-") throw UsageError("standard input holds raw rgb24 frames: give --size WxH");
    source = pictureSource(inputs);
  }

  Image image;
  if (!source(image)) throw std::runtime_error("no frames in the input");
  w = image.width;
  h = image.height;
  if (!validFrameSize(w, h)) throw std::runtime_error("impossible frame size " + std::to_string(w) + "x" + std::to_string(h));
  StreamHeader header;
  header.width = w;
  header.height = h;
  const Table table = qualityTable(quality);
  std::copy(table.begin(), table.end(), header.table);
  StreamWriter writer(output, header);
  Encoder encoder(w, h, table, refine, threads);
  std::vector<signed char> payload(payloadBytes(w, h));

  long frames = 0;
  double sum = 0, seconds = 0;
  do {
    if (image.width != w || image.height != h)
      throw std::runtime_error("frame " + std::to_string(frames) + " is " + std::to_string(image.width) + "x" +
                               std::to_string(image.height) + ", the stream is " + std::to_string(w) + "x" +
                               std::to_string(h));
    const auto start = std::chrono::steady_clock::now();
    const double p = encoder.encodeFrame(image.rgb.data(), payload.data());
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    writer.writeFrame(payload.data());
    if (!quiet) std::fprintf(stderr, "frame %ld: PSNR %.2f dB\n", frames, p);
    sum += p;
    ++frames;
  } while ((maxFrames < 0 || frames < maxFrames) && source(image));
  writer.close();
  std::fprintf(stderr, "%ld frames %dx%d, quality %d, mean PSNR %.2f dB, encoder %.1f frames/s\n", frames, w, h, quality,
               sum / static_cast<double>(frames), static_cast<double>(frames) / seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return kelvo::runTool("kelvo-encode", kUsage, run, argc, argv); }
