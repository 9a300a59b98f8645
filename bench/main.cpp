// Runs every benchmark, then prints each result against its reference row:
// a row named "X/..." with a reference "ref:X" set by ratioTo() is divided by it.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench_util.h"

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && !r.error_occurred)
        times_[r.benchmark_name()] = r.GetAdjustedCPUTime();
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    if (bench::ratios().empty()) return;
    std::printf("\nRatios of CPU time (time of the reference / time of the row; above 1 means faster than the reference)\n");
    for (const auto& [row, ref] : bench::ratios()) {
      auto a = times_.find(row), b = times_.find(ref);
      if (a == times_.end() || b == times_.end()) continue;
      std::printf("  %-48s vs %-40s %8.2fx\n", row.c_str(), ref.c_str(), b->second / a->second);
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
