// The files a screening run writes: results, rejects, explanations, alerts and the summary. All
// are checked before any is created, and each is put in place only when the whole run succeeded.
#ifndef TXSCREEN_HOST_ENGINE_OUTPUTS_SCREEN_OUTPUTS_H_
#define TXSCREEN_HOST_ENGINE_OUTPUTS_SCREEN_OUTPUTS_H_

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "comparison.h"
#include "output_file.h"
#include "result_sink.h"
#include "row_screener.h"
#include "screen_input.h"
#include "screen_summary.h"

namespace txhost {

// The columns the rejects add after the input's own: each row's line and why it was rejected.
inline constexpr char kLineColumn[] = "_line";
inline constexpr char kReasonColumn[] = "_reason";
// Empty when the rejects of `input` can be written as a table with one name per column;
// otherwise the message that names the input's column that has one of those names.
std::string RejectColumnsClash(const ScreenInput& input);

// Each output with the name its messages give it ("--out"); an empty path is not written.
struct OutputPaths {
  NamedPath results, rejects, explain, alerts, summary, report;
  NamedPath changes;  // with a live rule set: the rows whose decision the draft changes
};

class ScreenOutputs : public ResultSink {
 public:
  // Checks every path against `inputs` and the others, then creates each output's temporary
  // file and writes the headers. With `pair` (a draft beside the live set), the results hold the
  // draft's checks. `decisions` adds the score and outcome columns when it scores. Null and the reason when any path is refused.
  static std::unique_ptr<ScreenOutputs> Open(const OutputPaths& paths,
                                             const std::vector<NamedPath>& inputs,
                                             const ScreenInput& input,
                                             const std::vector<Check>& checks,
                                             const Decisions& decisions,
                                             const RuleSetPair* pair, std::string* error);

  void Row(const CsvRecord& record, const RowResult& result) override;
  // Passes on what was written so far, so that a reader of standard output sees each row as soon
  // as it is done.
  void Flush() override;
  // Writes the summary file, when there is one, and puts every output in place, or none.
  bool Publish(const ScreenSummary& summary, std::string* error);

  // Files of killed runs that opening the outputs removed.
  std::vector<std::string> LeftoversRemoved() const;
  // What went straight to standard output or a device as the run went, which a run that does
  // not complete cannot take back ("standard output has 120 result rows, which are
  // incomplete"); empty when nothing did.
  std::string WrittenAlready() const;
  // The count of result rows written so far when they go straight out (standard output, a
  // device), for a signal handler to report; null when they are published at the end.
  const std::atomic<size_t>* RowsStreamed() const {
    return results_ && results_->direct() ? &result_rows_ : nullptr;
  }

 private:
  ScreenOutputs(const ScreenInput& input, const std::vector<Check>& checks,
                const Decisions& decisions, const RuleSetPair* pair)
      : input_(input),
        checks_(checks),
        decisions_(decisions),
        pair_(pair),
        reported_(pair ? pair->draft_size : checks.size()) {}
  std::vector<OutputFile*> Files() const;
  // The score and outcome columns of the result row just added.
  void AppendDecision(const RowDecision& decision);
  bool Create(const std::string& path, std::unique_ptr<OutputFile>* file, std::string* error);

  const ScreenInput& input_;
  const std::vector<Check>& checks_;
  const Decisions& decisions_;
  const RuleSetPair* pair_;
  size_t reported_;  // the checks whose columns the results hold
  std::unique_ptr<OutputFile> results_, rejects_, explain_, alerts_, summary_, report_, changes_;
  std::atomic<size_t> result_rows_{0};
  std::string pending_results_;  // result rows not yet written
  size_t pending_result_rows_ = 0;
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_OUTPUTS_SCREEN_OUTPUTS_H_
