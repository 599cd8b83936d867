// txhost: the reference host that loads the rule libraries and calls their rules.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "call_command.h"
#include "dynamic_library.h"

int main(int argc, char** argv) {
  CLI::App app{"Reference host for the txscreen rule libraries"};
  app.require_subcommand(1);

  txhost::CallOptions call;
  call.library_directory = txhost::DynamicLibrary::ProgramDirectory();
  CLI::App* call_command = app.add_subcommand(
      "call", "Load a rule library, call one rule with the given arguments and print its answer");
  call_command->add_option("--libdir", call.library_directory,
                           "Directory the libraries are loaded from (default: the program's)");
  call_command->add_option("--connect", call.connect,
                           "user/password@service of the session for database rules");
  call_command->add_option("library", call.library, "txscreen, txscreen2, or a library's path")
      ->required();
  call_command->add_option("rule", call.rule, "Exported rule name, such as SHARPINCREASE")
      ->required();
  call_command->add_option("args", call.args,
                           "The rule's arguments: amounts as decimals, dates as YYYY-MM-DD");
  call_command->positionals_at_end();

  CLI11_PARSE(app, argc, argv);
  if (call_command->parsed()) return txhost::RunCall(call);
  return 2;
}
