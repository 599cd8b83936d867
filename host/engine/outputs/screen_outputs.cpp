// Writing a screening run's outputs as it goes, and publishing them together at its end.
#include "screen_outputs.h"

#include "json_line.h"
#include "report.h"

namespace txhost {

bool ScreenOutputs::Create(const std::string& path, std::unique_ptr<OutputFile>* file,
                           std::string* error) {
  if (path.empty()) return true;
  *file = OutputFile::Create(path, error);
  return *file != nullptr;
}

std::string RejectColumnsClash(const ScreenInput& input) {
  for (const std::string& column : input.header) {
    if (column != kLineColumn && column != kReasonColumn) continue;
    return input.name + ": the column " + column + " has the name of a column the rejects add (" +
           kLineColumn + ", " + kReasonColumn + "); rename it";
  }
  return "";
}

std::unique_ptr<ScreenOutputs> ScreenOutputs::Open(const OutputPaths& paths,
                                                   const std::vector<NamedPath>& inputs,
                                                   const ScreenInput& input,
                                                   const std::vector<Check>& checks,
                                                   const Decisions& decisions,
                                                   const RuleSetPair* pair, std::string* error) {
  if (!CheckOutputPaths(inputs,
                        {paths.results, paths.rejects, paths.explain, paths.alerts, paths.summary,
                         paths.report, paths.changes},
                        error)) {
    return nullptr;
  }
  if (!paths.rejects.path.empty() && !(*error = RejectColumnsClash(input)).empty()) {
    *error = paths.rejects.option + " " + paths.rejects.path + ": " + *error;
    return nullptr;
  }
  std::unique_ptr<ScreenOutputs> outputs(new ScreenOutputs(input, checks, decisions, pair));
  if (!outputs->Create(paths.results.path, &outputs->results_, error) ||
      !outputs->Create(paths.rejects.path, &outputs->rejects_, error) ||
      !outputs->Create(paths.explain.path, &outputs->explain_, error) ||
      !outputs->Create(paths.alerts.path, &outputs->alerts_, error) ||
      !outputs->Create(paths.summary.path, &outputs->summary_, error) ||
      !outputs->Create(paths.report.path, &outputs->report_, error) ||
      !outputs->Create(paths.changes.path, &outputs->changes_, error)) {
    return nullptr;
  }
  if (outputs->changes_) {
    outputs->changes_->Write(CsvField(input.header[input.id_column]) +
                             ",_line,flagged_by,draft_checks,live_checks,live_outcome,"
                             "draft_outcome\n");
  }
  if (outputs->results_) {
    std::string header = CsvField(input.header[input.id_column]);
    for (size_t c = 0; c < outputs->reported_; ++c) header += "," + CsvField(checks[c].label);
    if (decisions.scored) header += std::string(",") + kScoreColumn;
    if (!decisions.outcomes.empty()) header += std::string(",") + kOutcomeColumn;
    outputs->results_->Write(header + "\n");
  }
  if (outputs->rejects_) {
    std::string header;
    for (const std::string& column : input.header) header += CsvField(column) + ",";
    outputs->rejects_->Write(header + kLineColumn + "," + kReasonColumn + "\n");
  }
  return outputs;
}

void ScreenOutputs::Row(const CsvRecord& record, const RowResult& result) {
  if (!result.reject.empty()) {
    if (!rejects_) return;
    // One field per column of the header, so that the file stays a table: a short row is padded
    // with empty fields, and a long row's extra fields are folded into its last column, joined
    // by commas as they stood.
    const size_t columns = input_.header.size();
    std::string row;
    for (size_t f = 0; f < columns; ++f) {
      if (f + 1 == columns && record.fields.size() > columns) {
        std::string folded;
        for (size_t extra = f; extra < record.fields.size(); ++extra) {
          folded += (extra > f ? "," : "") + std::string(record.fields[extra]);
        }
        AppendCsvField(folded, &row);
      } else if (f < record.fields.size()) {
        AppendCsvField(record.fields[f], &row);
      }
      row += ',';
    }
    rejects_->Write(row + std::to_string(record.line) + "," + CsvField(result.reject) + "\n");
    return;
  }
  std::string_view id = record.fields[input_.id_column];
  if (results_) {
    // Written a batch at a time, by Flush: one write for many rows.
    AppendCsvField(id, &pending_results_);
    const size_t at = pending_results_.size();
    pending_results_.resize(at + 2 * reported_ + 1);
    char* flags = &pending_results_[at];
    for (size_t c = 0; c < reported_; ++c) {
      *flags++ = ',';
      *flags++ = result.fired[c] ? '1' : '0';
    }
    *flags = '\n';
    if (decisions_.scored) AppendDecision(result.decision);
    ++pending_result_rows_;
  }
  if (changes_ && Changes(*pair_, result)) {
    ChangedRow change = DescribeChange(*pair_, id, record.line, result);
    auto labels = [](const std::vector<std::string>& list) {
      std::string text;
      for (const std::string& label : list) text += (text.empty() ? "" : ";") + label;
      return text;
    };
    changes_->Write(CsvField(id) + "," + std::to_string(record.line) + "," + change.flagged_by +
                    "," + labels(change.draft_checks) + "," + labels(change.live_checks) + "," +
                    CsvField(change.live_outcome) + "," + CsvField(change.draft_outcome) + "\n");
  }
  if (explain_) explain_->Write(result.explanation);
  if (alerts_) {
    for (const RaisedAlert& alert : result.alerts) {
      const Check& check = checks_[alert.check];
      alerts_->Write(
          AlertJson(id, record.line, check.label, check.rule->name, alert.text, alert.value) +
          "\n");
    }
  }
}

void ScreenOutputs::AppendDecision(const RowDecision& decision) {
  char score[kMaxFixedDecimal];
  pending_results_.back() = ',';  // in place of the row's line end
  pending_results_.append(score, decisions_.WriteScore(decision.score, score));
  if (decision.outcome >= 0) {
    pending_results_ += ',';
    // An outcome's name is a plain word: it needs no quotes.
    pending_results_ += decisions_.outcomes[decision.outcome].name;
  }
  pending_results_ += '\n';
}

std::vector<OutputFile*> ScreenOutputs::Files() const {
  std::vector<OutputFile*> files;
  for (auto* file : {&results_, &rejects_, &explain_, &alerts_, &changes_, &summary_, &report_}) {
    if (*file) files.push_back(file->get());
  }
  return files;
}

void ScreenOutputs::Flush() {
  if (results_) {
    results_->Write(pending_results_);
    // Counted once they are out of this process's buffers, and only when the system took them,
    // so that a run that fails says how many rows a reader may have got.
    results_->Flush();
    if (!results_->failed()) result_rows_ += pending_result_rows_;
    pending_results_.clear();
    pending_result_rows_ = 0;
  }
  for (OutputFile* file : Files()) file->Flush();
}

bool ScreenOutputs::Publish(const ScreenSummary& summary, std::string* error) {
  Flush();
  if (summary_) summary_->Write(SummaryJson(summary));
  if (report_) report_->Write(ReportHtml(summary));
  std::vector<OutputFile*> files = Files();
  for (OutputFile* file : files) {
    if (!file->Finish(error)) return false;
  }
  return PublishAll(files, error);
}

std::vector<std::string> ScreenOutputs::LeftoversRemoved() const {
  std::vector<std::string> removed;
  for (OutputFile* file : Files()) {
    removed.insert(removed.end(), file->leftovers_removed().begin(),
                   file->leftovers_removed().end());
  }
  return removed;
}

std::string ScreenOutputs::WrittenAlready() const {
  std::string written;
  auto name = [](const OutputFile& file) {
    return file.path() == "-" ? std::string("standard output") : file.path();
  };
  if (results_ && results_->direct()) {
    written = name(*results_) + " has " + std::to_string(result_rows_.load()) +
              " result rows, which are incomplete";
  }
  for (auto* file : {&rejects_, &explain_, &alerts_, &changes_}) {
    if (*file && (*file)->direct()) {
      written += (written.empty() ? "" : "; ") + name(**file) + " has part of its lines";
    }
  }
  return written;
}

}  // namespace txhost
