// The fuzz input as a file with a name, for readers that open a path: an
// in-memory file (memfd) reached through /proc/self/fd, rewritten for each
// input, so that no iteration touches the disk.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kelvo4::fuzz {

class MemoryFile {
 public:
  explicit MemoryFile(const char* name) : fd_(memfd_create(name, 0)) {
    if (fd_ < 0) std::perror("memfd_create"), std::abort();
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  // Makes the file hold exactly these bytes.
  const std::string& hold(const std::uint8_t* data, std::size_t size) {
    if (ftruncate(fd_, 0) != 0 || pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size))
      std::perror("memory file"), std::abort();
    return path_;
  }

 private:
  int fd_;
  std::string path_;
};

// Messages repeat what an input holds only escaped: every byte printable ASCII.
inline void checkPrintable(const std::string& message) {
  for (const char c : message)
    if (c < 0x20 || c > 0x7E) {
      std::fprintf(stderr, "unescaped byte 0x%02x in the message: %s\n", static_cast<unsigned char>(c),
                   message.c_str());
      std::abort();
    }
}

}  // namespace kelvo4::fuzz
