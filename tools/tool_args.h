// Small command-line helpers shared by the tools. A bad argument throws
// UsageError, which the tools report with their usage and exit status 2.
#pragma once

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
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

// The picture files of a directory (.png, .ppm), in natural order of name.
inline std::vector<std::string> picturesIn(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file()) continue;
    const std::string name = it->path().string();
    if (isPngName(name) || isPpmName(name)) names.push_back(name);
  }
  if (ec) throw std::runtime_error(dir.string() + ": cannot read directory: " + ec.message());
  std::sort(names.begin(), names.end(), naturalLess);
  return names;
}

// Creates an output directory (and its parents) if needed.
inline void makeDirectory(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) throw std::runtime_error(dir + ": cannot create directory: " + ec.message());
  if (!std::filesystem::is_directory(dir)) throw std::runtime_error(dir + ": cannot create directory: a file is there");
}

// Name of picture `index` in a directory: frame_000042.png.
inline std::string frameName(const std::string& dir, long index, const char* extension) {
  char name[40];
  std::snprintf(name, sizeof name, "frame_%06ld.%s", index, extension);
  return (std::filesystem::path(dir) / name).string();
}

// True when both names exist and are the same file (through links too).
inline bool sameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return a != "-" && b != "-" && std::filesystem::equivalent(a, b, ec) && !ec;
}

// Opens a file for writing, standard output for "-".
inline std::FILE* createFile(const std::string& path) {
  if (path == "-") return stdout;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error(path + ": cannot create: " + std::strerror(errno));
  return f;
}

// Writes all of a buffer to a stream, reporting a short write.
inline void writeAll(std::FILE* f, const void* data, std::size_t size, const std::string& name) {
  if (std::fwrite(data, 1, size, f) != size) throw std::runtime_error(name + ": write failed: " + std::strerror(errno));
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
