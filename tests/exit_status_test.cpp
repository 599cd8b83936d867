// The exit statuses have one source: the README's table says what the program's table says.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "exit_status.h"

namespace {

TEST(ExitStatusTest, TheReadmesTableIsTheProgramsTable) {
  std::ifstream in(TXSCREEN_SOURCE_DIR "/README.md");
  if (!in) GTEST_SKIP() << "the sources' README.md cannot be read from here";
  std::stringstream text;
  text << in.rdbuf();
  const std::string readme = text.str();
  std::string rows;
  for (const txhost::ExitStatusMeaning& entry : txhost::kExitStatusTable) {
    rows += "| " + std::to_string(entry.status) + " | " + entry.meaning + " |\n";
  }
  EXPECT_NE(readme.find("| status | meaning |\n|---|---|\n" + rows), std::string::npos)
      << "the README's table should read:\n"
      << rows;
}

}  // namespace
