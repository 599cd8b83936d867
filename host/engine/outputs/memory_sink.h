// A run's results kept in memory, column by column, for a caller that builds tables from them.
#ifndef TXSCREEN_HOST_ENGINE_OUTPUTS_MEMORY_SINK_H_
#define TXSCREEN_HOST_ENGINE_OUTPUTS_MEMORY_SINK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "comparison.h"
#include "result_sink.h"

namespace txhost {

struct MemoryReject {
  size_t line;
  std::string reason;
  std::vector<std::string> fields;  // kept only when the sink keeps fields
};

struct MemoryAlert {
  size_t line;
  size_t check;  // index into the rule set
  std::string id;
  std::string text;
  std::string value;  // the sweep's value that raised it; empty for the check's own
};

class MemorySink : public ResultSink {
 public:
  // `id_column` is where a row's id is; `keep_texts` keeps the ids of screened rows and the fields
  // of rejected ones, which a caller that holds the rows itself does not need.
  // `checks` is how many checks' results to keep, the first of the run's; with `pair`, the rows
  // whose decision the draft changes are kept too.
  MemorySink(size_t checks, size_t id_column, bool keep_texts, const RuleSetPair* pair = nullptr)
      : fired_(checks), id_column_(id_column), keep_texts_(keep_texts), pair_(pair) {}

  void Row(const CsvRecord& record, const RowResult& result) override;

  // Per screened row, in input order: its line, its id (when kept) and whether each check fired.
  const std::vector<size_t>& lines() const { return lines_; }
  const std::vector<std::string>& ids() const { return ids_; }
  const std::vector<std::vector<uint8_t>>& fired() const { return fired_; }
  // Per screened row, its score (in units of the decisions' scale) and outcome (-1 for none).
  const std::vector<int64_t>& scores() const { return scores_; }
  const std::vector<int>& outcomes() const { return outcomes_; }
  const std::vector<MemoryReject>& rejects() const { return rejects_; }
  const std::vector<MemoryAlert>& alerts() const { return alerts_; }
  // The explain lines, as --explain holds them.
  const std::string& explanations() const { return explanations_; }
  const std::vector<ChangedRow>& changes() const { return changes_; }

 private:
  std::vector<size_t> lines_;
  std::vector<std::string> ids_;
  std::vector<std::vector<uint8_t>> fired_;
  std::vector<int64_t> scores_;
  std::vector<int> outcomes_;
  std::vector<MemoryReject> rejects_;
  std::vector<MemoryAlert> alerts_;
  std::string explanations_;
  std::vector<ChangedRow> changes_;
  size_t id_column_;
  bool keep_texts_;
  const RuleSetPair* pair_;
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_OUTPUTS_MEMORY_SINK_H_
