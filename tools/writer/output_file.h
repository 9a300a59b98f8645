// Files the tools write, never left half-written: a file is written under a
// temporary name beside its own and renamed into place once complete, and
// what a tool has created is removed again should SIGINT or SIGTERM end it.
// Every write, flush, sync and close is checked; a failure names the file and
// the reason.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <system_error>

namespace kelvo4 {

// A failed create, write, sync, close or rename.
class OutputError : public std::system_error {
 public:
  OutputError(int code, std::string message)
      : std::system_error(code, std::generic_category()), message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Removes `path` (a folder only when empty) should an interrupt end the
// process (SIGINT or SIGTERM; on Windows Ctrl-C, Ctrl-Break or the console
// closing), newest first, before the interrupt ends it as it would have (one
// ignored from the start stays ignored);
// forgetOnInterrupt takes the newest entry of that path off the list. Called
// from one thread, the one the handler does its work on.
void removeOnInterrupt(const std::string& path, bool folder = false);
void forgetOnInterrupt(const std::string& path);

// Holds interrupts back in this thread while it lives: what is created in
// its scope is on the list before an interrupt can see it.
class InterruptsHeld {
 public:
  InterruptsHeld();
  ~InterruptsHeld();
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;
};

class OutputFile {
 public:
  // Standard output for "-"; a device or pipe by its name is written as it
  // is; any other name (a new file or a regular one) gets a temporary
  // .kelvo-XXXXXX in its folder, removed on an interrupt, with the mode (and
  // where permitted the owner and group) of the file it replaces, or those a
  // new file gets. A link to a file is followed, the file replaced. With
  // fileOnly (one file of many, such as a picture of a sequence), a device
  // or pipe is refused: a write into one could neither wait for a reader
  // nor be taken back. Throws OutputError.
  explicit OutputFile(const std::string& path, bool fileOnly = false);
  ~OutputFile() { discard(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  std::FILE* get() const { return file_; }
  // The path, or "standard output", for messages.
  const std::string& name() const { return name_; }
  // Where the output began in a regular file (the temporary: 0), or -1 where
  // it cannot seek back (a pipe, a terminal, a device, a file opened to append).
  std::int64_t start() const { return start_; }

  // Writes all n bytes or throws.
  void write(const void* data, std::size_t n);
  // Before the first write: each write goes to the file as it is, in one
  // call, for an output written in large pieces (whole frames); a buffer
  // would copy each piece's tail and split it into two calls.
  void unbuffered();
  // Throws "NAME: write failed: " and errno's reason, after a failed call.
  [[noreturn]] void failed() const;

  // Flushes; a file is synced, closed and renamed to its name. With
  // `provisional`, a file that did not exist before stays on the interrupt
  // list under its name (a picture of a sequence). True when it did not
  // exist before. Throws OutputError, the temporary removed.
  bool commit(bool provisional = false);
  // Closes and removes the temporary; standard output is only flushed.
  void discard() noexcept;

  // A file written whole but still under its temporary name (none for
  // standard output, a device or a pipe), for outputs that may replace old
  // files only once all of them are written. It stays on the interrupt list
  // until placed.
  struct Finished {
    std::string name, temp, target;
    bool existed = false;
  };
  // Flushes, syncs and closes, as commit does, and leaves the file where it
  // is. Throws OutputError, the temporary removed.
  Finished finish();
  // Moves a finished file to its name; see commit. Throws OutputError, the
  // temporary removed.
  static bool place(const Finished& f, bool provisional = false);
  // Removes a finished file's temporary.
  static void drop(const Finished& f) noexcept;

 private:
  std::string target_, name_, temp_;
  std::FILE* file_ = nullptr;
  std::int64_t start_ = -1;
  bool existed_ = false;
};

}  // namespace kelvo4
