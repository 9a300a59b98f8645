// Runs every benchmark, then prints each row that ratioTo() paired with a
// reference: how many times faster per item (block, frame) the row is.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_util.h"

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration && !r.error_occurred) {
        // Per item where the row counts items (blocks, frames), else per iteration.
        auto items = r.counters.find("items_per_second");
        times_[r.benchmark_name()] = items != r.counters.end() ? 1.0 / items->second.value : r.GetAdjustedCPUTime();
      }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    if (bench::ratios().empty()) return;
    std::printf("\nSpeed-ups per item, in CPU time or, for real_time rows, wall-clock time (above 1: faster)\n");
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
