// What the tools take unless told, and how they show their progress: one
// line on a terminal, rewritten in place, and nothing where standard error
// goes to a file or a pipe.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

#include "tools/platform/tool_platform.h"

#if defined(__linux__)
#include <sched.h>
#endif

namespace kelvo4 {

// The threads a tool uses unless told: the cores this process may run on
// (on Linux those its affinity allows, as nproc counts them: a container or
// `taskset` pinned to 2 of 64 cores gets 2), 1 to 64.
inline int defaultThreads() {
  unsigned cores = std::thread::hardware_concurrency();
#if defined(__linux__)
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0)
    cores = static_cast<unsigned>(CPU_COUNT(&allowed));
#endif
  return static_cast<int>(std::clamp(cores, 1u, 64u));
}

// A usage text with "{cores}" replaced by the default number of threads.
inline std::string withCores(std::string usage) {
  const std::string mark = "{cores}";
  for (std::size_t at = usage.find(mark); at != std::string::npos; at = usage.find(mark, at))
    usage.replace(at, mark.size(), std::to_string(defaultThreads()));
  return usage;
}

// Whether a person watches standard error: only then is progress shown.
inline bool stderrIsTerminal() { return os::isTerminal(stderr); }

// "TOOL: frame 120/300, 41.2 frames/s, 0:04 left" on standard error,
// rewritten at most ten times a second; without a total, the frame and the
// rate. Erased when the work ends or fails, so that the summary or the error
// stands alone on its line.
class Progress {
 public:
  // `total` < 0: not known. Shows nothing unless `shown`.
  Progress(const char* tool, long total, bool shown)
      : tool_(tool), total_(total), shown_(shown), begin_(Clock::now()), last_(begin_) {}
  ~Progress() { clear(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // After frame `done` (1, 2, ...) of the total.
  void frame(long done) {
    if (!shown_) return;
    const auto now = Clock::now();
    if (now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - begin_).count();
    const double rate = done / seconds;
    char line[160];
    int n = total_ >= 0 ? std::snprintf(line, sizeof line, "%s: frame %ld/%ld, %.1f frames/s", tool_, done, total_, rate)
                        : std::snprintf(line, sizeof line, "%s: frame %ld, %.1f frames/s", tool_, done, rate);
    if (total_ >= done && rate > 0) {
      // At most 99:59:59, whatever a stalled start makes of the rate.
      const long left = static_cast<long>(std::min(std::round((total_ - done) / rate), 359999.0));
      if (left >= 3600)
        n += std::snprintf(line + n, sizeof line - n, ", %ld:%02ld:%02ld left", left / 3600, left / 60 % 60, left % 60);
      else
        n += std::snprintf(line + n, sizeof line - n, ", %ld:%02ld left", left / 60, left % 60);
    }
    // Spaces over what is left of a longer line before.
    std::fprintf(stderr, "\r%s%*s", line, std::max(0, width_ - n), "");
    std::fflush(stderr);
    width_ = n;
  }
  // Erases the line, before anything else is written to standard error.
  void clear() {
    if (width_ == 0) return;
    std::fprintf(stderr, "\r%*s\r", width_, "");
    std::fflush(stderr);
    width_ = 0;
  }

 private:
  using Clock = std::chrono::steady_clock;
  const char* tool_;
  long total_;
  bool shown_;
  Clock::time_point begin_, last_;
  int width_ = 0;  // of the line shown, 0 when there is none
};

}  // namespace kelvo4
