// Shared by the benchmark files: pairs of benchmark names whose times are
// compared after the run.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace bench {

inline std::vector<std::pair<std::string, std::string>>& ratios() {
  static std::vector<std::pair<std::string, std::string>> r;
  return r;
}

// After the run, prints time(reference) / time(row).
inline void ratioTo(const std::string& row, const std::string& reference) { ratios().emplace_back(row, reference); }

}  // namespace bench
