// Small command-line helpers shared by the tools. A bad argument throws
// UsageError, which the tools report, with where to find their usage, and
// exit status 2.
#pragma once

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "tools/clip/clip_generator.h"
#include "tools/picture/image.h"
#include "kelvo4/kelvo4.hpp"
#include "tools/platform/tool_platform.h"
#include "src/stream/stream_format.h"

namespace kelvo4 {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Whole decimal number within [lo, hi], nothing else in the text.
inline int parseInt(const std::string& text, const std::string& option, int lo, int hi) {
  int v = 0;
  const char* end = text.data() + text.size();
  const auto [p, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || p != end || v < lo || v > hi)
    throw UsageError(option + " needs a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) +
                     ", not '" + text + "'");
  return v;
}

// A decimal number (0.5, 2, 1e1) within [lo, hi], nothing else in the text.
inline double parseDecimal(const std::string& text, const std::string& option, double lo, double hi) {
  double v = 0;
  const char* end = text.data() + text.size();
  const auto [p, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || p != end || !(v >= lo && v <= hi))
    throw UsageError(option + " needs a number from " + std::to_string(static_cast<int>(lo)) + " to " +
                     std::to_string(static_cast<int>(hi)) + ", such as 0.5, not '" + text + "'");
  return v;
}

// "1 frame", "2 frames": a count and its noun.
inline std::string counted(long long n, const std::string& noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

// "WxH" with both sides acceptable to the decoder.
inline void parseSize(const std::string& text, int& w, int& h) {
  const auto x = text.find('x');
  if (x == std::string::npos) throw UsageError("--size needs WxH, for example 320x240, not '" + text + "'");
  w = parseInt(text.substr(0, x), "--size width", 1, kMaxSide);
  h = parseInt(text.substr(x + 1), "--size height", 1, kMaxSide);
  if (!validFrameSize(w, h))
    throw UsageError("--size " + text + " is too large: 3 x coded width x coded height must be below 2^31 "
                     "(about 26,750 pixels a side when square)");
}

// Thrown for -h or --help: the tool prints its usage on standard output and
// exits with status 0; for --version, the library's version.
struct HelpRequest {};
struct VersionRequest {};

// A tool's command line, one argument at a time:
//   for (Args args(argc, argv); args.next();)
//     if (args.is("--frames")) frames = args.number(1, 1000000);
//     else names.push_back(args.operand());
class Args {
 public:
  Args(int argc, char** argv) : argc_(argc), argv_(argv) {}

  // Moves to the next argument; false after the last.
  bool next() {
    if (++i_ >= argc_) return false;
    arg_ = argv_[i_];
    if (arg_ == "-h" || arg_ == "--help") throw HelpRequest();
    if (arg_ == "--version") throw VersionRequest();
    return true;
  }
  const std::string& arg() const { return arg_; }
  template <class... Names>
  bool is(const Names&... names) const {
    return ((arg_ == names) || ...);
  }
  // The value after the option, or a usage error when the option ends the line.
  std::string value() {
    if (i_ + 1 >= argc_) throw UsageError(arg_ + " needs a value");
    return argv_[++i_];
  }
  // The value as a whole number within [lo, hi]; errors name `what`, by
  // default the option.
  int number(int lo, int hi, const std::string& what = "") {
    const std::string name = what.empty() ? arg_ : what;
    return parseInt(value(), name, lo, hi);
  }
  // The argument as a name, not an option ("-" alone is one: standard input
  // or output).
  const std::string& operand() const {
    if (arg_.size() > 1 && arg_[0] == '-') throw UsageError("unknown option " + arg_);
    return arg_;
  }

 private:
  int argc_;
  char** argv_;
  int i_ = 0;
  std::string arg_;
};

// The extension of a name in lower case (".mp4"): from the last dot of its
// last part, not one that starts it; "" for none.
inline std::string extensionOf(const std::string& name) {
  const std::size_t base = name.find_last_of("/\\") + 1, dot = name.rfind('.');
  if (dot == std::string::npos || dot <= base) return "";
  std::string ext = name.substr(dot);
  for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return ext;
}

// ffmpeg's options for a video of what kelvo-decode writes: 4:2:0, which
// players expect, an odd side padded to an even one, as 4:2:0 needs, and the
// colours tagged as they are: the BT.601 matrix in limited range (what the
// YUV4MPEG2 is written with), of pictures in sRGB's primaries and transfer.
inline constexpr char kFfmpegVideo[] =
    "-vf 'pad=ceil(iw/2)*2:ceil(ih/2)*2' -pix_fmt yuv420p "
    "-colorspace smpte170m -color_range tv -color_primaries bt709 -color_trc iec61966-2-1";

// The command that makes `output` (out.mp4, out.png ...) of `stream`:
// kelvo-decode alone for what it writes, through ffmpeg for video and other
// pictures; "" for other names.
inline std::string decodeCommand(const std::string& stream, const std::string& output) {
  const std::string ext = extensionOf(output), pipe = "kelvo-decode " + stream + " - --format y4m | ffmpeg -i - ";
  for (const char* own : {".png", ".ppm", ".y4m", ".rgb"})
    if (ext == own) return "kelvo-decode " + stream + " " + output;
  for (const char* picture : {".jpg", ".jpeg", ".bmp", ".webp"})
    if (ext == picture) return pipe + "-frames:v 1 " + output;
  for (const char* video : {".mp4", ".mkv", ".mov", ".m4v", ".webm", ".ts"})
    if (ext == video) return pipe + kFfmpegVideo + " " + output;
  return "";
}

// Refuses an output name that does not end in one of a tool's extensions
// (`accepted`, say ".klv") or in none, with what the tool writes and, where
// one is known, the command that makes such a file of `stream`: "out.mp4:
// kelvo-encode writes ..., not .mp4; out.mp4 from a stream: COMMAND".
inline void refuseOtherExtension(const std::string& name, std::initializer_list<const char*> accepted,
                                 const std::string& writes, const std::string& stream) {
  const std::string ext = extensionOf(name);
  if (name == "-" || ext.empty()) return;
  for (const char* ok : accepted)
    if (ext == ok) return;
  const std::size_t dot = name.rfind('.');
  const std::string example = "out" + name.substr(dot), command = decodeCommand(stream, example);
  throw UsageError(name + ": " + writes + ", not " + name.substr(dot) +
                   (command.empty() ? "" : "; " + example + " from a stream: " + command));
}

// The value of --max-pixels N for the readers: N, or for 0 no limit (-1).
inline long long maxPixelsOption(Args& args) {
  const int n = args.number(0, 0x7FFFFFFF);
  return n == 0 ? -1 : n;
}

// What kelvo-clip and kelvo-measure render: the built-in clip, or with
// --photo FILE [--motion pan|zoom|still] [--speed PX] [--cut FILE2 N] a clip
// cut from a photograph, from frame N on from another.
class ClipOptions {
 public:
  std::string photo, motion = "pan";
  int cutAt = -1;
  double speed = kDefaultPanSpeed;  // of a pan, in frame pixels per frame

  // Takes the current argument when it is one of the options above, the cut
  // frame from firstCut on.
  bool parse(Args& args, int firstCut) {
    if (args.is("--photo")) {
      photo = args.value();
    } else if (args.is("--motion")) {
      motion = args.value();
    } else if (args.is("--speed")) {
      speed = parseDecimal(args.value(), "--speed", 0, 64);
    } else if (args.is("--cut")) {
      cutPhoto_ = args.value();
      cutAt = args.number(firstCut, 1000000, "--cut frame");
    } else {
      return false;
    }
    return true;
  }
  // The photographs named, for outputs to keep clear of.
  std::vector<std::string> inputs() const {
    std::vector<std::string> names;
    for (const std::string* name : {&photo, &cutPhoto_})
      if (!name->empty()) names.push_back(*name);
    return names;
  }
  // Checks the motion and reads the photographs.
  void load() {
    if (motion != "pan" && motion != "zoom" && motion != "still") throw UsageError("unknown motion " + motion);
    if (photo.empty() && (!cutPhoto_.empty() || motion != "pan")) throw UsageError("--motion and --cut need --photo");
    move_ = motion == "pan" ? Motion::Pan : motion == "zoom" ? Motion::Zoom : Motion::Still;
    if (!photo.empty()) first_ = readImage(photo);
    if (!cutPhoto_.empty()) second_ = readImage(cutPhoto_);
  }
  Image frame(int w, int h, int index) const {
    if (photo.empty()) return clipFrame(w, h, index);
    return photoFrame(cutAt >= 0 && index >= cutAt ? second_ : first_, w, h, move_, index, speed);
  }

 private:
  std::string cutPhoto_;
  Image first_, second_;
  Motion move_ = Motion::Pan;
};

// Names compared as a person reads them: runs of digits by their value
// (frame2 before frame10), then by length (frame02 after frame2), everything
// else byte by byte.
inline bool naturalLess(const std::string& a, const std::string& b) {
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (!digit(a[i]) || !digit(b[j])) {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      ++i, ++j;
      continue;
    }
    const std::size_t i0 = i, j0 = j;
    while (i < a.size() && digit(a[i])) ++i;
    while (j < b.size() && digit(b[j])) ++j;
    std::size_t zi = i0, zj = j0;  // skip leading zeros, then compare by length and digits
    while (zi + 1 < i && a[zi] == '0') ++zi;
    while (zj + 1 < j && b[zj] == '0') ++zj;
    const std::string_view da(a.data() + zi, i - zi), db(b.data() + zj, j - zj);
    if (da.size() != db.size()) return da.size() < db.size();
    if (da != db) return da < db;
    if (i - i0 != j - j0) return i - i0 < j - j0;
  }
  return a.size() - i < b.size() - j;
}

// The picture files of a directory (.png, .ppm, .jpg, .jpeg), in natural order of name.
inline std::vector<std::string> picturesIn(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(os::pathOf(dir), ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    const std::string name = os::textOf(it->path());
    if (isPngName(name) || isPpmName(name) || isJpegName(name)) names.push_back(name);
  }
  if (ec) throw std::runtime_error(dir + ": cannot read directory: " + ec.message());
  std::sort(names.begin(), names.end(), naturalLess);
  return names;
}

// True when writing `output` would write over `input`: the same file by
// its identity, whatever the names (links too). "-" is standard output as
// an output and standard input as an input.
inline bool writesOver(const std::string& output, const std::string& input) {
  if (output == "-" && input == "-") return false;
  if (output == "-") return os::fileInfo(stdout).kind == os::Kind::Regular && os::sameFile(input, stdout);
  if (input == "-") return os::fileInfo(stdin).kind == os::Kind::Regular && os::sameFile(output, stdin);
  return os::sameFile(output, input);
}

// Standard output flushed, or "standard output: write failed" and the
// reason: what a tool printed is checked like any file it writes.
inline void flushStdout() {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout))
    throw std::runtime_error(std::string("standard output: write failed: ") + std::strerror(errno ? errno : EIO));
}

// Runs a tool's main body: --help prints the usage and --version the
// library's version, with exit status 0; a usage error prints the message and
// where the usage is, with status 2; any other error the message and status 1.
inline int runTool(const char* name, const char* usage, int (*run)(int, char**), int argc, char** argv) {
  os::startTool(argc, argv);
  int status = 0;
  try {
    try {
      status = run(argc, argv);
    } catch (const HelpRequest&) {
      std::fputs(usage, stdout);
    } catch (const VersionRequest&) {
      const int v = kelvo4_version();
      std::printf("%s %d.%d.%d\n", name, v / 10000, v / 100 % 100, v % 100);
    }
    flushStdout();
    return status;
  } catch (const UsageError& e) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for the options.\n", name, e.what(), name);
    return 2;
  } catch (const std::bad_alloc& e) {
    // A stream's says where; elsewhere the tool says so where it knows more.
    std::fprintf(stderr, "%s: %s\n", name, dynamic_cast<const StreamOutOfMemory*>(&e) ? e.what() : "out of memory");
    return 1;
  } catch (const std::exception& e) {
    const auto* stream = dynamic_cast<const StreamError*>(&e);
    const bool limit = dynamic_cast<const PictureTooLarge*>(&e) || (stream && stream->code().value() == EFBIG);
    std::fprintf(stderr, "%s: %s%s\n", name, e.what(), limit ? " (--max-pixels raises the limit)" : "");
    return 1;
  }
}

}  // namespace kelvo4
