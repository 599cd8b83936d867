// The rule catalog, derived from the public headers' function-pointer types.
#include "rule_catalog.h"

#include <algorithm>

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
  static const char* Get(const Value& value) { return value.text.c_str(); }
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
  static RuleResult Invoke(void* function, const OciHandles&, const Value* args) {
    return Call(reinterpret_cast<Function>(function), args, std::index_sequence_for<P...>());
  }
  template <size_t... I>
  static RuleResult Call(Function function, const Value* args, std::index_sequence<I...>) {
    return function(Param<P>::Get(args[I])...);
  }
};

// A rule that takes the handle triple first.
template <class... P>
struct Signature<RuleResult(TXSCREEN_CALL*)(OCIEnv*, OCIError*, OCISvcCtx*, P...)> {
  using Function = RuleResult(TXSCREEN_CALL*)(OCIEnv*, OCIError*, OCISvcCtx*, P...);
  static std::vector<ParamKind> Params() { return {ParamKind::kHandles, Param<P>::kKind...}; }
  static RuleResult Invoke(void* function, const OciHandles& handles, const Value* args) {
    return Call(reinterpret_cast<Function>(function), handles, args,
                std::index_sequence_for<P...>());
  }
  template <size_t... I>
  static RuleResult Call(Function function, const OciHandles& handles, const Value* args,
                         std::index_sequence<I...>) {
    return function(handles.env, handles.err, handles.svc, Param<P>::Get(args[I])...);
  }
};

template <class Function>
RuleSpec Rule(const char* library, const char* name, unsigned ordinal) {
  return {library, name, ordinal, Signature<Function>::Params(), &Signature<Function>::Invoke};
}

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

const std::vector<RuleSpec>& RuleCatalog() {
  static const std::vector<RuleSpec> catalog = {
      Rule<SharpIncreaseFn>("txscreen", "SHARPINCREASE", 1),
      Rule<BadAccountFn>("txscreen", "BADACCOUNT", 2),
      Rule<OverCreditLimitFn>("txscreen", "OVERCREDITLIMIT", 3),
      Rule<TestConnFn>("txscreen", "TESTCONN", 4),
      Rule<TestDateFn>("txscreen", "TESTDATE", 5),
      Rule<SpecialUserFn>("txscreen", "SPECIAL_USER", 6),
      Rule<TestMerchantFn>("txscreen2", "TESTMERCHANT", 1),
      Rule<SameZipCodeFn>("txscreen2", "SAMEZIPCODE", 2),
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
