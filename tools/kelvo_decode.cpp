// kelvo-decode: decodes a stream file through the decoder library into PNG or
// PPM pictures, or raw rgb24 for other programs.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "kelvo4_decoder.hpp"
#include "kelvo_image.h"
#include "kelvo_stream.h"
#include "tool_args.h"

namespace {

const char kUsage[] =
    "usage: kelvo-decode [options] STREAM OUTPUT\n"
    "  STREAM is a stream file, '-' for standard input. OUTPUT is a directory\n"
    "  for pictures (frame_000000.png, ...), or a file or '-' (standard output)\n"
    "  for raw rgb24 frames.\n"
    "  --format F   png, ppm or raw (default: raw for '-' or a name ending in\n"
    "               .rgb, png otherwise)\n"
    "  --start N    first frame to write; earlier ones are decoded, not written\n"
    "  --frames N   number of frames to write (default: to the end)\n"
    "  --threads N  decoding threads, 1 to 64 (default 1)\n"
    "  --quiet      no progress on standard error\n";

int run(int argc, char** argv) {
  using namespace kelvo;
  long start = 0, count = -1;
  int threads = 1;
  bool quiet = false;
  std::string format;
  std::vector<std::string> names;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--format")
      format = optionValue(argc, argv, i);
    else if (arg == "--start")
      start = parseInt(optionValue(argc, argv, i), arg, 0, 1000000000);
    else if (arg == "--frames")
      count = parseInt(optionValue(argc, argv, i), arg, 1, 1000000000);
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
      names.push_back(arg);
  }
  if (names.size() != 2) throw UsageError("need a stream and an output");
  const std::string& output = names[1];
  if (format.empty()) format = (output == "-" || output.ends_with(".rgb")) ? "raw" : "png";
  if (format != "png" && format != "ppm" && format != "raw") throw UsageError("unknown format " + format);

  StreamReader reader(names[0]);
  const StreamHeader& header = reader.header();
  kelvo4::Decoder decoder(header.width, header.height, threads);
  decoder.setTable(header.table);

  std::FILE* raw = nullptr;
  if (format == "raw") {
    raw = output == "-" ? stdout : std::fopen(output.c_str(), "wb");
    if (!raw) throw std::runtime_error(output + ": cannot create");
  } else {
    makeDirectory(output);
  }

  const bool tty = isatty(fileno(stderr));
  Image image(header.width, header.height);
  std::vector<signed char> payload;
  const int n = header.width * header.height;
  long written = 0;
  const auto begin = std::chrono::steady_clock::now();
  auto lastReport = begin;
  while ((count < 0 || written < count) && reader.readFrame(payload)) {
    const long index = reader.framesRead() - 1;
    const bool wanted = index >= start;
    // Frames before --start are still decoded: each frame is predicted from
    // the one before it.
    decoder.decode(payload.data(), static_cast<int>(payload.size()),
                   wanted ? reinterpret_cast<signed char*>(image.rgb.data()) : nullptr, wanted ? 3 * n : 0);
    if (wanted) {
      if (raw)
        writeAll(raw, image.rgb.data(), image.rgb.size(), output);
      else if (format == "png")
        writePng(frameName(output, index, "png"), image);
      else
        writePpm(frameName(output, index, "ppm"), image);
      ++written;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!quiet && now - lastReport > std::chrono::milliseconds(500)) {
      lastReport = now;
      std::fprintf(stderr, tty ? "\rkelvo-decode: frame %ld" : "kelvo-decode: frame %ld\n", index);
    }
  }
  if (raw && (std::fflush(raw) != 0 || (raw != stdout && std::fclose(raw) != 0)))
    throw std::runtime_error(output + ": write failed");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  if (written == 0 && reader.framesRead() <= start)
    throw std::runtime_error(names[0] + ": has " + std::to_string(reader.framesRead()) +
                             " frames, none from --start " + std::to_string(start));
  if (!quiet)
    std::fprintf(stderr, "%skelvo-decode: %ld frames %dx%d decoded, %ld written, %.1f frames/s\n",
                 tty ? "\r" : "", reader.framesRead(), header.width, header.height, written,
                 static_cast<double>(reader.framesRead()) / seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return kelvo::runTool("kelvo-decode", kUsage, run, argc, argv); }
