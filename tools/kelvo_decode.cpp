// kelvo-decode: decodes a stream file through the decoder library into PNG or
// PPM pictures, a YUV4MPEG2 stream or raw rgb24 for other programs, or tells
// what a stream holds.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tools/picture/image.h"
#include "kelvo4/kelvo4.hpp"
#include "src/stream/stream_format.h"
#include "tools/picture/y4m.h"
#include "tools/tool_args.h"
#include "tools/tool_output.h"
#include "tools/tool_progress.h"

namespace {

const char kUsage[] =
    "usage: kelvo-decode [options] STREAM OUTPUT\n"
    "       kelvo-decode --info STREAM\n"
    "  STREAM is a stream file, '-' for standard input (a pipe by its name is\n"
    "  read as standard input is). OUTPUT is\n"
    "    NAME.png, NAME.ppm    one picture (the first frame written), or with a\n"
    "                          printf number in the name (out/f_%04d.png) one\n"
    "                          picture per frame, numbered by frame\n"
    "    NAME.y4m              a YUV4MPEG2 stream (4:4:4) for video programs\n"
    "    NAME.rgb, '-'         raw rgb24 frames ('-': standard output)\n"
    "    DIR, DIR/             a directory of frame_000000.png, ... (a name\n"
    "                          without an extension, or one ending in '/')\n"
    "  Other extensions (.mp4, .mkv, .jpg, ...) are refused: for video, pipe a\n"
    "  YUV4MPEG2 stream into ffmpeg, which tags the colours as they are:\n"
    "    kelvo-decode STREAM - --format y4m | ffmpeg -i - \\\n"
    "      -vf 'pad=ceil(iw/2)*2:ceil(ih/2)*2' -pix_fmt yuv420p \\\n"
    "      -colorspace smpte170m -color_range tv -color_primaries bt709 \\\n"
    "      -color_trc iec61966-2-1 out.mp4\n"
    "  and for a JPEG of the first frame, ffmpeg -i - -frames:v 1 out.jpg\n"
    "  The output is never the stream itself. A damaged stream: the frames\n"
    "  before the damage are written and kept, the damage named, exit status 1.\n"
    "  Any other failure (a write, a failed read, bad arguments) or an interrupt\n"
    "  leaves nothing it created and old files as they were.\n"
    "  --format F   png, ppm, y4m or raw: overrides what the name says; y4m and\n"
    "               raw go to a file or '-', png and ppm to a picture name or a\n"
    "               directory\n"
    "  --info       print the stream's size, rate, frames, key frames and\n"
    "               compression, decode nothing; a damaged file is reported\n"
    "               with its intact frames (exit status 1)\n"
    "  --start N    first frame to write (a file starts at the key frame before)\n"
    "  --frames N   number of frames to write (default: to the end)\n"
    "  --threads N  decoding threads, 1 to 64 (default: the machine's\n"
    "               cores, {cores} here)\n"
    "  --quiet      only errors on standard error: no progress, no summary\n"
    "  --verbose    a line of progress every half second, also where standard\n"
    "               error is no terminal (without it: on a terminal, one line\n"
    "               rewritten in place; elsewhere none)\n"
    "  --keep-partial  on any other failure, keep the frames written before it\n"
    "               (exit status 1 all the same)\n"
    "  --max-pixels N  refuse a stream of pictures of more than N pixels, before\n"
    "               anything is allocated (default 67108864, 8192x8192; 0: no\n"
    "               limit but the format's)\n";

// The output its name or --format asks for; a single picture limits the
// frames to one.
std::unique_ptr<kelvo4::FrameOutput> outputFor(const std::string& name, std::string format, long& count,
                                               bool keepPartial) {
  using kelvo4::FrameOutput;
  if (format.empty())
    kelvo4::refuseOtherExtension(name, {".png", ".ppm", ".y4m", ".rgb"},
                         "kelvo-decode writes PNG or PPM pictures (NAME.png, NAME.ppm, or a directory: a name without "
                         "an extension), a YUV4MPEG2 stream (.y4m) or raw rgb24 (.rgb, '-')",
                         "STREAM");
  if (format.empty())
    format = name == "-" || kelvo4::extensionOf(name) == ".rgb" ? "raw"
             : kelvo4::isY4mName(name)              ? "y4m"
             : kelvo4::isPpmName(name)              ? "ppm"
                                                   : "png";
  FrameOutput::Kind kind = FrameOutput::kRaw;
  if (format == "y4m") {
    kind = FrameOutput::kY4m;
  } else if (format == "png" || format == "ppm") {
    if (name == "-") throw kelvo4::UsageError("pictures cannot go to standard output: use --format raw or y4m");
    kind = kelvo4::isPngName(name) || kelvo4::isPpmName(name) ? FrameOutput::kPictures : FrameOutput::kFolder;
  } else if (format != "raw") {
    throw kelvo4::UsageError("unknown format " + format);
  }
  auto output = std::make_unique<FrameOutput>(name, kind, format == "png", keepPartial);
  if (kind == FrameOutput::kPictures && !output->numbered()) {
    if (count > 1)
      throw kelvo4::UsageError(name + " holds one picture: for --frames " + std::to_string(count) +
                              " put a %d in the name or give a directory");
    count = 1;
  }
  return output;
}

std::string rateText(const kelvo4_stream_info& info) {
  if (info.rate_den == 0) return "unknown";
  char text[64];
  std::snprintf(text, sizeof text, "%u/%u (%.4g frames/s)", static_cast<unsigned>(info.rate_num),
                static_cast<unsigned>(info.rate_den), static_cast<double>(info.rate_num) / info.rate_den);
  return text;
}

// Standard input or a pipe, for a stream read in order through
// kelvo4_stream_open_callback.
std::ptrdiff_t readPipe(void* file, void* buffer, std::size_t length) {
  auto* f = static_cast<std::FILE*>(file);
  const std::size_t got = std::fread(buffer, 1, length, f);
  return got == 0 && std::ferror(f) ? -EIO : static_cast<std::ptrdiff_t>(got);
}

// --info: what the stream holds, from its header and index; a stream read
// from a pipe shows its key frames as it plays, so it is played to its end.
// A damaged stream is reported as such, with its intact frames (exit status
// 1).
int printInfo(kelvo4::Stream& stream, const std::string& name, bool piped) {
  kelvo4_stream_info info = stream.info();
  std::string damage = stream.damage();
  if (piped) {
    try {
      while (stream.next(nullptr, 0)) {
      }
    } catch (const kelvo4::StreamError& e) {
      damage = e.what();
    }
    info = stream.info();
    if (!damage.empty()) info.frame_count = stream.position();
  }
  const std::vector<std::int64_t> keys = stream.keyFrames();
  std::printf("%s: stream version %d\n", name.c_str(), info.version);
  std::printf("picture %dx%d, coded %dx%d\n", info.width, info.height, info.coded_width, info.coded_height);
  std::printf("frame rate %s\n", rateText(info).c_str());
  if (damage.empty())
    std::printf("frames %lld\n", static_cast<long long>(info.frame_count));
  else
    std::printf("frames %lld intact, then damaged\n", static_cast<long long>(info.frame_count));
  std::printf("key frames %zu:", keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    // Long lists show their first ten and the last.
    if (keys.size() > 12 && i == 10) {
      std::printf(" ...");
      i = keys.size() - 1;
    }
    std::printf(" %lld", static_cast<long long>(keys[i]));
  }
  const double raw = 3.0 * info.width * info.height * static_cast<double>(info.frame_count);
  std::printf("\nraw rgb24 %.0f bytes", raw);
  const kelvo4::os::FileInfo file = piped ? kelvo4::os::FileInfo{} : kelvo4::os::fileInfo(name);
  if (file.kind == kelvo4::os::Kind::Regular && file.size > 0)
    std::printf(", compressed %ju bytes, ratio %.1f:1", static_cast<std::uintmax_t>(file.size),
                raw / static_cast<double>(file.size));
  std::printf("\n");
  if (damage.empty()) return 0;
  std::printf("damaged: %s\n", damage.c_str());
  return 1;
}

int run(int argc, char** argv) {
  using namespace kelvo4;
  long start = 0, count = -1;
  int threads = defaultThreads();
  long long maxPixels = KELVO4_DEFAULT_MAX_PIXELS;
  bool quiet = false, verbose = false, info = false, keepPartial = false;
  std::string format;
  std::vector<std::string> names;
  for (Args args(argc, argv); args.next();) {
    if (args.is("--format"))
      format = args.value();
    else if (args.is("--start"))
      start = args.number(0, 1000000000);
    else if (args.is("--frames"))
      count = args.number(1, 1000000000);
    else if (args.is("--threads"))
      threads = args.number(1, 64);
    else if (args.is("--info"))
      info = true;
    else if (args.is("--quiet"))
      quiet = true, verbose = false;
    else if (args.is("--verbose"))
      verbose = true, quiet = false;
    else if (args.is("--keep-partial"))
      keepPartial = true;
    else if (args.is("--max-pixels"))
      maxPixels = maxPixelsOption(args);
    else
      names.push_back(args.operand());
  }
  if (names.size() > (info ? 1u : 2u))
    throw UsageError("too many arguments: " + names[info ? 1 : 2] + (info ? " (--info takes one stream)" : ""));
  if (names.size() < (info ? 1u : 2u))
    throw UsageError(info ? "--info takes one stream" : "need a stream and an output");
  const std::string& stream = names[0];
  // Before the name is read as a kind of output (a folder, for this one).
  if (!info && writesOver(names[1], stream))
    throw std::runtime_error(names[1] + ": is the stream being decoded; not overwriting it");
  std::unique_ptr<FrameOutput> output;
  if (!info) output = outputFor(names[1], format, count, keepPartial);

  // A pipe or device by its name is read in order, as standard input is.
  const os::Kind kind = stream == "-" ? os::Kind::Other : os::fileInfo(stream).kind;
  if (kind == os::Kind::Directory) throw std::runtime_error(stream + ": is a folder, not a stream file");
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> pipe(
      stream == "-" || kind != os::Kind::Other ? nullptr : openFile(stream, "rb"), std::fclose);
  if (stream != "-" && kind == os::Kind::Other && !pipe)
    throw std::runtime_error(stream + ": cannot open: " + std::strerror(errno));
  std::FILE* const piped = stream == "-" ? stdin : pipe.get();
  Stream playback = piped ? Stream(readPipe, piped, stream == "-" ? "standard input" : stream.c_str(), threads,
                                   maxPixels)
                          : Stream(stream, threads, maxPixels);
  if (info) return printInfo(playback, stream, piped != nullptr);
  const kelvo4_stream_info header = playback.info();
  StreamInfo picture;
  picture.width = header.width;
  picture.height = header.height;
  picture.rateNum = header.rate_num;
  picture.rateDen = header.rate_den;
  output->open(picture, stream);
  // A file starts at the last key frame before --start; a pipe decodes its
  // way there, each frame being predicted from the one before it.
  // Past the intact frames of a damaged file, the failure names the damage.
  if (start > 0) playback.seek(start);

  // No picture before there is a frame to write, whatever size the header
  // claims.
  Image image;
  if ((count < 0 || count > 0) && playback.peek()) {
    try {
      image = Image(header.width, header.height);
    } catch (const std::bad_alloc&) {
      throw std::runtime_error((stream == "-" ? "standard input" : stream) + ": out of memory for a picture of " +
                               std::to_string(header.width) + "x" + std::to_string(header.height) + " (" +
                               std::to_string(3LL * header.width * header.height) + " bytes)");
    }
  }
  long written = 0;
  const auto begin = std::chrono::steady_clock::now();
  auto lastReport = begin;
  // The frames to write, when the stream says how many it holds.
  long total = -1;
  if (header.frame_count >= 0) {
    total = static_cast<long>(std::max<std::int64_t>(0, header.frame_count - start));
    if (count >= 0) total = std::min(total, count);
  }
  const bool tty = stderrIsTerminal();
  Progress progress("kelvo-decode", total, tty && !quiet && !verbose);
  // Damage (a malformed or cut stream) ends the run with what was intact
  // before it written and kept; any other failure, a read that failed
  // included, removes what the run created (see FrameOutput).
  const auto next = [&] {
    try {
      return playback.next(image.rgb.data(), image.rgb.size());
    } catch (const StreamError& e) {
      if (written > 0 && e.code().value() == EBADMSG) output->close();
      throw;
    }
  };
  for (long index = static_cast<long>(playback.position()); (count < 0 || written < count) && next(); ++index) {
    output->write(image, index);
    ++written;
    progress.frame(written);
    const auto now = std::chrono::steady_clock::now();
    if (verbose && now - lastReport > std::chrono::milliseconds(500)) {
      lastReport = now;
      if (total >= 0)
        std::fprintf(stderr, "kelvo-decode: frame %ld (%ld of %ld)\n", index, written, total);
      else
        std::fprintf(stderr, "kelvo-decode: frame %ld\n", index);
    }
  }
  progress.clear();
  const std::string label = stream == "-" ? "standard input" : stream;
  if (written == 0 && start > 0)
    throw std::runtime_error(label + ": no frame " + std::to_string(start) + " to start from: the stream has " +
                             counted(playback.position(), "frame"));
  if (written == 0) throw std::runtime_error(label + ": has no frames");
  output->close();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  if (!quiet)
    std::fprintf(stderr, "kelvo-decode: %ld frame%s %dx%d written from frame %ld, %.1f frames/s\n", written,
                 written == 1 ? "" : "s", header.width, header.height, start, static_cast<double>(written) / seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  static const std::string usage = kelvo4::withCores(kUsage);
  return kelvo4::runTool("kelvo-decode", usage.c_str(), run, argc, argv);
}
