// kelvo-clip: writes frames of the built-in test clip as pictures or rgb24.
#include <cstdio>
#include <exception>
#include <string>

#include "kelvo_clip.h"
#include "tool_args.h"

namespace {

const char kUsage[] =
    "usage: kelvo-clip [--size WxH] [--frames N] [--start N] [--format png|ppm|raw] OUTPUT\n"
    "  Renders the built-in clip (a pan and zoom over a generated landscape).\n"
    "  OUTPUT is a directory for png/ppm pictures (frame_000000.png, ...), or a\n"
    "  file or '-' (standard output) for raw rgb24 frames.\n"
    "  --size WxH     frame size (default 320x240)\n"
    "  --frames N     number of frames (default 30)\n"
    "  --start N      index of the first frame (default 0)\n"
    "  --format F     png, ppm or raw (default: raw for '-' or a name ending in\n"
    "                 .rgb, png otherwise)\n"
    "  --photo FILE   a clip cut from this picture instead (PNG or PPM)\n"
    "  --motion M     pan (default), zoom or still: the camera over the picture\n"
    "  --cut FILE N   from frame N on, the same motion over another picture\n";

int run(int argc, char** argv) {
  using namespace kelvo;
  int w = 320, h = 240, frames = 30, start = 0, cutAt = -1;
  std::string format, output, photo, cutPhoto, motion = "pan";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--size")
      parseSize(optionValue(argc, argv, i), w, h);
    else if (arg == "--frames")
      frames = parseInt(optionValue(argc, argv, i), arg, 1, 1000000);
    else if (arg == "--start")
      start = parseInt(optionValue(argc, argv, i), arg, 0, 1000000);
    else if (arg == "--format")
      format = optionValue(argc, argv, i);
    else if (arg == "--photo")
      photo = optionValue(argc, argv, i);
    else if (arg == "--motion")
      motion = optionValue(argc, argv, i);
    else if (arg == "--cut") {
      cutPhoto = optionValue(argc, argv, i);
      cutAt = parseInt(optionValue(argc, argv, i), "--cut frame", 0, 1000000);
    }
    else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg.size() > 1 && arg[0] == '-')
      throw UsageError("unknown option " + arg);
    else if (output.empty())
      output = arg;
    else
      throw UsageError("more than one output: " + output + ", " + arg);
  }
  if (output.empty()) throw UsageError("no output given");
  if (format.empty()) format = (output == "-" || output.ends_with(".rgb")) ? "raw" : "png";
  if (format != "png" && format != "ppm" && format != "raw") throw UsageError("unknown format " + format);

  if (motion != "pan" && motion != "zoom" && motion != "still") throw UsageError("unknown motion " + motion);
  if (photo.empty() && (!cutPhoto.empty() || motion != "pan")) throw UsageError("--motion and --cut need --photo");
  const Motion move = motion == "pan" ? Motion::Pan : motion == "zoom" ? Motion::Zoom : Motion::Still;
  const Image first = photo.empty() ? Image() : readImage(photo);
  const Image second = cutPhoto.empty() ? Image() : readImage(cutPhoto);
  std::FILE* raw = nullptr;
  if (format == "raw") {
    raw = output == "-" ? stdout : std::fopen(output.c_str(), "wb");
    if (!raw) throw std::runtime_error(output + ": cannot create: " + std::strerror(errno));
  } else {
    makeDirectory(output);
  }
  for (int f = start; f < start + frames; ++f) {
    const Image image = photo.empty()               ? clipFrame(w, h, f)
                        : cutAt >= 0 && f >= cutAt ? photoFrame(second, w, h, move, f)
                                                   : photoFrame(first, w, h, move, f);
    if (raw)
      writeAll(raw, image.rgb.data(), image.rgb.size(), output);
    else if (format == "png")
      writePng(frameName(output, f - start, "png"), image);
    else
      writePpm(frameName(output, f - start, "ppm"), image);
  }
  if (raw && (std::fflush(raw) != 0 || (raw != stdout && std::fclose(raw) != 0)))
    throw std::runtime_error(output + ": write failed");
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return kelvo::runTool("kelvo-clip", kUsage, run, argc, argv); }
