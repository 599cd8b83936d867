// Keeping each row's result in memory.
#include "memory_sink.h"

namespace txhost {

void MemorySink::Row(const CsvRecord& record, const RowResult& result) {
  if (!result.reject.empty()) {
    rejects_.push_back({record.line, result.reject, {}});
    if (keep_texts_) rejects_.back().fields.assign(record.fields.begin(), record.fields.end());
    return;
  }
  lines_.push_back(record.line);
  std::string_view id = record.fields[id_column_];
  if (keep_texts_) ids_.emplace_back(id);
  for (size_t c = 0; c < fired_.size(); ++c) fired_[c].push_back(result.fired[c]);
  for (const RaisedAlert& alert : result.alerts) {
    alerts_.push_back({record.line, alert.check, std::string(id), alert.text, alert.value});
  }
  explanations_ += result.explanation;
  scores_.push_back(result.decision.score);
  outcomes_.push_back(result.decision.outcome);
  if (pair_ && Changes(*pair_, result)) {
    changes_.push_back(DescribeChange(*pair_, id, record.line, result));
  }
}

}  // namespace txhost
