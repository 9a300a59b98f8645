// Small command-line helpers shared by the tools. A bad argument throws
// UsageError, which the tools report with their usage and exit status 2.
#pragma once

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "kelvo_image.h"
#include "kelvo_stream.h"

namespace kelvo {

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

// "WxH" with both sides acceptable to the decoder.
inline void parseSize(const std::string& text, int& w, int& h) {
  const auto x = text.find('x');
  if (x == std::string::npos) throw UsageError("--size needs WxH, for example 320x240, not '" + text + "'");
  w = parseInt(text.substr(0, x), "--size width", 1, kMaxSide);
  h = parseInt(text.substr(x + 1), "--size height", 1, kMaxSide);
  if (!validFrameSize(w, h)) throw UsageError("--size " + text + " is too large");
}

// The value after an option, or a usage error when the option ends the line.
inline std::string optionValue(int argc, char** argv, int& i) {
  if (i + 1 >= argc) throw UsageError(std::string(argv[i]) + " needs a value");
  return argv[++i];
}

// The picture files of a directory (.png, .ppm), sorted by name.
inline std::vector<std::string> picturesIn(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    const std::string name = entry.path().string();
    if (isPngName(name) || isPpmName(name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Creates an output directory (and its parents) if needed.
inline void makeDirectory(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir)) throw std::runtime_error(dir + ": cannot create directory");
}

// Name of picture `index` in a directory: frame_000042.png.
inline std::string frameName(const std::string& dir, long index, const char* extension) {
  char name[40];
  std::snprintf(name, sizeof name, "frame_%06ld.%s", index, extension);
  return (std::filesystem::path(dir) / name).string();
}

// Writes all of a buffer to a stream, reporting a short write.
inline void writeAll(std::FILE* f, const void* data, std::size_t size, const std::string& name) {
  if (std::fwrite(data, 1, size, f) != size) throw std::runtime_error(name + ": write failed");
}

// Runs a tool's main body: a usage error prints the message and the usage
// and gives exit status 2, any other error the message and status 1.
inline int runTool(const char* name, const char* usage, int (*run)(int, char**), int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "%s: %s\n%s", name, e.what(), usage);
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", name, e.what());
    return 1;
  }
}

}  // namespace kelvo
