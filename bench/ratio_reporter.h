// A console reporter that also prints, after the run, each benchmark's figure beside the one it
// is compared with, and the ratio.
#ifndef TXSCREEN_BENCH_RATIO_REPORTER_H_
#define TXSCREEN_BENCH_RATIO_REPORTER_H_

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

struct Comparison {
  std::string what;
  std::string measured;  // benchmark names as the run reports them
  std::string baseline;
  bool by_throughput;  // compare items per second (higher is better) instead of time per item
  std::string target;  // how the ratio is judged, for the reader
};

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(std::vector<Comparison> comparisons)
      : comparisons_(std::move(comparisons)) {}
  void ReportRuns(const std::vector<Run>& runs) override;
  void Finalize() override;

 private:
  std::vector<Comparison> comparisons_;
  std::map<std::string, Run> runs_;
};

#endif  // TXSCREEN_BENCH_RATIO_REPORTER_H_
