// Where a run's results go: files published all or nothing (ScreenOutputs), or memory
// (MemorySink). The run never knows which.
#ifndef TXSCREEN_HOST_ENGINE_OUTPUTS_RESULT_SINK_H_
#define TXSCREEN_HOST_ENGINE_OUTPUTS_RESULT_SINK_H_

#include "row_screener.h"
#include "row_source.h"

namespace txhost {

class ResultSink {
 public:
  virtual ~ResultSink() = default;
  // Each row with its result, in input order, on the run's writer thread.
  virtual void Row(const CsvRecord& record, const RowResult& result) = 0;
  // Hands on what was received so far; called after each batch of rows.
  virtual void Flush() {}
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_OUTPUTS_RESULT_SINK_H_
