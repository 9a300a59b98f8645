// The tools' part of the platform interface on Linux and other POSIX
// systems: output files, their names and access, and interrupts.
#include "tools/platform/tool_platform.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace kelvo4::os {

namespace {

// The umask. Linux tells it in /proc/self/status; elsewhere it can only be
// read by setting it, which changes it for every thread for a moment, so
// that is done once.
mode_t currentUmask() {
#if defined(__linux__)
  if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned mask = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, status)) found = std::sscanf(line, "Umask: %o", &mask) == 1;
    std::fclose(status);
    if (found) return static_cast<mode_t>(mask & 0777);
  }
#endif
  static const mode_t once = [] {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
  }();
  return once;
}

// Gives the new file fd the access of the regular file `replacing`, or of a
// new file: owner and group first (a change of owner clears the mode's
// set-id bits), each kept only where this process may give it; a file
// system that takes no owners at all refuses with other reasons than
// EPERM, and the file keeps the mode all the same.
bool giveAccess(int fd, const std::string& replacing) {
  struct stat old, made;
  if (replacing.empty() || stat(replacing.c_str(), &old) != 0 || !S_ISREG(old.st_mode))
    return fchmod(fd, 0666 & ~currentUmask()) == 0;
  if (fstat(fd, &made) != 0) return false;
  bool kept = made.st_uid == old.st_uid && made.st_gid == old.st_gid;
  if (!kept) kept = fchown(fd, old.st_uid, old.st_gid) == 0;
  // Refused: the group alone, where it differs; refused again, the file
  // stays the tool's user's.
  if (!kept && made.st_gid != old.st_gid) kept = fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0;
  return fchmod(fd, old.st_mode & 0777) == 0;
}

void (*cleanupFn)() = nullptr;
pthread_t owner;

extern "C" void onSignal(int sig) {
  if (!pthread_equal(pthread_self(), owner)) {
    // Another thread (a decoder's) took it: the owner does the work.
    const int saved = errno;
    pthread_kill(owner, sig);
    errno = saved;
    return;
  }
  cleanupFn();
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigaction(sig, &action, nullptr);
  // Held until the handler returns, then it ends the process.
  raise(sig);
}

thread_local int holdDepth = 0;
thread_local sigset_t heldMask;

}  // namespace

bool appendsOnly(std::FILE* file) { return (fcntl(fileno(file), F_GETFL) & O_APPEND) != 0; }

bool isTerminal(std::FILE* file) { return isatty(fileno(file)) != 0; }

int writable(const std::string& path) { return access(path.c_str(), W_OK) == 0 ? 0 : errno; }

bool sameFile(const std::string& path, std::FILE* file) {
  struct stat a, b;
  return stat(path.c_str(), &a) == 0 && fstat(fileno(file), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat x, y;
  return stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

std::string resolvedPath(const std::string& path) {
  std::string resolved = path;
  if (char* real = realpath(path.c_str(), nullptr)) {
    resolved = real;
    std::free(real);
  }
  return resolved;
}

std::FILE* createTemporary(std::string& name, const std::string& replacing) {
  const int fd = mkstemp(name.data());
  if (fd < 0) return nullptr;
  std::FILE* file = nullptr;
  if (!giveAccess(fd, replacing) || !(file = fdopen(fd, "wb"))) {
    const int error = errno;
    close(fd);
    unlink(name.c_str());
    errno = error;
  }
  return file;
}

bool syncFile(std::FILE* file) { return fsync(fileno(file)) == 0; }

bool moveOver(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()) == 0; }

bool removeFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool removeDirectory(const std::string& path) { return rmdir(path.c_str()) == 0; }

bool makeDirectory(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

// Where std::filesystem::temp_directory_path looks on POSIX systems, written
// out: that one would bring the whole of std::filesystem into every tool.
std::string temporaryFolder() {
  for (const char* variable : {"TMPDIR", "TMP", "TEMP", "TEMPDIR"}) {
    const char* folder = std::getenv(variable);
    if (folder && *folder) return folder;
  }
  return "/tmp";
}

int processId() { return static_cast<int>(getpid()); }

void startTool(int&, char**&) {}

void onInterrupt(void (*cleanup)()) {
  if (cleanupFn) return;
  cleanupFn = cleanup;
  owner = pthread_self();
  for (const int sig : {SIGINT, SIGTERM}) {
    struct sigaction action = {};
    if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) continue;
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    sigaction(sig, &action, nullptr);
  }
}

void holdInterrupts() {
  if (holdDepth++ > 0) return;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, &heldMask);
}

void releaseInterrupts() {
  if (--holdDepth == 0) pthread_sigmask(SIG_SETMASK, &heldMask, nullptr);
}

}  // namespace kelvo4::os
