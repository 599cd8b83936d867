// The database-rule fixture's libraries, loaded once and kept for the whole program.
#include "database_rule_test.h"

#include <map>

namespace testing_support {

RuleLibrary& DatabaseRuleTest::LoadedLibrary(const std::string& name) {
  static auto* libraries = new std::map<std::string, std::unique_ptr<RuleLibrary>>();
  auto& library = (*libraries)[name];
  if (!library) library = std::make_unique<RuleLibrary>(name);
  return *library;
}

}  // namespace testing_support
