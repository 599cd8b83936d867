// Assembling the report page from its template, its script, Chart.js and the summary.
#include "report.h"

extern const char kReportTemplate[];
extern const char kReportScript[];
extern const char kChartJs[];

namespace txhost {
namespace {

// The summary as it may stand inside a script element: "</script>" and "<!--" in a text from the
// input would end or change the element, so every '<' becomes the JSON escape \u003c.
std::string ScriptSafe(const std::string& json) {
  std::string safe;
  safe.reserve(json.size());
  for (char c : json) {
    if (c == '<') {
      safe += "\\u003c";
    } else {
      safe.push_back(c);
    }
  }
  return safe;
}

void Replace(std::string* page, const std::string& mark, const std::string& with) {
  size_t at = page->find(mark);
  if (at != std::string::npos) page->replace(at, mark.size(), with);
}

}  // namespace

std::string ReportHtml(const ScreenSummary& summary) {
  return ReportHtmlFromJson(SummaryJson(summary));
}

std::string ReportHtmlFromJson(const std::string& summary_json) {
  std::string page = kReportTemplate;
  // The summary goes in last, so no text of the input is ever searched for a mark.
  Replace(&page, "/*CHART_JS*/", kChartJs);
  Replace(&page, "/*REPORT_JS*/", kReportScript);
  Replace(&page, "/*SUMMARY_JSON*/", ScriptSafe(summary_json));
  return page;
}

}  // namespace txhost
