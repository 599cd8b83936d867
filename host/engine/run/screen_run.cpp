// One run: the pipeline fed from the input, every row counted, sunk and shown to the observer.
#include "screen_run.h"

#include <chrono>

#include "alert_capture.h"
#include "screen_pipeline.h"
#include "session_pool.h"

namespace txhost {

RunOutcome ScreenRows(const ScreenPlan& plan, ScreenInput& input, LibrarySet& libraries,
                      const std::vector<OciHandles>& workers, ResultSink& sink,
                      RunObserver& observer, ScreenSummary* summary) {
  AlertRouting routing(libraries.Loaded());
  RowLayout layout{input.header.size(), input.id_column, input.label_column,
                   FirstDateColumn(plan.checks)};
  ScreenPipeline pipeline(plan.checks, input.header, layout, plan.settings.parse_only,
                          plan.settings.explain, plan.Deciders(), workers);
  summary->workers = workers.size();
  // Rows that wait on the database are dealt in small batches, so that a small file keeps every
  // worker busy; rows that do not keep the large batches that reading fast wants.
  if (workers.size() > 1 && !plan.settings.parse_only && NeedsDatabase(plan.checks)) {
    input.source->SpreadOver(workers.size(), input.total_bytes);
  }
  RunOutcome outcome;
  bool stopped = false;
  auto started = std::chrono::steady_clock::now();
  bool completed = pipeline.Run(
      *input.source,
      [&](const CsvRecord& record, const RowResult& result) {
        summary->Tally(record.fields[input.id_column], record.line, result);
        observer.Row(record, result);
        sink.Row(record, result);
        outcome.last_line = record.line;
        return summary->rejected <= plan.settings.max_rejects;
      },
      [&](size_t rows) {
        stopped = !observer.Progress(input.source->bytes_read(), rows);
        return !stopped;
      },
      [&] { sink.Flush(); });
  sink.Flush();  // the rows delivered before a stop in the middle of a chunk
  summary->seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (stopped) {
    outcome.end = RunEnd::kStopped;
  } else if (!completed) {
    outcome.end = RunEnd::kTooManyRejects;
  } else if (input.source->failed()) {
    outcome.end = RunEnd::kInputFailed;
  }
  return outcome;
}

}  // namespace txhost
