// One row of the transactions through every check: its fields converted to the rules' arguments,
// each rule called, and what the row gave: a reject, or the checks that fired and the alerts they
// raised.
#ifndef TXSCREEN_HOST_ENGINE_SCREENING_ROW_SCREENER_H_
#define TXSCREEN_HOST_ENGINE_SCREENING_ROW_SCREENER_H_

#include <string>
#include <vector>

#include "alert_capture.h"
#include "row_source.h"
#include "rule_set.h"

namespace txhost {

struct RaisedAlert {
  size_t check;  // index into the rule set
  std::string text;
  std::string value;  // the sweep's value that raised it; empty for the check's own
};

struct RowResult {
  std::string reject;       // why the row could not be screened; empty when it was
  std::string reject_kind;  // the same without the field's value, for counting by kind
  std::vector<char> fired;  // one per check
  // Per check, whether it fired with each value of its sweep; empty for a check without one.
  std::vector<std::vector<char>> swept;
  // Per check, for a check with a list that fired, the place in its list of the value it fired
  // with; -1 otherwise.
  std::vector<int64_t> matched;
  std::string day;          // the row's date, when the rule set reads a date column
  int outcome = -1;         // the label column's 1 or 0; -1 when unlabelled or not backtesting
  // The score and outcome of the run's rule set, and of the live set beside it when comparing;
  // zero and -1 when a set has no scores.
  RowDecision decision, live_decision;
  std::string explanation;  // a JSON line per check that fired, when explaining
  std::vector<RaisedAlert> alerts;
  // The worker's session had lost its connection by the end of this row: its database checks
  // could not run, and their alerts say so.
  bool on_lost_session = false;
};

struct RowLayout {
  size_t columns = 0;
  size_t id_column = 0;
  int label_column = -1;
  int date_column = -1;  // the first date column a check reads, for hits per day
};

// What turns the checks that fired into decisions: the run's rule set's, and the live set's when
// a draft is compared with it. Null for a set that decides nothing.
struct RowDeciders {
  const Decisions* set = nullptr;
  const Decisions* live = nullptr;
};

// The first column that a check reads as a date, or -1.
int FirstDateColumn(const std::vector<Check>& checks);

// One per thread; it keeps its buffers from row to row.
class RowScreener {
 public:
  RowScreener(const std::vector<Check>& checks, const std::vector<std::string>& header,
              RowLayout layout, bool parse_only, bool explain, RowDeciders deciders = {});
  // The arguments point into the screener itself.
  RowScreener(const RowScreener&) = delete;
  RowScreener& operator=(const RowScreener&) = delete;

  void Screen(const CsvRecord& record, const OciHandles& handles, RowResult* result);

 private:
  bool Convert(const CsvRecord& record, RowResult* result);
  // Calls check `c`'s rule with the row's arguments as they stand; with a list, with the value
  // that fires, whose place goes to `matched`.
  bool Fires(size_t c, const OciHandles& handles, int64_t* matched);
  bool FiresWithList(const Check& check, size_t c, const OciHandles& handles, int64_t* matched);
  void Explain(const CsvRecord& record, size_t c, RowResult* result);
  // Calls the check once with each value of its sweep but its own, already tried.
  void TrySweep(const Sweep& sweep, size_t c, const OciHandles& handles, AlertCollector* collector,
                RowResult* result);
  // Ties the alerts the last call raised to check `c` (and the sweep's `value`, when tried).
  void TakeAlerts(AlertCollector* collector, size_t c, const std::string& value, RowResult* result);

  // A column read as one kind of value. Each is read once per row, however many checks use it.
  struct ColumnValue {
    size_t column;
    ParamKind kind;
    Value value;
  };

  const std::vector<Check>& checks_;
  const std::vector<std::string>& header_;
  RowLayout layout_;
  RowDeciders deciders_;
  bool lost_session_ = false;
  bool parse_only_;
  bool explain_;
  std::vector<ColumnValue> columns_;  // in the order checks first read them
  // Per check, where each argument's value is: a literal, a column's value, or a sweep's value.
  std::vector<std::vector<const Value*>> args_;
  // Per check, the value of its list it is being called with.
  std::vector<Value> list_values_;
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_SCREENING_ROW_SCREENER_H_
