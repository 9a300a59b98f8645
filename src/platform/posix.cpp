// The platform interface on Linux and other POSIX systems: what the library
// uses (the tools' part is in posix_tools.cpp).
#include "src/platform/platform.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kelvo4::os {

namespace {

FileInfo infoOf(int status, const struct stat& st) {
  FileInfo info;
  if (status != 0) {
    info.error = errno;
    return info;
  }
  info.kind = S_ISREG(st.st_mode) ? Kind::Regular : S_ISDIR(st.st_mode) ? Kind::Directory : Kind::Other;
  if (info.kind == Kind::Regular) info.size = static_cast<std::uint64_t>(st.st_size);
  return info;
}

}  // namespace

std::FILE* openFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

std::FILE* openWithoutWaiting(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  const int flags = fcntl(fd, F_GETFL);
  std::FILE* file = flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 ? fdopen(fd, "rb") : nullptr;
  if (!file) {
    const int error = errno;
    close(fd);
    errno = error;
  }
  return file;
}

bool seek(std::FILE* file, std::int64_t offset, int whence) {
  return fseeko(file, static_cast<off_t>(offset), whence) == 0;
}

std::int64_t tell(std::FILE* file) { return ftello(file); }

FileInfo fileInfo(const std::string& path) {
  struct stat st;
  return infoOf(stat(path.c_str(), &st), st);
}

FileInfo fileInfo(std::FILE* file) {
  struct stat st;
  return infoOf(fstat(fileno(file), &st), st);
}

#if defined(__linux__)
namespace {

// madvise over the whole units of `unit` bytes (a power of two) inside a
// buffer: the partial ones at the ends may be shared with other data. A
// refusal changes nothing.
void adviseWhole(void* buffer, std::size_t bytes, std::uintptr_t unit, int advice) {
  const auto at = reinterpret_cast<std::uintptr_t>(buffer);
  const std::uintptr_t lead = (0 - at) & (unit - 1);  // up to the first whole unit
  if (bytes >= lead + unit) madvise(reinterpret_cast<void*>(at + lead), (bytes - lead) & ~(unit - 1), advice);
}

}  // namespace
#endif

void prefault(void* buffer, std::size_t bytes, bool large) {
#if defined(__linux__)
#ifdef MADV_POPULATE_WRITE
  constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#else
  constexpr int kPopulateWrite = 23;  // its value in Linux 5.14, which older headers lack
#endif
#ifdef MADV_HUGEPAGE
  // Large pages under the whole 2 MB stretches: the large page of x86-64
  // and of arm64 with 4 KB pages, and a multiple of others'.
  if (large) adviseWhole(buffer, bytes, std::uintptr_t{1} << 21, MADV_HUGEPAGE);
#else
  (void)large;
#endif
  static const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  adviseWhole(buffer, bytes, page, kPopulateWrite);
#else
  (void)buffer;
  (void)bytes;
  (void)large;
#endif
}

}  // namespace kelvo4::os
