// The rule catalog, derived from the public headers' function-pointer types.
#include "rule_catalog.h"

#include <algorithm>
#include <cstring>

#include "export_ordinals.h"
#include "txscreen.h"
#include "txscreen2.h"

namespace txhost {
namespace {

template <class T>
struct Param;
template <>
struct Param<float> {
  static constexpr ParamKind kKind = ParamKind::kAmount;
  static float Get(const Value& value) { return value.amount; }
};
template <>
struct Param<const char*> {
  static constexpr ParamKind kKind = ParamKind::kText;
  static const char* Get(const Value& value) { return value.c_text(); }
};
template <>
struct Param<OCIDate> {
  static constexpr ParamKind kKind = ParamKind::kDate;
  static OCIDate Get(const Value& value) { return value.date; }
};

template <class Function>
struct Signature;

// A rule that works on its arguments alone.
template <class... P>
struct Signature<RuleResult(TXSCREEN_CALL*)(P...)> {
  using Function = RuleResult(TXSCREEN_CALL*)(P...);
  static std::vector<ParamKind> Params() { return {Param<P>::kKind...}; }
  static RuleResult Invoke(void* function, const OciHandles&, const Value* const* args) {
    return Call(reinterpret_cast<Function>(function), args, std::index_sequence_for<P...>());
  }
  template <size_t... I>
  static RuleResult Call(Function function, const Value* const* args, std::index_sequence<I...>) {
    return function(Param<P>::Get(*args[I])...);
  }
};

// A rule that takes the handle triple first.
template <class... P>
struct Signature<RuleResult(TXSCREEN_CALL*)(OCIEnv*, OCIError*, OCISvcCtx*, P...)> {
  using Function = RuleResult(TXSCREEN_CALL*)(OCIEnv*, OCIError*, OCISvcCtx*, P...);
  static std::vector<ParamKind> Params() { return {ParamKind::kHandles, Param<P>::kKind...}; }
  static RuleResult Invoke(void* function, const OciHandles& handles, const Value* const* args) {
    return Call(reinterpret_cast<Function>(function), handles, args,
                std::index_sequence_for<P...>());
  }
  template <size_t... I>
  static RuleResult Call(Function function, const OciHandles& handles, const Value* const* args,
                         std::index_sequence<I...>) {
    return function(handles.env, handles.err, handles.svc, Param<P>::Get(*args[I])...);
  }
};

// The ordinal the library's .def file gives `name`; 0 when it exports no such name.
unsigned OrdinalOf(const char* library, const char* name) {
  for (const ExportOrdinal& entry : kExportOrdinals) {
    if (std::strcmp(entry.library, library) == 0 && std::strcmp(entry.name, name) == 0) {
      return entry.ordinal;
    }
  }
  return 0;
}

template <class Function>
RuleSpec Rule(const char* library, const char* name, std::vector<ListUse> lists = {}) {
  return {library,
          name,
          OrdinalOf(library, name),
          Signature<Function>::Params(),
          &Signature<Function>::Invoke,
          std::move(lists)};
}

ListUse Equals(size_t partner) { return {ListUse::kEquals, partner}; }
constexpr ListUse kNoList = {};
constexpr ListUse kEachDay = {ListUse::kEachValue, 0};

}  // namespace

const char* KindName(ParamKind kind) {
  switch (kind) {
    case ParamKind::kText:
      return "text";
    case ParamKind::kAmount:
      return "amount";
    case ParamKind::kDate:
      return "date";
    case ParamKind::kHandles:
      return "handles";
  }
  return "?";
}

std::string KindList(const std::vector<ParamKind>& kinds) {
  std::string text;
  for (ParamKind kind : kinds) text += std::string(text.empty() ? "" : ", ") + KindName(kind);
  return text.empty() ? "none" : text;
}

std::vector<ParamKind> RuleSpec::ValueParams() const {
  return TakesHandles() ? std::vector<ParamKind>(params.begin() + 1, params.end()) : params;
}

std::string ParamsWithLists(const RuleSpec& rule) {
  std::string text;
  const size_t first_value = rule.TakesHandles() ? 1 : 0;
  for (size_t p = 0; p < rule.params.size(); ++p) {
    text += std::string(text.empty() ? "" : ", ") + KindName(rule.params[p]);
    if (p >= first_value && rule.ListUseOf(p - first_value).kind != ListUse::kNone) {
      text += " or @list";
    }
  }
  return text.empty() ? "none" : text;
}

const std::vector<RuleSpec>& RuleCatalog() {
  static const std::vector<RuleSpec> catalog = {
      // Which texts may be lists follows from what each rule compares for equality: the headers'
      // comments say it.
      Rule<SharpIncreaseFn>("txscreen", "SHARPINCREASE"),
      Rule<BadAccountFn>("txscreen", "BADACCOUNT", {Equals(1), Equals(0)}),
      Rule<OverCreditLimitFn>("txscreen", "OVERCREDITLIMIT"),
      Rule<TestConnFn>("txscreen", "TESTCONN"),
      Rule<TestDateFn>("txscreen", "TESTDATE", {kEachDay}),
      Rule<SpecialUserFn>("txscreen", "SPECIAL_USER", {Equals(2), kNoList, Equals(0)}),
      Rule<TestMerchantFn>("txscreen2", "TESTMERCHANT", {Equals(1), Equals(0), kEachDay}),
      Rule<SameZipCodeFn>("txscreen2", "SAMEZIPCODE", {Equals(1), Equals(0)}),
  };
  return catalog;
}

const RuleSpec* FindRule(const std::string& library, const std::string& name) {
  for (const RuleSpec& rule : RuleCatalog()) {
    if (library == rule.library && name == rule.name) return &rule;
  }
  return nullptr;
}

std::vector<std::string> CatalogLibraries() {
  std::vector<std::string> libraries;
  for (const RuleSpec& rule : RuleCatalog()) {
    if (std::find(libraries.begin(), libraries.end(), rule.library) == libraries.end()) {
      libraries.push_back(rule.library);
    }
  }
  return libraries;
}

}  // namespace txhost
