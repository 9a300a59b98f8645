#include "tools/writer/output_file.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "tools/platform/tool_platform.h"

namespace kelvo4 {

namespace {

struct Pending {
  std::string path;
  bool folder;
};

// Changed only with interrupts held, read only by the cleanup, which never
// runs while they are held: the list is whole whenever it sees it.
std::vector<Pending>* pending = nullptr;

void removePending() {
  for (auto it = pending->rbegin(); it != pending->rend(); ++it)
    it->folder ? os::removeDirectory(it->path) : os::removeFile(it->path);
}

void install() {
  if (pending) return;
  pending = new std::vector<Pending>;
  os::onInterrupt(removePending);
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

InterruptsHeld::InterruptsHeld() { os::holdInterrupts(); }

InterruptsHeld::~InterruptsHeld() { os::releaseInterrupts(); }

OutputFile::OutputFile(const std::string& path, bool fileOnly)
    : target_(path), name_(path == "-" ? "standard output" : path) {
  if (path == "-") {
    file_ = stdout;
    // The header of a stream is patched in place where standard output is a
    // file it may seek in.
    if (os::fileInfo(stdout).kind == os::Kind::Regular && !os::appendsOnly(stdout)) start_ = os::tell(stdout);
    return;
  }
  const os::FileInfo info = os::fileInfo(path);
  existed_ = info.kind != os::Kind::Missing;
  if (info.kind == os::Kind::Directory) fail(EISDIR, name_, "cannot create");
  if (info.kind == os::Kind::Other) {
    if (fileOnly)
      throw OutputError(EEXIST, name_ + ": is a pipe or device, not a regular file; not writing a picture of a "
                                        "sequence into it");
    file_ = os::openFile(path, "wb");
    if (!file_) fail(errno, name_, "cannot create");
    return;
  }
  if (existed_) {
    // A file it could not write is not replaced either.
    if (const int error = os::writable(path)) fail(error, name_, "cannot create");
    target_ = os::resolvedPath(path);
  }
  // A short name of its own, not one made from the target's: that would
  // be too long for a target whose name is near the system's limit.
  temp_ = os::textOf(os::pathOf(target_).parent_path() / ".kelvo-XXXXXX");
  InterruptsHeld held;
  file_ = os::createTemporary(temp_, existed_ ? target_ : std::string());
  if (!file_) fail(errno, name_, "cannot create");
  removeOnInterrupt(temp_);
  start_ = 0;
}

void OutputFile::write(const void* data, std::size_t n) {
  if (n != 0 && std::fwrite(data, 1, n, file_) != n) failed();
}

void OutputFile::unbuffered() {
  if (std::setvbuf(file_, nullptr, _IONBF, 0) != 0) fail(errno ? errno : EIO, name_, "cannot set up");
}

void OutputFile::failed() const { fail(errno ? errno : EIO, name_, "write failed"); }

bool OutputFile::commit(bool provisional) { return place(finish(), provisional); }

OutputFile::Finished OutputFile::finish() {
  Finished done{name_, temp_, target_, existed_};
  std::FILE* f = file_;
  if (!f) return done;
  file_ = nullptr;
  int error = std::ferror(f) ? EIO : 0;
  const auto check = [&](bool ok) {
    if (!ok && !error) error = errno ? errno : EIO;
  };
  check(std::fflush(f) == 0);
  if (!error && (!temp_.empty() || os::fileInfo(f).kind == os::Kind::Regular)) check(os::syncFile(f));
  if (f != stdout) check(std::fclose(f) == 0);
  if (error) {
    drop(done);
    fail(error, name_, "write failed");
  }
  return done;
}

bool OutputFile::place(const Finished& f, bool provisional) {
  if (f.temp.empty()) return !f.existed;
  int error = 0;
  {
    InterruptsHeld held;
    if (os::moveOver(f.temp, f.target)) {
      forgetOnInterrupt(f.temp);
      if (provisional && !f.existed) removeOnInterrupt(f.target);
      return !f.existed;
    }
    error = errno ? errno : EIO;
    drop(f);
  }
  fail(error, f.name, "cannot move into place");
}

void OutputFile::drop(const Finished& f) noexcept {
  if (f.temp.empty()) return;
  InterruptsHeld held;
  os::removeFile(f.temp);
  forgetOnInterrupt(f.temp);
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
    os::removeFile(temp_);
    forgetOnInterrupt(temp_);
  }
}

}  // namespace kelvo4
