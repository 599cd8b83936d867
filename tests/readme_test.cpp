// The README says what the program says: its exit-status table, its rule-set format and the
// server's API have one source each, in the program.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "exit_status.h"
#include "rule_set_help.h"
#if TXHOST_HAS_SERVE
#include "serve_command.h"
#endif

namespace {

std::string Readme() {
  std::ifstream in(TXSCREEN_SOURCE_DIR "/README.md");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(ReadmeTest, TheReadmesExitStatusTableIsTheProgramsTable) {
  const std::string readme = Readme();
  if (readme.empty()) GTEST_SKIP() << "the sources' README.md cannot be read from here";
  std::string rows;
  for (const txhost::ExitStatusMeaning& entry : txhost::kExitStatusTable) {
    rows += "| " + std::to_string(entry.status) + " | " + entry.meaning + " |\n";
  }
  EXPECT_NE(readme.find("| status | meaning |\n|---|---|\n" + rows), std::string::npos)
      << "the README's table should read:\n"
      << rows;
}

TEST(ReadmeTest, TheReadmeQuotesTheHelpTextsAsTheProgramGivesThem) {
  const std::string readme = Readme();
  if (readme.empty()) GTEST_SKIP() << "the sources' README.md cannot be read from here";
  std::vector<const char*> quoted = {txhost::kRuleSetHelp};
#if TXHOST_HAS_SERVE
  quoted.push_back(txhost::kServeHelp);
#endif
  for (const char* help : quoted) {
    EXPECT_NE(readme.find("```\n" + std::string(help) + "```\n"), std::string::npos)
        << "the README should quote, in a code block:\n"
        << help;
  }
}

}  // namespace
