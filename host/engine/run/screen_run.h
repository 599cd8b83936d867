// A screening run as a library call: a checked plan, a source of rows, the workers' sessions and a
// sink for the results. It never prints, exits or touches signals; it returns what happened and
// lets an observer watch each row and ask it to stop.
#ifndef TXSCREEN_HOST_ENGINE_RUN_SCREEN_RUN_H_
#define TXSCREEN_HOST_ENGINE_RUN_SCREEN_RUN_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "library_set.h"
#include "result_sink.h"
#include "rule_set.h"
#include "screen_input.h"
#include "screen_summary.h"

namespace txhost {

struct ScreenSettings {
  size_t max_rejects = std::numeric_limits<size_t>::max();  // stop once more were rejected
  bool parse_only = false;  // read and convert every row, call no rule
  bool explain = false;     // give each row's explain lines
};

// The rule set bound to one input's columns, with how to run it: checked once, before any row.
struct ScreenPlan {
  std::vector<Check> checks;
  ScreenSettings settings;
  // The scores and outcomes of the rule set, and of the live set when a draft is compared with
  // it (their weights in terms of `checks`).
  Decisions decisions;
  std::optional<Decisions> live_decisions;

  RowDeciders Deciders() const {
    return {decisions.scored ? &decisions : nullptr,
            live_decisions && live_decisions->scored ? &*live_decisions : nullptr};
  }
};

// What the caller of a run sees as it goes. Row is called on the run's writer thread, in input
// order; Progress on the calling thread after each batch is read, and false from it stops the
// run at once.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  virtual void Row(const CsvRecord& record, const RowResult& result) {
    (void)record;
    (void)result;
  }
  virtual bool Progress(uint64_t bytes, size_t rows) {
    (void)bytes;
    (void)rows;
    return true;
  }
};

enum class RunEnd { kCompleted, kTooManyRejects, kInputFailed, kStopped };

struct RunOutcome {
  RunEnd end = RunEnd::kCompleted;
  size_t last_line = 0;  // the line of the last row delivered
};

// Screens every row of `input` on one worker per triple of `workers`, delivering each row to
// `sink` and `observer` in input order and counting it in `summary`. The alerts of `libraries`
// are tied to their rows while it runs. A run that does not complete has delivered only a prefix
// of the rows; whether to keep what the sink received is the caller's choice.
RunOutcome ScreenRows(const ScreenPlan& plan, ScreenInput& input, LibrarySet& libraries,
                      const std::vector<OciHandles>& workers, ResultSink& sink,
                      RunObserver& observer, ScreenSummary* summary);

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_RUN_SCREEN_RUN_H_
