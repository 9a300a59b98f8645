#include "output_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace kelvo4 {

namespace {

struct Pending {
  std::string path;
  bool folder;
};

// Changed only by the owner thread with the signals held, read only by the
// handler on that thread: the list is whole whenever the handler sees it.
std::vector<Pending>* pending = nullptr;
pthread_t owner;

extern "C" void onInterrupt(int sig) {
  if (!pthread_equal(pthread_self(), owner)) {
    // Another thread (a decoder's) took it: the owner does the work.
    const int saved = errno;
    pthread_kill(owner, sig);
    errno = saved;
    return;
  }
  for (auto it = pending->rbegin(); it != pending->rend(); ++it)
    it->folder ? rmdir(it->path.c_str()) : unlink(it->path.c_str());
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigaction(sig, &action, nullptr);
  // Held until the handler returns, then it ends the process.
  raise(sig);
}

void install() {
  if (pending) return;
  pending = new std::vector<Pending>;
  owner = pthread_self();
  for (const int sig : {SIGINT, SIGTERM}) {
    struct sigaction action = {};
    if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) continue;
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    sigaction(sig, &action, nullptr);
  }
}

// What open(2) gives a new file: 0666 less the umask.
mode_t createMode() {
  static const mode_t mode = [] {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
  }();
  return mode;
}

[[noreturn]] void fail(int error, const std::string& name, const char* what) {
  throw OutputError(error, name + ": " + what + ": " + std::strerror(error));
}

}  // namespace

void removeOnInterrupt(const std::string& path, bool folder) {
  InterruptsHeld held;
  install();
  pending->push_back({path, folder});
}

void forgetOnInterrupt(const std::string& path) {
  InterruptsHeld held;
  for (std::size_t i = pending ? pending->size() : 0; i-- > 0;)
    if ((*pending)[i].path == path) {
      pending->erase(pending->begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
}

InterruptsHeld::InterruptsHeld() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, &old_);
}

InterruptsHeld::~InterruptsHeld() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

OutputFile::OutputFile(const std::string& path) : target_(path), name_(path == "-" ? "standard output" : path) {
  struct stat st;
  if (path == "-") {
    file_ = stdout;
    const int fd = fileno(stdout);
    // The header of a stream is patched in place where standard output is a
    // file it may seek in.
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && !(fcntl(fd, F_GETFL) & O_APPEND)) start_ = ftello(stdout);
    return;
  }
  existed_ = stat(path.c_str(), &st) == 0;
  if (existed_ && S_ISDIR(st.st_mode)) fail(EISDIR, name_, "cannot create");
  if (existed_ && !S_ISREG(st.st_mode)) {
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) fail(errno, name_, "cannot create");
    return;
  }
  if (existed_) {
    // A file it could not write is not replaced either.
    if (access(path.c_str(), W_OK) != 0) fail(errno, name_, "cannot create");
    if (char* real = realpath(path.c_str(), nullptr)) {
      target_ = real;
      std::free(real);
    }
  }
  const std::filesystem::path target(target_);
  std::string temp = ".";
  temp += target.filename().string();
  temp += ".XXXXXX";
  temp_ = (target.parent_path() / temp).string();
  InterruptsHeld held;
  const int fd = mkstemp(temp_.data());
  if (fd < 0) fail(errno, name_, "cannot create");
  removeOnInterrupt(temp_);
  if (fchmod(fd, createMode()) != 0 || !(file_ = fdopen(fd, "wb"))) {
    const int error = errno;
    close(fd);
    unlink(temp_.c_str());
    forgetOnInterrupt(temp_);
    fail(error, name_, "cannot create");
  }
  start_ = 0;
}

void OutputFile::write(const void* data, std::size_t n) {
  if (n != 0 && std::fwrite(data, 1, n, file_) != n) failed();
}

void OutputFile::failed() const { fail(errno ? errno : EIO, name_, "write failed"); }

bool OutputFile::commit(bool provisional) {
  std::FILE* f = file_;
  if (!f) return false;
  file_ = nullptr;
  int error = std::ferror(f) ? EIO : 0;
  const auto check = [&](bool ok) {
    if (!ok && !error) error = errno ? errno : EIO;
  };
  check(std::fflush(f) == 0);
  struct stat st;
  if (!error && (!temp_.empty() || (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode)))) check(fsync(fileno(f)) == 0);
  if (f != stdout) check(std::fclose(f) == 0);
  if (temp_.empty()) {
    if (error) fail(error, name_, "write failed");
    return !existed_;
  }
  const char* what = "write failed";
  {
    InterruptsHeld held;
    if (!error && std::rename(temp_.c_str(), target_.c_str()) == 0) {
      forgetOnInterrupt(temp_);
      if (provisional && !existed_) removeOnInterrupt(target_);
      return !existed_;
    }
    if (!error) error = errno, what = "cannot move into place";
    unlink(temp_.c_str());
    forgetOnInterrupt(temp_);
  }
  fail(error, name_, what);
}

void OutputFile::discard() noexcept {
  std::FILE* f = file_;
  if (!f) return;
  file_ = nullptr;
  if (f == stdout) {
    std::fflush(f);
    return;
  }
  std::fclose(f);
  if (!temp_.empty()) {
    unlink(temp_.c_str());
    forgetOnInterrupt(temp_);
  }
}

}  // namespace kelvo4
