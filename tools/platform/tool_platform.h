// What only the tools use of the platform interface (platform.h): their
// standard streams and arguments, output files written under a temporary
// name and moved over their target, and what an interrupt does. Not in the
// library: posix_tools.cpp or windows_tools.cpp.
//
// Functions that return bool set errno when they return false.
#pragma once

#include <cstdio>
#include <string>

#include "src/platform/platform.h"

namespace kelvo4::os {

// Whether writes to the file always go to its end (opened to append).
bool appendsOnly(std::FILE* file);
bool isTerminal(std::FILE* file);
// 0 when this process may write the file, else the errno value.
int writable(const std::string& path);
// True when the name and the open file are the same file (standard input or
// output for a name given as "-", for instance).
bool sameFile(const std::string& path, std::FILE* file);
// True when two names are one file, a pipe or device included.
bool sameFile(const std::string& a, const std::string& b);
// The name with links resolved, or the name as given where that fails.
std::string resolvedPath(const std::string& path);

// Creates a new file for writing from `name`, whose last six characters
// (XXXXXX) are replaced to make it unique. It can be removed while open.
// With `replacing`, the regular file it is to replace, it takes that file's
// access: POSIX its mode and, where this process may give them, its owner
// and group; on Windows, where a read-only file is refused as not writable
// (see writable), there is nothing to keep. Otherwise the access a new
// file gets (POSIX: 0666 less the umask, which is read without changing it
// where the system allows).
std::FILE* createTemporary(std::string& name, const std::string& replacing = {});
// Writes the file's data through to the disk.
bool syncFile(std::FILE* file);
// Renames `from` to `to`, replacing a file of that name.
bool moveOver(const std::string& from, const std::string& to);
bool removeFile(const std::string& path);
bool removeDirectory(const std::string& path);  // only an empty one
bool makeDirectory(const std::string& path);    // EEXIST when the name is taken
std::string temporaryFolder();
int processId();

// A tool's start: arguments as UTF-8 (on Windows from the wide command line)
// and standard input and output in binary mode.
void startTool(int& argc, char**& argv);

// Calls `cleanup` when an interrupt would end the process: SIGINT or SIGTERM,
// or on Windows Ctrl-C, Ctrl-Break or the console closing; then the process
// ends as the interrupt would have ended it. Installed once; an interrupt
// this process ignored from its start stays ignored. On POSIX systems
// `cleanup` runs on the thread that installed it, as a signal handler (only
// async-signal-safe calls: removeFile and removeDirectory are).
void onInterrupt(void (*cleanup)());
// Holds interrupts back in this thread until the matching release (calls
// nest): cleanup never sees what such a section changes half done.
void holdInterrupts();
void releaseInterrupts();

}  // namespace kelvo4::os
