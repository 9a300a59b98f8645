// The tools' part of the platform interface on Windows: output files, their
// names and access, the command line and the console's interrupts.
#include "tools/platform/tool_platform.h"
#include "src/platform/windows_common.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cwchar>
#include <mutex>
#include <random>
#include <system_error>
#include <vector>

// The C runtime's own parse of the wide command line (what wmain is given).
extern "C" {
struct KelvoStartupInfo {
  int newMode;
};
__declspec(dllimport) int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expandWildcards,
                                         KelvoStartupInfo* info);
}

namespace kelvo4::os {

namespace {

std::string utf8(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n > 0 ? n - 1 : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  return out;
}

void (*cleanupFn)() = nullptr;

// Held by a thread that holds interrupts back; the console handler, which
// Windows runs on a thread of its own, takes it for good before cleaning up.
std::recursive_mutex& holdLock() {
  static std::recursive_mutex lock;
  return lock;
}

BOOL WINAPI onConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  holdLock().lock();
  cleanupFn();
  // As the system's own handler would end it (Wine's exits with status 0).
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

}  // namespace

// The runtime keeps this to itself for a handle the process inherited; a
// shell's `>>` on Windows places the file at its end rather than opening it
// to append, so a stream's header is patched where it began.
bool appendsOnly(std::FILE*) { return false; }

bool isTerminal(std::FILE* file) {
  DWORD mode;
  return GetConsoleMode(handleOf(file), &mode) != 0;
}

int writable(const std::string& path) { return _waccess(wide(path).c_str(), 2) == 0 ? 0 : errno; }

bool sameFile(const std::string& path, std::FILE* file) {
  const HANDLE h = CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a, b;
  const bool same = GetFileInformationByHandle(h, &a) && GetFileInformationByHandle(handleOf(file), &b) &&
                    a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
                    a.nFileIndexLow == b.nFileIndexLow;
  CloseHandle(h);
  return same;
}

bool sameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return std::filesystem::equivalent(pathOf(a), pathOf(b), ec) && !ec;
}

// Symbolic links are rare on Windows: one is replaced by the file.
std::string resolvedPath(const std::string& path) { return path; }

// A read-only file is never replaced (the runtime's access check refuses it
// before a temporary is made), so the only attribute that matters is kept by
// refusal; the temporary is a normal file.
std::FILE* createTemporary(std::string& name, const std::string&) {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::mt19937 rng(std::random_device{}() ^ GetCurrentProcessId());
  const std::size_t at = name.size() - 6;
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (std::size_t i = at; i < name.size(); ++i) name[i] = kChars[rng() % (sizeof kChars - 1)];
    // Shared for deletion, so that an interrupt can remove it while open.
    const HANDLE h = CreateFileW(wide(name).c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) continue;
      errno = lastErrno();
      return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), 0);
    std::FILE* file = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
    if (!file) {
      const int error = errno;
      fd >= 0 ? _close(fd) : CloseHandle(h);
      DeleteFileW(wide(name).c_str());
      errno = error;
    }
    return file;
  }
  errno = EEXIST;
  return nullptr;
}

bool syncFile(std::FILE* file) { return done(FlushFileBuffers(handleOf(file))); }

bool moveOver(const std::string& from, const std::string& to) {
  return done(MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
}

bool removeFile(const std::string& path) { return done(DeleteFileW(wide(path).c_str())); }

bool removeDirectory(const std::string& path) { return done(RemoveDirectoryW(wide(path).c_str())); }

bool makeDirectory(const std::string& path) { return done(CreateDirectoryW(wide(path).c_str(), nullptr)); }

std::string temporaryFolder() { return textOf(std::filesystem::temp_directory_path()); }

int processId() { return static_cast<int>(GetCurrentProcessId()); }

void startTool(int& argc, char**& argv) {
  int count = 0;
  wchar_t** args = nullptr;
  wchar_t** env = nullptr;
  KelvoStartupInfo info = {0};
  if (__wgetmainargs(&count, &args, &env, 0, &info) == 0 && args) {
    // Kept for the life of the process, as main's own arguments are.
    static std::vector<std::string> text;
    static std::vector<char*> pointers;
    for (int i = 0; i < count; ++i) text.push_back(utf8(args[i]));
    for (auto& arg : text) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    argc = count;
    argv = pointers.data();
  }
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

void onInterrupt(void (*cleanup)()) {
  if (cleanupFn) return;
  cleanupFn = cleanup;
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void holdInterrupts() { holdLock().lock(); }

void releaseInterrupts() { holdLock().unlock(); }

}  // namespace kelvo4::os
