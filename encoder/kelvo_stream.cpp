#include "kelvo_stream.h"

#include <cerrno>
#include <cmath>
#include <cstring>

namespace kelvo {

namespace {

const char kMagic[4] = {'K', 'L', 'V', '4'};

void putU32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint32_t getU32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

std::string where(const std::string& path, std::uint64_t offset) {
  return path + ": at byte " + std::to_string(offset) + ": ";
}

}  // namespace

std::size_t payloadBytes(int w, int h) {
  const std::size_t n = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
  return n + n / 2;
}

bool validFrameSize(int w, int h) {
  if (w < 1 || h < 1 || w > kMaxSide || h > kMaxSide) return false;
  return 3ULL * static_cast<unsigned>(w) * static_cast<unsigned>(h) < (1ULL << 31);
}

StreamWriter::StreamWriter(const std::string& path, const StreamHeader& header) : path_(path) {
  if (!validFrameSize(header.width, header.height))
    throw StreamError(path + ": impossible frame size " + std::to_string(header.width) + "x" +
                      std::to_string(header.height));
  if (path == "-") {
    file_ = stdout;
  } else {
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) throw StreamError(path + ": cannot create: " + std::strerror(errno));
    owned_ = true;
  }
  frameBytes_ = payloadBytes(header.width, header.height);
  unsigned char head[kStreamHeaderBytes];
  std::memcpy(head, kMagic, 4);
  putU32(head + 4, kStreamVersion);
  putU32(head + 8, static_cast<std::uint32_t>(header.width));
  putU32(head + 12, static_cast<std::uint32_t>(header.height));
  for (int i = 0; i < 64; ++i) {
    std::uint32_t bits;
    std::memcpy(&bits, &header.table[i], 4);
    putU32(head + 16 + 4 * i, bits);
  }
  if (std::fwrite(head, 1, sizeof head, file_) != sizeof head)
    throw StreamError(path + ": write failed: " + std::strerror(errno));
}

StreamWriter::~StreamWriter() {
  if (owned_ && file_) std::fclose(file_);
}

void StreamWriter::writeFrame(const signed char* payload) {
  if (!file_) throw StreamError(path_ + ": stream already closed");
  if (std::fwrite(payload, 1, frameBytes_, file_) != frameBytes_)
    throw StreamError(path_ + ": write failed: " + std::strerror(errno));
}

void StreamWriter::close() {
  if (!file_) return;
  bool ok = std::fflush(file_) == 0;
  if (owned_) ok = std::fclose(file_) == 0 && ok;
  file_ = nullptr;
  if (!ok) throw StreamError(path_ + ": write failed: " + std::strerror(errno));
}

StreamReader::StreamReader(const std::string& path) : path_(path) {
  if (path == "-") {
    file_ = stdin;
  } else {
    file_ = std::fopen(path.c_str(), "rb");
    if (!file_) throw StreamError(path + ": cannot open: " + std::strerror(errno));
    owned_ = true;
  }
  unsigned char head[kStreamHeaderBytes];
  const std::size_t got = std::fread(head, 1, sizeof head, file_);
  if (got >= 4 && std::memcmp(head, kMagic, 4) != 0)
    throw StreamError(where(path, 0) + "bad magic: not a stream file");
  if (got < sizeof head)
    throw StreamError(where(path, got) + "truncated header (" + std::to_string(got) + " of " +
                      std::to_string(kStreamHeaderBytes) + " bytes)");
  const std::uint32_t version = getU32(head + 4);
  if (version != kStreamVersion)
    throw StreamError(where(path, 4) + "unsupported format version " + std::to_string(version));
  const std::uint32_t w = getU32(head + 8), h = getU32(head + 12);
  if (w > static_cast<std::uint32_t>(kMaxSide) || h > static_cast<std::uint32_t>(kMaxSide) ||
      !validFrameSize(static_cast<int>(w), static_cast<int>(h)))
    throw StreamError(where(path, 8) + "impossible frame size " + std::to_string(w) + "x" + std::to_string(h));
  header_.width = static_cast<int>(w);
  header_.height = static_cast<int>(h);
  for (int i = 0; i < 64; ++i) {
    const std::uint32_t bits = getU32(head + 16 + 4 * i);
    std::memcpy(&header_.table[i], &bits, 4);
    if (!std::isfinite(header_.table[i]))
      throw StreamError(where(path, 16 + 4 * i) + "dequantisation factor " + std::to_string(i) + " is not finite");
  }
  frameBytes_ = payloadBytes(header_.width, header_.height);
}

StreamReader::~StreamReader() {
  if (owned_ && file_) std::fclose(file_);
}

bool StreamReader::readFrame(std::vector<signed char>& out) {
  out.resize(frameBytes_);
  const std::size_t got = std::fread(out.data(), 1, frameBytes_, file_);
  if (got == frameBytes_) {
    ++frames_;
    return true;
  }
  const std::uint64_t start = kStreamHeaderBytes + static_cast<std::uint64_t>(frames_) * frameBytes_;
  if (std::ferror(file_)) throw StreamError(where(path_, start + got) + "read failed: " + std::strerror(errno));
  if (got == 0) return false;
  throw StreamError(where(path_, start) + "short frame " + std::to_string(frames_) + ": " + std::to_string(got) +
                    " of " + std::to_string(frameBytes_) + " bytes");
}

}  // namespace kelvo
