// kelvo-clip: writes frames of the built-in test clip as pictures or rgb24.
#include <string>

#include "tools/tool_args.h"
#include "tools/tool_output.h"

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
    "  --photo FILE   a clip cut from this picture instead (PNG, JPEG or PPM)\n"
    "  --motion M     pan (default), zoom or still: the camera over the picture\n"
    "  --speed PX     a pan's speed in pixels per frame, 0 to 64, fractions too\n"
    "                 (default 0.5)\n"
    "  --cut FILE N   from frame N on, the same motion over another picture\n";

int run(int argc, char** argv) {
  using namespace kelvo4;
  int w = 320, h = 240, frames = 30, start = 0;
  std::string format, output;
  ClipOptions clip;
  for (Args args(argc, argv); args.next();) {
    if (clip.parse(args, 0)) continue;
    if (args.is("--size"))
      parseSize(args.value(), w, h);
    else if (args.is("--frames"))
      frames = args.number(1, 1000000);
    else if (args.is("--start"))
      start = args.number(0, 1000000);
    else if (args.is("--format"))
      format = args.value();
    else if (output.empty())
      output = args.operand();
    else
      throw UsageError("more than one output: " + output + ", " + args.operand());
  }
  if (output.empty()) throw UsageError("no output given");
  if (format.empty()) format = (output == "-" || output.ends_with(".rgb")) ? "raw" : "png";
  if (format != "png" && format != "ppm" && format != "raw") throw UsageError("unknown format " + format);
  clip.load();
  FrameOutput out(output, format == "raw" ? FrameOutput::kRaw : FrameOutput::kFolder, format == "png");
  for (const std::string& photo : clip.inputs()) out.protect(photo);
  out.open();
  for (int f = start; f < start + frames; ++f) out.write(clip.frame(w, h, f), f - start);
  out.close();
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return kelvo4::runTool("kelvo-clip", kUsage, run, argc, argv); }
