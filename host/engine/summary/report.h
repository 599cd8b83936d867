// The run as a page to look at and send on: one self-contained HTML file, charts included, that
// opens from disk in a current browser with no network.
#ifndef TXSCREEN_HOST_ENGINE_SUMMARY_REPORT_H_
#define TXSCREEN_HOST_ENGINE_SUMMARY_REPORT_H_

#include <string>

#include "screen_summary.h"

namespace txhost {

// The page: the summary as data, Chart.js, and the script that draws tables and charts from it.
// Every text from the input reaches the page as data and is shown as text, never as markup.
std::string ReportHtml(const ScreenSummary& summary);
// The same page for a summary already in its JSON form (SummaryJson's), such as one merged from
// the summaries of several runs.
std::string ReportHtmlFromJson(const std::string& summary_json);

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_SUMMARY_REPORT_H_
