#include "tools/picture/input.h"

#include <algorithm>

#include "src/platform/platform.h"

namespace kelvo4 {

std::string quoted(std::string_view text) {
  constexpr std::size_t kMaxChars = 40;
  std::string out = "'";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    char piece[5] = {static_cast<char>(c), 0};
    if (c == '\\' || c == '\'')
      piece[0] = '\\', piece[1] = static_cast<char>(c);
    else if (c == '\t' || c == '\r' || c == '\n')
      piece[0] = '\\', piece[1] = c == '\t' ? 't' : c == '\r' ? 'r' : 'n';
    else if (c < 0x20 || c > 0x7E)
      std::snprintf(piece, sizeof piece, "\\x%02x", c);
    if (out.size() - 1 + std::char_traits<char>::length(piece) > kMaxChars) return out + "'...";
    out += piece;
  }
  return out + "'";
}

std::size_t appendBytes(std::FILE* file, std::vector<std::uint8_t>& out, std::size_t count) {
  const std::size_t start = out.size();
  const os::FileInfo info = os::fileInfo(file);
  const std::int64_t at = info.kind == os::Kind::Regular ? os::tell(file) : -1;
  if (at >= 0) {
    const auto from = static_cast<std::uint64_t>(at);
    const std::uint64_t left = from < info.size ? info.size - from : 0;
    if (left < count) return static_cast<std::size_t>(left);
    out.reserve(start + count);
    os::prefault(out.data() + start, count, true);  // the file holds them all
  }
  // A step at a time: from a pipe, memory grows only as the bytes come.
  constexpr std::size_t kStep = std::size_t{4} << 20;
  std::size_t got = 0;
  while (got < count) {
    const std::size_t step = std::min(count - got, kStep);
    out.resize(start + got + step);
    const std::size_t n = std::fread(out.data() + start + got, 1, step, file);
    got += n;
    if (n < step) break;
  }
  out.resize(start + got);
  return got;
}

std::size_t readBytes(std::FILE* file, std::vector<std::uint8_t>& out, std::size_t count) {
  if (out.size() != count) {
    out.clear();
    return appendBytes(file, out, count);
  }
  const std::size_t got = std::fread(out.data(), 1, count, file);
  out.resize(got);
  return got;
}

}  // namespace kelvo4
