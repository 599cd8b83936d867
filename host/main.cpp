// txhost: the reference host that loads the rule libraries and calls their rules.
#include <CLI/CLI.hpp>
#include <string>

#include "call_command.h"
#include "dynamic_library.h"
#include "exports_command.h"
#include "screen_command.h"

namespace {

constexpr char kSampleConnect[] = "screener/screener@sample";

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Reference host for the txscreen rule libraries"};
  app.require_subcommand(1);
  // Paths such as /data/transactions.csv are arguments, never Windows-style /options.
  app.allow_windows_style_options(false);
  std::string library_directory = txhost::DynamicLibrary::ProgramDirectory();
  app.add_option("--libdir", library_directory,
                 "Directory the libraries are loaded from (default: the program's)");

  txhost::ScreenOptions screen;
  screen.connect = kSampleConnect;
  CLI::App* screen_command =
      app.add_subcommand("screen", "Screen a CSV file of transactions through a rule set");
  screen_command
      ->add_option("transactions", screen.transactions, "CSV file with a header; - reads stdin")
      ->required();
  screen_command->add_option("--rules", screen.rules, "Rule-set file")->required();
  screen_command
      ->add_option("--connect", screen.connect, "user/password@service for the database rules")
      ->default_str(kSampleConnect);
  screen_command->add_option("--out", screen.out, "Write the results here, not to stdout");
  screen_command->add_option("--rejects", screen.rejects, "Write the rejected rows here");
  screen_command->add_option("--explain", screen.explain,
                             "Write a JSON line per check that fired: why it fired");
  screen_command->add_option("--id", screen.id_column, "The transaction id column")
      ->default_str("id");
  screen_command->add_option("--label", screen.label_column,
                             "Column with the known outcome (1 fraud, 0 genuine): a backtest");
  screen_command->add_option("--threads", screen.threads, "Screen on this many threads")
      ->check(CLI::Range(1, 256));
  screen_command->add_flag("--parse-only", screen.parse_only,
                           "Read and convert every row, call no rule, write no rows");

  txhost::CallOptions call;
  CLI::App* call_command = app.add_subcommand(
      "call", "Load a rule library, call one rule with the given arguments and print its answer");
  call_command->add_option("--connect", call.connect,
                           "user/password@service of the session for database rules");
  call_command->add_option("library", call.library, "txscreen, txscreen2, or a library's path")
      ->required();
  call_command->add_option("rule", call.rule, "Exported rule name, such as SHARPINCREASE")
      ->required();
  call_command->add_option("args", call.args,
                           "The rule's arguments: amounts as decimals, dates as YYYY-MM-DD");
  call_command->positionals_at_end();

  std::string exports_library;
  CLI::App* exports_command =
      app.add_subcommand("exports", "List the rules a library exports, with ordinals and kinds");
  exports_command->add_option("library", exports_library, "txscreen, txscreen2, or a path")
      ->required();

  CLI11_PARSE(app, argc, argv);
  if (screen_command->parsed()) {
    screen.library_directory = library_directory;
    return txhost::RunScreen(screen);
  }
  if (call_command->parsed()) {
    call.library_directory = library_directory;
    return txhost::RunCall(call);
  }
  return txhost::RunExports(library_directory, exports_library);
}
