// What differs between operating systems, behind one interface: files by
// UTF-8 name with 64-bit offsets, as the library reads them (tool_platform.h
// adds what only the tools use: their standard streams and arguments,
// output files written under a temporary name and moved over their target,
// and what an interrupt does). posix.cpp serves Linux and other POSIX
// systems; windows.cpp serves Windows through the wide-character API, so that
// a name means the same file whatever the code page. Nothing else in the
// project asks which system it runs on.
//
// Functions that return bool set errno when they return false.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace kelvo4::os {

// Every name the project handles is a UTF-8 string; these convert to and from
// std::filesystem (on POSIX systems the bytes stay as they are).
inline std::filesystem::path pathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
inline std::string textOf(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// fopen in binary mode ("rb", "wb", ...); null with errno set, EISDIR for a
// folder opened to write (or to read, where the system refuses that).
std::FILE* openFile(const std::string& path, const char* mode);
// Opens a file to read ("rb") without waiting on it: a FIFO with no writer
// or a device opens at once (POSIX: O_NONBLOCK, cleared once open), so the
// caller can see what it is before reading. Otherwise as openFile.
std::FILE* openWithoutWaiting(const std::string& path);
// fseek and ftell with 64-bit offsets; tell gives -1 where there is no position.
bool seek(std::FILE* file, std::int64_t offset, int whence);
std::int64_t tell(std::FILE* file);

enum class Kind { Missing, Regular, Directory, Other };  // Other: a device, a pipe, a terminal
struct FileInfo {
  Kind kind = Kind::Missing;
  std::uint64_t size = 0;  // of a regular file
  int error = 0;           // why it is Missing (ENOENT, EACCES, ...)
};
FileInfo fileInfo(const std::string& path);  // links followed
FileInfo fileInfo(std::FILE* file);

// Asks the system for the pages of a buffer that is about to be written in
// full, in one call rather than a fault per page (Linux 5.14 and later);
// does nothing elsewhere, or where the system declines. With large, asks
// for large pages (Linux's transparent huge pages) on its whole 2 MB
// stretches first: one fault per 2 MB rather than per 4 KB. That is for a
// program's own buffers: the library's handles, which live in other
// programs, leave the choice to them.
void prefault(void* buffer, std::size_t bytes, bool large = false);
// An empty vector grown to n value-initialised elements, its pages asked
// for first.
template <class T>
void growPrefaulted(std::vector<T>& v, std::size_t n, bool large = false) {
  v.reserve(n);
  prefault(v.data(), n * sizeof(T), large);
  v.resize(n);
}

}  // namespace kelvo4::os
