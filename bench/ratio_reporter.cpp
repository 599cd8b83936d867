// Ratios between benchmark runs, printed as a table after the usual console output.
#include "ratio_reporter.h"

#include <cstdio>

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
  for (const Run& run : runs) runs_[run.benchmark_name()] = run;
  ConsoleReporter::ReportRuns(runs);
}

void RatioReporter::Finalize() {
  ConsoleReporter::Finalize();
  std::printf("\n%-58s %14s %14s %8s  %s\n", "comparison", "measured", "baseline", "ratio",
              "target");
  for (const Comparison& c : comparisons_) {
    // With repetitions, the medians stand for the runs.
    auto find = [&](const std::string& name) {
      auto median = runs_.find(name + "_median");
      return median != runs_.end() ? median : runs_.find(name);
    };
    auto measured = find(c.measured);
    auto baseline = find(c.baseline);
    if (measured == runs_.end() || baseline == runs_.end()) {
      std::printf("%-58s (not run)\n", c.what.c_str());
      continue;
    }
    auto figure = [&](const Run& run) {
      if (c.by_throughput) return static_cast<double>(run.counters.at("items_per_second"));
      return run.GetAdjustedRealTime();
    };
    double m = figure(measured->second), b = figure(baseline->second);
    const char* unit = c.by_throughput                                    ? "/s"
                       : measured->second.time_unit == benchmark::kSecond ? "s"
                                                                          : "ns";
    std::printf("%-58s %12.4g%-2s %12.4g%-2s %7.2fx  %s\n", c.what.c_str(), m, unit, b, unit, m / b,
                c.target.c_str());
  }
}
