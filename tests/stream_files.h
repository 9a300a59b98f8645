// Files and read functions for the suites that write streams and play them:
// temporary files by name, and a stream played to its end or first failure.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kelvo4/stream.h"
#include "tools/platform/tool_platform.h"

namespace kelvo4::test {

using Bytes = std::vector<unsigned char>;

inline std::string tempPath(const std::string& name) {
  return ::testing::TempDir() + "kelvo_" + std::to_string(os::processId()) + "_" + name;
}

inline void putBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes fileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// A read function over bytes in memory, in pieces of at most `piece`, that
// fails with `error` once `failAt` bytes are read.
struct Memory {
  const Bytes* bytes;
  std::size_t at = 0, piece = 1000, failAt = SIZE_MAX;
  int error = EIO;  // 0: throws a std::runtime_error there, -1: throws an int
  int pauseMs = 0;  // before each read
  static std::ptrdiff_t read(void* user, void* buffer, std::size_t length) {
    auto* m = static_cast<Memory*>(user);
    std::this_thread::sleep_for(std::chrono::milliseconds(m->pauseMs));
    if (m->at >= m->failAt && m->error == 0) throw std::runtime_error("peer vanished");
    if (m->at >= m->failAt && m->error == -1) throw 7;
    if (m->at >= m->failAt) return -m->error;
    const std::size_t n = std::min({length, m->piece, m->bytes->size() - m->at, m->failAt - m->at});
    std::memcpy(buffer, m->bytes->data() + m->at, n);
    m->at += n;
    return static_cast<std::ptrdiff_t>(n);
  }
};

struct Played {
  std::vector<Bytes> frames;
  int rc = 0;  // of the call that ended it
  std::string message;
};

// Plays an open stream to its end or its first failure, as rgb24.
inline Played play(kelvo4_stream* s) {
  Played p;
  kelvo4_stream_info info{};
  info.size = sizeof info;
  kelvo4_stream_get_info(s, &info);
  Bytes rgb(3 * static_cast<std::size_t>(info.width) * info.height);
  while ((p.rc = kelvo4_stream_next(s, rgb.data(), rgb.size(), KELVO4_RGB24)) == 1) p.frames.push_back(rgb);
  p.message = kelvo4_stream_error(s);
  return p;
}

// Opens a stream file and plays it; a failed open is its message.
inline Played playFile(const std::string& path, int threads = 1) {
  kelvo4_stream* s = nullptr;
  Played p;
  if ((p.rc = kelvo4_stream_open_file(&s, path.c_str(), threads)) < 0) {
    p.message = kelvo4_stream_error(nullptr);
    return p;
  }
  p = play(s);
  kelvo4_stream_close(&s);
  return p;
}

}  // namespace kelvo4::test
