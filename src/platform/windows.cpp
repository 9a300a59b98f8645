// The platform interface on Windows: the wide-character API throughout, names
// converted from UTF-8 here and nowhere else. What the library uses; the
// tools' part is in windows_tools.cpp.
#include "src/platform/platform.h"
#include "src/platform/windows_common.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cwchar>

namespace kelvo4::os {

namespace {

FileInfo infoOf(HANDLE h) {
  FileInfo info;
  if (h == INVALID_HANDLE_VALUE) {
    info.error = EBADF;
    return info;
  }
  if (GetFileType(h) != FILE_TYPE_DISK) {
    info.kind = Kind::Other;
    return info;
  }
  // (GetFileInformationByHandle fails under Wine for a standard handle that is a file.)
  FILE_STANDARD_INFO data;
  if (!GetFileInformationByHandleEx(h, FileStandardInfo, &data, sizeof data)) {
    info.error = lastErrno();
    return info;
  }
  info.kind = data.Directory ? Kind::Directory : Kind::Regular;
  if (!data.Directory) info.size = static_cast<std::uint64_t>(data.EndOfFile.QuadPart);
  return info;
}

}  // namespace

std::FILE* openFile(const std::string& path, const char* mode) {
  std::wstring how = wide(mode);
  if (how.find(L'b') == std::wstring::npos) how += L'b';
  std::FILE* file = _wfopen(wide(path).c_str(), how.c_str());
  // The runtime refuses a folder with EACCES.
  if (!file && errno == EACCES && fileInfo(path).kind == Kind::Directory) errno = EISDIR;
  return file;
}

// Opening a pipe or device by name does not wait for its other end here.
std::FILE* openWithoutWaiting(const std::string& path) { return openFile(path, "rb"); }

bool seek(std::FILE* file, std::int64_t offset, int whence) { return _fseeki64(file, offset, whence) == 0; }

std::int64_t tell(std::FILE* file) { return _ftelli64(file); }

FileInfo fileInfo(const std::string& path) {
  // No access asked: this opens folders, devices and files in use alike.
  const HANDLE h = CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    FileInfo info;
    info.error = lastErrno();
    return info;
  }
  const FileInfo info = infoOf(h);
  CloseHandle(h);
  return info;
}

FileInfo fileInfo(std::FILE* file) { return infoOf(handleOf(file)); }

void prefault(void*, std::size_t, bool) {}

}  // namespace kelvo4::os
