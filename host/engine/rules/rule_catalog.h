// What the host knows of every rule it can call: library, name, ordinal and parameter kinds,
// all read off the function-pointer types of the libraries' public headers.
#ifndef TXSCREEN_HOST_ENGINE_RULES_RULE_CATALOG_H_
#define TXSCREEN_HOST_ENGINE_RULES_RULE_CATALOG_H_

#include <string>
#include <utility>
#include <vector>

#include "rule_types.h"

namespace txhost {

enum class ParamKind { kText, kAmount, kDate, kHandles };

const char* KindName(ParamKind kind);  // "text", "amount", "date", "handles"
// "amount, amount, text", or "none" for no kinds.
std::string KindList(const std::vector<ParamKind>& kinds);

// One argument as the host holds it; only the member of the parameter's kind is read.
struct Value {
  std::string text;  // a text of the value's own, such as a literal's
  float amount = 0;
  OCIDate date = {};
  // A text read from a row is the field itself, which its source ends with a NUL; set, it stands
  // for `text`, so that no row's text is copied.
  const char* field_text = nullptr;

  const char* c_text() const { return field_text ? field_text : text.c_str(); }
};

// How a text parameter may stand for a list of texts. The rule fires only when the parameter
// equals another one (`kEquals`, the other's place in `partner`): a row's text is then looked up
// in the list, and the rule called once with the value it matched. A day name, which the rule
// compares with a date of its own working out, is tried value by value (`kEachValue`).
struct ListUse {
  enum Kind { kNone, kEquals, kEachValue };
  Kind kind = kNone;
  size_t partner = 0;  // with kEquals: the value parameter this one must equal
};

struct RuleSpec {
  const char* library;  // "txscreen" or "txscreen2"
  const char* name;
  unsigned ordinal;
  // In call order; the handle triple is one kHandles entry, always first when present.
  std::vector<ParamKind> params;
  // Calls `function` (the rule's exported address). `args` holds one Value per non-handle
  // parameter, in order; `handles` is passed only to rules that take the triple.
  // Calls `function` with `args[i]` as its i-th parameter after the handles, if it takes them.
  RuleResult (*invoke)(void* function, const OciHandles& handles, const Value* const* args);
  // Per value parameter, whether it may take a list; parameters beyond the vector take none.
  std::vector<ListUse> lists;

  bool TakesHandles() const { return !params.empty() && params[0] == ParamKind::kHandles; }
  // The parameters a caller supplies values for: all but the handle triple.
  std::vector<ParamKind> ValueParams() const;
  ListUse ListUseOf(size_t value_param) const {
    return value_param < lists.size() ? lists[value_param] : ListUse();
  }
};

const std::vector<RuleSpec>& RuleCatalog();

// The rule's parameters as `txhost exports` lists them: "handles, text or @list, date".
std::string ParamsWithLists(const RuleSpec& rule);

// The rule called `name` in `library`, or null.
const RuleSpec* FindRule(const std::string& library, const std::string& name);

// The libraries the catalog knows, in order.
std::vector<std::string> CatalogLibraries();

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_RULES_RULE_CATALOG_H_
