// The screening engine as a Python extension: rule sets checked once, DataFrame columns converted
// to the texts a CSV file would hold, runs into memory with the GIL released, and the sessions of
// a rule set kept from one run to the next.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "alert_capture.h"
#include "column_source.h"
#include "json_line.h"
#include "memory_sink.h"
#include "output_file.h"
#include "report.h"
#include "rule_set.h"
#include "screen_input.h"
#include "screen_outputs.h"
#include "screen_run.h"
#include "screen_summary.h"
#include "session_pool.h"
#include "transaction_decision.h"

namespace py = pybind11;

namespace {

constexpr char kPasswordVariable[] = "TXHOST_PASSWORD";

// Raises the package's exception `kind` (txscreen.errors) with `message`.
[[noreturn]] void Raise(const char* kind, const std::string& message) {
  py::object type = py::module_::import("txscreen.errors").attr(kind);
  py::object text = py::reinterpret_steal<py::object>(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  PyErr_SetObject(type.ptr(), text.ptr());
  throw py::error_already_set();
}

// Bytes from the input as a str that gives the same bytes back with
// .encode("utf-8", "surrogateescape"), whatever they are.
py::str Text(const std::string& bytes) {
  return py::reinterpret_steal<py::str>(
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape"));
}

// --- Columns to texts, as DataFrame.to_csv writes them ----------------------------------------

// The shortest decimal that reads back as the same number; "" for NaN, which to_csv leaves empty.
// A finite float as Python's repr writes it, and so to_csv: the shortest digits that read back
// as the value, positional from 1e-4 up to 1e16 with at least one digit after the point
// ("80217.0"), in exponent form outside ("1e+16", "1.5e-05").
template <class Float>
std::string FloatText(Float value) {
  char scientific[64];
  auto end = std::to_chars(scientific, scientific + sizeof scientific, value,
                           std::chars_format::scientific).ptr;
  const std::string text(scientific, end);  // "-8.0217e+04"
  const size_t e = text.find('e');
  const bool negative = text[0] == '-';
  std::string digits;
  for (size_t i = negative ? 1 : 0; i < e; ++i) {
    if (text[i] != '.') digits.push_back(text[i]);
  }
  const int exponent = std::stoi(text.substr(e + 1));
  std::string out = negative ? "-" : "";
  if (exponent < -4 || exponent >= 16) {
    out += digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    const int magnitude = exponent < 0 ? -exponent : exponent;
    out += std::string("e") + (exponent < 0 ? "-" : "+") + (magnitude < 10 ? "0" : "") +
           std::to_string(magnitude);
  } else if (exponent < 0) {
    out += "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
  } else {
    const size_t whole = static_cast<size_t>(exponent) + 1;
    if (digits.size() <= whole) {
      out += digits + std::string(whole - digits.size(), '0') + ".0";
    } else {
      out += digits.substr(0, whole) + "." + digits.substr(whole);
    }
  }
  return out;
}

template <class Number>
std::string NumberText(Number value) {
  char text[64];
  if constexpr (std::is_floating_point_v<Number>) {
    if (std::isnan(value)) return "";
    if (!std::isinf(value)) return FloatText(value);
  }
  auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

// A large frame's columns take a while to convert, with the GIL held: Ctrl-C is looked for every
// 65,536 values, so that it stops a run as promptly here as while the rows are screened.
void StopOnSignal(py::ssize_t i) {
  if ((i & 0xffff) == 0xffff && PyErr_CheckSignals() != 0) throw py::error_already_set();
}

template <class Number>
void NumbersToTexts(const py::array& column, std::vector<std::string>* texts) {
  auto values = py::array_t<Number, py::array::forcecast>::ensure(column);
  auto view = values.template unchecked<1>();
  for (py::ssize_t i = 0; i < view.shape(0); ++i) {
    StopOnSignal(i);
    (*texts)[i] = NumberText(view(i));
  }
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int64_t>(yoe) + era * 400 + (*month <= 2);
}

// datetime64[ns]: a date alone when every value of the column is at midnight, as to_csv writes
// it; otherwise with the time of day, which no date parameter takes, and a fraction of a second
// with the digits the column's finest value needs (3, 6 or 9), on every value alike.
void DatesToTexts(const py::array& column, std::vector<std::string>* texts) {
  constexpr int64_t kNat = std::numeric_limits<int64_t>::min();
  constexpr int64_t kNanosPerDay = 86400LL * 1000000000LL;
  auto values = py::array_t<int64_t, py::array::forcecast>::ensure(column.attr("view")("int64"));
  auto view = values.unchecked<1>();
  bool midnight = true;
  int digits = 0;
  for (py::ssize_t i = 0; i < view.shape(0); ++i) {
    if (view(i) == kNat) continue;
    midnight = midnight && view(i) % kNanosPerDay == 0;
    const int64_t fraction = (view(i) % 1000000000 + 1000000000) % 1000000000;
    const int needs = fraction == 0 ? 0 : fraction % 1000000 == 0 ? 3 : fraction % 1000 == 0 ? 6 : 9;
    digits = std::max(digits, needs);
  }
  for (py::ssize_t i = 0; i < view.shape(0); ++i) {
    StopOnSignal(i);
    const int64_t nanos = view(i);
    if (nanos == kNat) continue;
    int64_t days = nanos / kNanosPerDay - (nanos % kNanosPerDay < 0);
    int64_t of_day = nanos - days * kNanosPerDay;
    int64_t year;
    unsigned month, day;
    CivilFromDays(days, &year, &month, &day);
    char text[64];
    int length = std::snprintf(text, sizeof text, "%04lld-%02u-%02u", static_cast<long long>(year),
                               month, day);
    if (!midnight) {
      int64_t seconds = of_day / 1000000000;
      length += std::snprintf(text + length, sizeof text - length, " %02lld:%02lld:%02lld",
                              static_cast<long long>(seconds / 3600),
                              static_cast<long long>(seconds / 60 % 60),
                              static_cast<long long>(seconds % 60));
      if (digits > 0) {
        char fraction[16];
        std::snprintf(fraction, sizeof fraction, ".%09lld",
                      static_cast<long long>(of_day % 1000000000));
        fraction[1 + digits] = '\0';
        std::snprintf(text + length, sizeof text - length, "%s", fraction);
      }
    }
    (*texts)[i] = text;
  }
}

// pandas' own missing values, which to_csv writes as empty fields like None and NaN.
struct MissingValues {
  PyObject* na;
  PyObject* nat;
};

std::string ObjectText(PyObject* item, const MissingValues& missing) {
  if (item == Py_None || item == missing.na || item == missing.nat) return "";
  if (PyUnicode_Check(item)) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size)) return std::string(utf8, size);
    PyErr_Clear();  // lone surrogates: the bytes they stand for
    py::bytes bytes = py::reinterpret_steal<py::bytes>(
        PyUnicode_AsEncodedString(item, "utf-8", "surrogateescape"));
    if (!bytes) throw py::error_already_set();
    return bytes;
  }
  if (PyFloat_Check(item)) return NumberText(PyFloat_AsDouble(item));
  py::str text = py::str(py::handle(item));
  return text;
}

void ObjectsToTexts(const std::string& name, const py::array& column,
                    std::vector<std::string>* texts) {
  py::module_ pandas = py::module_::import("pandas");
  py::object na = pandas.attr("NA"), nat = pandas.attr("NaT");
  const MissingValues missing{na.ptr(), nat.ptr()};
  auto* items = static_cast<PyObject* const*>(column.data());
  py::ssize_t stride = column.strides(0) / static_cast<py::ssize_t>(sizeof(PyObject*));
  for (py::ssize_t i = 0; i < column.shape(0); ++i) {
    StopOnSignal(i);
    try {
      (*texts)[i] = ObjectText(items[i * stride], missing);
    } catch (py::error_already_set& error) {
      // A str that no bytes stand for (a lone surrogate), or an object whose str() raises: the
      // row, its column and the reason, as a fault of the input.
      Raise("InputError", "column " + name + ", row " + std::to_string(i) + " (line " +
                              std::to_string(i + 2) + "): its value cannot be read as a text: " +
                              py::str(error.value()).cast<std::string>());
    }
  }
}

// One column's texts, as DataFrame.to_csv writes its values.
std::vector<std::string> ColumnTexts(const std::string& name, const py::array& column) {
  std::vector<std::string> texts(static_cast<size_t>(column.shape(0)));
  const py::dtype dtype = column.dtype();
  switch (dtype.kind()) {
    case 'f':
      if (dtype.itemsize() == 8) {
        NumbersToTexts<double>(column, &texts);
      } else {
        NumbersToTexts<float>(column, &texts);  // float16 is widened to float32 first
      }
      break;
    case 'i':
      NumbersToTexts<int64_t>(column, &texts);
      break;
    case 'u':
      NumbersToTexts<uint64_t>(column, &texts);
      break;
    case 'b': {
      auto values = py::array_t<bool, py::array::forcecast>::ensure(column).unchecked<1>();
      for (py::ssize_t i = 0; i < values.shape(0); ++i) {
        StopOnSignal(i);
        texts[i] = values(i) ? "True" : "False";
      }
      break;
    }
    case 'M':
      DatesToTexts(column, &texts);
      break;
    case 'O':
      ObjectsToTexts(name, column, &texts);
      break;
    default:
      Raise("InputError", "column " + name + ": values of dtype " +
                              py::str(py::handle(dtype)).cast<std::string>() +
                              " cannot be screened");
  }
  return texts;
}

// One field of a transaction given to decide, as the server reads the same value in JSON: a str
// as its bytes, a number as its text; anything else is refused with the server's reason.
bool DecideFieldText(PyObject* item, const std::string& column, std::string* text,
                     std::string* problem) {
  if (PyUnicode_Check(item)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
    if (utf8 == nullptr) {
      // A lone surrogate, as the server refuses it in a JSON string.
      PyErr_Clear();
      *problem = txhost::LoneSurrogateProblem(column);
      return false;
    }
    text->assign(utf8, size);
    return true;
  }
  const std::string expected = "column " + column + ": expected a string or a number, found ";
  if (PyBool_Check(item) || item == Py_None) {
    *problem = expected + (item == Py_None ? "null" : "a boolean");
    return false;
  }
  if (PyFloat_Check(item)) {
    *text = NumberText(PyFloat_AsDouble(item));
    return true;
  }
  if (PyLong_Check(item)) {
    *text = py::str(py::handle(item));
    return true;
  }
  *problem = expected + "a " + Py_TYPE(item)->tp_name;
  return false;
}

// --- Runs ---------------------------------------------------------------------------------------

// Lets Ctrl-C reach the interpreter while a run has the GIL released: the signals are checked
// on the calling thread now and then, and a pending KeyboardInterrupt stops the run.
// Ctrl-C reaches the main thread only. The package counts each one here, so that a run on
// another thread (a Dask pool's) that began before it stops too, rather than run on unseen.
std::atomic<uint64_t> g_interrupts{0};

class InterruptibleRun : public txhost::RunObserver {
 public:
  // `interrupts_seen`: the count when the call began, before it waited for its turn, so that a
  // call held back while Ctrl-C came stops as well.
  explicit InterruptibleRun(uint64_t interrupts_seen) : interrupts_at_start_(interrupts_seen) {}

  bool Progress(uint64_t, size_t) override {
    auto now = std::chrono::steady_clock::now();
    if (now - checked_ < std::chrono::milliseconds(50)) return true;
    checked_ = now;
    py::gil_scoped_acquire gil;
    if (g_interrupts.load() != interrupts_at_start_) {
      PyErr_SetNone(PyExc_KeyboardInterrupt);
    } else if (PyErr_CheckSignals() == 0) {
      return true;
    }
    error_.emplace();
    return false;
  }
  // Raises what stopped the run.
  [[noreturn]] void Rethrow() { throw *error_; }

 private:
  std::chrono::steady_clock::time_point checked_ = std::chrono::steady_clock::now();
  const uint64_t interrupts_at_start_;
  std::optional<py::error_already_set> error_;
};

struct ScreenRequest {
  std::optional<std::string> connect;
  std::optional<std::string> password;
  unsigned threads = 1;
  std::string id_column = "id";
  std::string label_column;
  bool explain = false;
  size_t max_rejects = std::numeric_limits<size_t>::max();
  // The summary gives every list value that fired, not the first few: a part of a Dask run.
  bool every_list_value = false;
  uint64_t interrupts_seen = 0;  // the count of Ctrl-C when the call began
};

// A digest of `password` under a secret of this process, so that kept sessions can be matched to
// a login's password without a copy of it: FNV-1a over the bytes, from a random start.
uint64_t PasswordDigest(const std::string& password) {
  static const uint64_t secret = [] {
    std::random_device random;
    return (uint64_t{random()} << 32) ^ random();
  }();
  uint64_t digest = secret ^ 14695981039346656037ull;
  for (unsigned char c : password) digest = (digest ^ c) * 1099511628211ull;
  return digest;
}

// Alerts reach a run through one hook per process, so runs in one process take turns.
std::mutex g_run_turn;

// Takes `locks` together, waiting for them without the GIL: a thread that holds one of them
// needs the GIL again before it lets go, so waiting for a lock while holding the GIL would
// deadlock against it. Called with the GIL held; gives the locks held, and the GIL too.
template <class... Locks>
void LockWithoutGil(Locks&... locks) {
  py::gil_scoped_release released;
  if constexpr (sizeof...(Locks) == 1) {
    (locks.lock(), ...);
  } else {
    std::lock(locks...);  // in an order that two runs taking the same two never deadlock in
  }
}

// A rule set's own lock, taken as LockWithoutGil takes it.
std::unique_lock<std::mutex> HoldWithoutGil(std::mutex& mutex) {
  std::unique_lock<std::mutex> lock(mutex, std::defer_lock);
  LockWithoutGil(lock);
  return lock;
}

class NativeRuleSet {
 public:
  // `lists` binds names to values, each standing for `@name` before any file of that name.
  NativeRuleSet(const std::string& path, std::optional<std::string> text,
                const std::string& library_directory,
                const std::map<std::string, std::vector<std::string>>& lists) {
    std::string error;
    rules_ = text ? txhost::RuleSet::FromText(path, *text, library_directory)
                  : txhost::RuleSet::Open(path, library_directory, &error);
    if (!rules_) Raise("RuleSetError", error);
    for (const auto& [name, values] : lists) {
      auto list = txhost::TextList::FromValues(name, values, &error);
      if (!list) Raise("RuleSetError", error);
      rules_->GiveList(std::move(list));
    }
    std::vector<std::string> problems = rules_->Problems();
    if (!problems.empty()) Raise("RuleSetError", Lines(problems));
  }

  const std::string& path() const { return rules_->path(); }
  const std::string& text() const { return rules_->text(); }
  // The lists the checks name, as the values they hold: what another process needs to read the
  // same rule set without the files.
  py::bytes Fingerprint() { return py::bytes(rules_->Fingerprint()); }
  py::dict Lists() const {
    py::dict lists;
    for (const auto& list : rules_->Lists()) {
      py::list values;
      for (size_t v = 0; v < list->size(); ++v) values.append(py::str(list->value(v)));
      lists[py::str(list->name())] = values;
    }
    return lists;
  }
  void Close() {
    auto lock = HoldWithoutGil(mutex_);
    pool_.reset();
    pool_key_.clear();
  }

  py::dict Screen(py::object csv_path, std::vector<std::string> header, py::list columns,
                  size_t rows, const ScreenRequest& request, NativeRuleSet* baseline) {
    // The live set beside the draft is bound and its libraries used too: both are held.
    std::unique_lock<std::mutex> lock(mutex_, std::defer_lock), live;
    if (baseline != nullptr && baseline != this) {
      live = std::unique_lock<std::mutex>(baseline->mutex_, std::defer_lock);
      LockWithoutGil(lock, live);
    } else {
      LockWithoutGil(lock);
    }
    const bool from_csv = !csv_path.is_none();
    std::unique_ptr<txhost::ScreenInput> input =
        OpenInput(csv_path, std::move(header), columns, rows, request);
    std::optional<txhost::RuleSetPair> pair;
    txhost::ScreenPlan plan = Plan(*input, request, baseline, &pair);
    const size_t reported = pair ? pair->draft_size : plan.checks.size();
    const unsigned workers = std::max(1u, request.threads);
    txhost::SessionPool unconnected(workers);
    txhost::SessionPool& pool =
        txhost::NeedsDatabase(plan.checks) ? Sessions(request, workers) : unconnected;

    txhost::MemorySink sink(reported, input->id_column, from_csv, pair ? &*pair : nullptr);
    txhost::ScreenSummary summary(input->name, rules_->path(), plan.checks,
                                  input->label_column >= 0, false, reported);
    if (request.every_list_value) summary.list_values_given = static_cast<size_t>(-1);
    if (pair) summary.comparison.emplace(*pair, baseline->rules_->path());
    if (plan.decisions.scored) summary.decisions.emplace(plan.decisions);
    InterruptibleRun observer(request.interrupts_seen);
    txhost::RunOutcome outcome;
    {
      py::gil_scoped_release released;
      std::lock_guard<std::mutex> turn(g_run_turn);
      outcome = txhost::ScreenRows(plan, *input, rules_->libraries(), pool.handles(), sink,
                                   observer, &summary);
    }
    pool.RunEnded(summary.on_lost_session > 0);
    RaiseUnlessCompleted(outcome, request, *input, summary, &observer);
    py::dict results = Results(plan, reported, summary, sink, from_csv);
    results["header"] = input->header;
    return results;
  }

  // One transaction, as the server decides it: the dict it would answer.
  py::object Decide(py::dict mapping, const ScreenRequest& request) {
    auto lock = HoldWithoutGil(mutex_);
    if (!decision_ || decision_id_ != request.id_column) {
      std::vector<std::string> problems;
      decision_ = txhost::PlanDecisions(*rules_, nullptr, request.id_column, &problems);
      if (!decision_) Raise("RuleSetError", Lines(problems));
      decision_id_ = request.id_column;
      decider_.reset();
    }
    const txhost::DecisionPlan& plan = *decision_;
    txhost::CsvRecord& record = decide_record_;
    decide_fields_.resize(plan.header.size());
    for (size_t c = 0; c < plan.header.size(); ++c) {
      PyObject* item = PyDict_GetItemString(mapping.ptr(), plan.header[c].c_str());
      if (item == nullptr) Raise("InputError", "missing column " + plan.header[c]);
      std::string problem;
      if (!DecideFieldText(item, plan.header[c], &decide_fields_[c], &problem)) {
        Raise("InputError", problem);
      }
    }
    record.fields.clear();
    for (const std::string& field : decide_fields_) record.fields.emplace_back(field);
    OciHandles handles{};
    if (plan.needs_database) {
      const txhost::SessionPool& pool = Sessions(request, 1, false);
      if (pools_opened_ != decided_on_) decider_.reset();  // a new session: a screener of its own
      decided_on_ = pools_opened_;
      handles = pool.handles()[0];
    }
    if (!decider_) decider_ = std::make_unique<txhost::TransactionDecider>(plan);
    {
      py::gil_scoped_release released;
      std::lock_guard<std::mutex> turn(g_run_turn);
      txhost::AlertRouting routing(rules_->libraries().Loaded());
      decider_->Decide(record, handles, &decide_result_);
    }
    const txhost::RowResult& result = decide_result_;
    if (result.on_lost_session) {
      pool_.reset();
      pool_key_.clear();
      decider_.reset();
      Raise("LoginError", "the database session was lost: " +
                              (result.alerts.empty() ? std::string("the connection is gone")
                                                     : result.alerts.back().text));
    }
    if (!result.reject.empty()) Raise("InputError", result.reject);
    // Kept for the process's life: a static object would be freed after the interpreter ends.
    static py::handle loads = py::object(py::module_::import("json").attr("loads")).release();
    return loads(Text(txhost::AnswerJson(plan, record.fields[plan.id_column], result)));
  }

  // The labels of the checks, in order.
  std::vector<std::string> Labels() {
    auto lock = HoldWithoutGil(mutex_);
    std::vector<std::string> problems, labels;
    for (const txhost::Check& check : rules_->Bind({}, &problems)) labels.push_back(check.label);
    return labels;
  }

  // Whether the set scores its rows, and whether it decides an outcome: which of the columns
  // _score and _outcome its results have.
  std::pair<bool, bool> Decides() {
    auto lock = HoldWithoutGil(mutex_);
    std::vector<std::string> problems;
    txhost::Decisions decisions;
    rules_->Bind({}, &problems, &decisions);
    return {decisions.scored, !decisions.outcomes.empty()};
  }

  // The columns of `header` that the checks read, so that only those need converting.
  // What binding the set to `header` finds wrong, as txhost gives it: a column it lacks, a bare
  // word that is also a column's name.
  std::vector<std::string> BindProblems(const std::vector<std::string>& header) {
    auto lock = HoldWithoutGil(mutex_);
    std::vector<std::string> problems;
    rules_->Bind(header, &problems);
    return problems;
  }

  std::vector<std::string> ColumnsRead(const std::vector<std::string>& header) {
    auto lock = HoldWithoutGil(mutex_);
    std::vector<std::string> problems, names;
    for (const txhost::Check& check : rules_->Bind(header, &problems)) {
      for (const txhost::CheckArg& arg : check.args) {
        if (arg.from_column) names.push_back(arg.source);
      }
    }
    return names;
  }

 private:
  // The rows of a file, or of a DataFrame's columns converted to texts.
  static std::unique_ptr<txhost::ScreenInput> OpenInput(py::object csv_path,
                                                        std::vector<std::string> header,
                                                        py::list columns, size_t rows,
                                                        const ScreenRequest& request) {
    std::string error;
    std::unique_ptr<txhost::ScreenInput> input =
        csv_path.is_none()
            ? txhost::OpenRowInput(
                  "DataFrame", header,
                  std::make_unique<txhost::ColumnSource>(Texts(header, columns), rows),
                  request.id_column, request.label_column, &error)
            : txhost::OpenScreenInput(csv_path.cast<std::string>(), request.id_column,
                                      request.label_column, &error);
    if (!input) Raise("InputError", error);
    // A run's rejects are always kept here, as a table whose columns each have one name.
    if (std::string clash = txhost::RejectColumnsClash(*input); !clash.empty()) {
      Raise("InputError", clash);
    }
    return input;
  }

  // The rule set bound to the input's columns, beside the live one's when there is a baseline.
  txhost::ScreenPlan Plan(const txhost::ScreenInput& input, const ScreenRequest& request,
                          NativeRuleSet* baseline, std::optional<txhost::RuleSetPair>* pair) {
    txhost::ScreenPlan plan;
    std::vector<std::string> problems;
    plan.checks = rules_->Bind(input.header, &problems, &plan.decisions);
    const std::string& id = input.header[input.id_column];
    txhost::RefuseLabelsLikeTheId(plan.checks, id, rules_->path(), &problems);
    txhost::RefuseAnIdLikeTheDecisionColumns(plan.decisions, id, rules_->path(), &problems);
    if (baseline != nullptr) {
      txhost::Decisions live_decisions;
      std::vector<txhost::Check> live =
          baseline->rules_->Bind(input.header, &problems, &live_decisions);
      txhost::RefuseLabelsLikeTheId(live, id, baseline->rules_->path(), &problems);
      pair->emplace(
          txhost::PairRuleSets(std::move(plan.checks), live, plan.decisions, live_decisions));
      plan.checks = (*pair)->checks;
      plan.live_decisions = (*pair)->live_decisions;
    }
    if (!problems.empty()) Raise("RuleSetError", Lines(problems));
    plan.settings.max_rejects = request.max_rejects;
    plan.settings.explain = request.explain;
    return plan;
  }

  // Raises what ended a run that did not complete.
  static void RaiseUnlessCompleted(const txhost::RunOutcome& outcome, const ScreenRequest& request,
                                   const txhost::ScreenInput& input,
                                   const txhost::ScreenSummary& summary,
                                   InterruptibleRun* observer) {
    switch (outcome.end) {
      case txhost::RunEnd::kStopped:
        observer->Rethrow();
      case txhost::RunEnd::kTooManyRejects:
        Raise("TooManyRejects", "more than " + std::to_string(request.max_rejects) +
                                    " rows rejected (max_rejects); stopped at " + input.name + ":" +
                                    std::to_string(outcome.last_line));
      case txhost::RunEnd::kInputFailed:
        Raise("ReadError", input.name + ": reading stopped on an error after " +
                               std::to_string(summary.read) + " rows");
      case txhost::RunEnd::kCompleted:
        break;
    }
  }

  static std::string Lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
    return text;
  }

  static std::vector<std::vector<std::string>> Texts(const std::vector<std::string>& header,
                                                     const py::list& columns) {
    std::vector<std::vector<std::string>> texts(header.size());
    for (size_t c = 0; c < header.size(); ++c) {
      py::object column = columns[c];
      if (column.is_none()) continue;  // read by no check, id or label
      texts[c] = ColumnTexts(header[c], column.cast<py::array>());
    }
    return texts;
  }

  // The sessions for `workers`, kept from the last run when its login and size are the same.
  // `ping` asks the kept sessions whether they still answer, unless they answered a moment ago or
  // a run found one lost; a decision does without it, since a lost session shows in its result
  // and is dropped then.
  txhost::SessionPool& Sessions(const ScreenRequest& request, unsigned workers,
                                bool ping = true) {
    txhost::ConnectString login;
    std::string error;
    // The sample session by default, as txhost; with its password given apart, without it.
    const std::string connect =
        request.connect.value_or(request.password ? "screener@sample" : "screener/screener@sample");
    if (!txhost::ParseConnectString(connect, &login, &error)) Raise("LoginError", error);
    if (login.has_password && request.password) {
      Raise("LoginError", "the password is given twice: in connect and as password");
    }
    if (!login.has_password) {
      const char* variable = std::getenv(kPasswordVariable);
      if (request.password) {
        login.password = *request.password;
      } else if (variable != nullptr) {
        login.password = variable;
      } else {
        Raise("LoginError", "no password for " + login.user + "@" + login.service +
                                "; give password=, password_file= or " + kPasswordVariable);
      }
    }
    // Kept sessions serve only the login they were opened with, password included, and only
    // while every one of them still answers the server.
    const std::string key = login.user + "@" + login.service + "#" + std::to_string(workers) +
                            "#" + std::to_string(PasswordDigest(login.password));
    if (pool_ && key == pool_key_) {
      py::gil_scoped_release released;
      if (!ping || pool_->Alive()) {
        std::fill(login.password.begin(), login.password.end(), '\0');
        return *pool_;
      }
    }
    pool_.reset();
    std::unique_ptr<txhost::SessionPool> pool;
    {
      py::gil_scoped_release released;
      pool = txhost::SessionPool::Open(login, workers, &error);
    }
    std::fill(login.password.begin(), login.password.end(), '\0');
    if (!pool) Raise("LoginError", error);
    pool_ = std::move(pool);
    pool_key_ = key;
    ++pools_opened_;
    return *pool_;
  }

  // Each row's score, as the float that reading its written text gives, and its outcome's
  // index into the outcomes' names; absent when the set does not score.
  static void AddDecisions(const txhost::Decisions& decisions, const txhost::MemorySink& sink,
                           py::dict* out) {
    if (!decisions.scored) return;
    double divisor = 1;
    for (int s = 0; s < decisions.scale; ++s) divisor *= 10;
    py::array_t<double> scores(sink.scores().size());
    double* score = scores.mutable_data();
    // A division of two exact doubles rounds once, as reading the decimal text does.
    for (int64_t units : sink.scores()) *score++ = static_cast<double>(units) / divisor;
    (*out)["scores"] = scores;
    if (decisions.outcomes.empty()) return;
    py::list names;
    for (const txhost::Outcome& outcome : decisions.outcomes) names.append(outcome.name);
    (*out)["outcome_names"] = names;
    (*out)["outcome_codes"] = py::array_t<int32_t>(
        sink.outcomes().size(), reinterpret_cast<const int32_t*>(sink.outcomes().data()));
  }

  static py::dict Results(const txhost::ScreenPlan& plan, size_t reported,
                          const txhost::ScreenSummary& summary, const txhost::MemorySink& sink,
                          bool with_texts) {
    py::dict out;
    out["summary"] = Text(txhost::SummaryJson(summary));
    out["lines"] = py::array_t<int64_t>(sink.lines().size(),
                                        reinterpret_cast<const int64_t*>(sink.lines().data()));
    py::list labels, fired;
    for (size_t c = 0; c < reported; ++c) {
      labels.append(plan.checks[c].label);
      fired.append(py::array_t<uint8_t>(sink.fired()[c].size(), sink.fired()[c].data()));
    }
    out["labels"] = labels;
    out["fired"] = fired;
    AddDecisions(plan.decisions, sink, &out);
    py::list ids;
    if (with_texts) {
      for (const std::string& id : sink.ids()) ids.append(Text(id));
    }
    out["ids"] = with_texts ? py::object(ids) : py::object(py::none());
    py::list reject_lines, reasons, fields;
    for (const txhost::MemoryReject& reject : sink.rejects()) {
      reject_lines.append(reject.line);
      reasons.append(Text(reject.reason));
      py::list row;
      for (const std::string& field : reject.fields) row.append(Text(field));
      fields.append(row);
    }
    out["reject_lines"] = reject_lines;
    out["reject_reasons"] = reasons;
    out["reject_fields"] = fields;
    py::list alerts;
    for (const txhost::MemoryAlert& alert : sink.alerts()) {
      const txhost::Check& check = plan.checks[alert.check];
      alerts.append(py::make_tuple(Text(alert.id), alert.line, check.label, check.rule->name,
                                   Text(alert.text), Text(alert.value)));
    }
    out["alerts"] = alerts;
    out["explain"] = Text(sink.explanations());
    py::list changes;
    for (const txhost::ChangedRow& change : sink.changes()) {
      changes.append(py::make_tuple(Text(change.id), change.line, change.flagged_by,
                                    change.draft_checks, change.live_checks, change.live_outcome,
                                    change.draft_outcome));
    }
    out["changes"] = changes;
    return out;
  }

  std::mutex mutex_;  // one run at a time owns the sessions
  std::unique_ptr<txhost::RuleSet> rules_;
  std::unique_ptr<txhost::SessionPool> pool_;
  std::string pool_key_;
  // What decide keeps from one transaction to the next.
  std::unique_ptr<txhost::DecisionPlan> decision_;
  std::string decision_id_;
  std::unique_ptr<txhost::TransactionDecider> decider_;
  uint64_t pools_opened_ = 0, decided_on_ = 0;  // which pool the decider has screened on
  std::vector<std::string> decide_fields_;
  txhost::CsvRecord decide_record_;
  txhost::RowResult decide_result_;
};

// Writes `page` to `path` all or nothing, as txhost writes its outputs.
void WriteFile(const std::string& path, const std::string& bytes) {
  std::string error;
  std::vector<txhost::NamedPath> none;
  if (!txhost::CheckOutputPaths(none, {{"report", path}}, &error)) Raise("OutputError", error);
  auto file = txhost::OutputFile::Create(path, &error);
  if (!file) Raise("OutputError", error);
  file->Write(bytes);
  if (!file->Finish(&error) || !txhost::PublishAll({file.get()}, &error)) {
    Raise("OutputError", error);
  }
}

}  // namespace

PYBIND11_MODULE(_engine, module) {
  module.doc() = "The txscreen engine; use the txscreen package, not this module.";
  py::class_<ScreenRequest>(module, "ScreenRequest")
      .def(py::init<>())
      .def_readwrite("connect", &ScreenRequest::connect)
      .def_readwrite("password", &ScreenRequest::password)
      .def_readwrite("threads", &ScreenRequest::threads)
      .def_readwrite("id_column", &ScreenRequest::id_column)
      .def_readwrite("label_column", &ScreenRequest::label_column)
      .def_readwrite("explain", &ScreenRequest::explain)
      .def_readwrite("max_rejects", &ScreenRequest::max_rejects)
      .def_readwrite("every_list_value", &ScreenRequest::every_list_value)
      .def_readwrite("interrupts_seen", &ScreenRequest::interrupts_seen);
  py::class_<NativeRuleSet>(module, "NativeRuleSet")
      .def(py::init<const std::string&, std::optional<std::string>, const std::string&,
                    const std::map<std::string, std::vector<std::string>>&>(),
           py::arg("path"), py::arg("text"), py::arg("libdir"), py::arg("lists"))
      .def_property_readonly("path", &NativeRuleSet::path)
      .def_property_readonly("text", &NativeRuleSet::text)
      .def("lists", &NativeRuleSet::Lists)
      .def("fingerprint", &NativeRuleSet::Fingerprint)
      .def("close", &NativeRuleSet::Close)
      .def("columns_read", &NativeRuleSet::ColumnsRead)
      .def("bind_problems", &NativeRuleSet::BindProblems)
      .def("labels", &NativeRuleSet::Labels)
      .def("decides", &NativeRuleSet::Decides)
      .def("decide", &NativeRuleSet::Decide, py::arg("mapping"), py::arg("request"))
      .def("screen", &NativeRuleSet::Screen, py::arg("csv_path"), py::arg("header"),
           py::arg("columns"), py::arg("rows"), py::arg("request"),
           py::arg("baseline").none(true) = nullptr);
  module.def("report_html", [](const std::string& summary_json) {
    return py::bytes(txhost::ReportHtmlFromJson(summary_json));
  });
  module.def("write_file", &WriteFile);
  module.def(
      "note_interrupt", [] { ++g_interrupts; },
      "Stops every run begun before now, on whatever thread, at its next check.");
  module.def("interrupts", [] { return g_interrupts.load(); },
             "How many times Ctrl-C has been noted: a run begun at this count stops at the next.");
  // txhost's ranges, so that the package checks its options against the same figures.
  module.attr("MAX_WORKERS") = txhost::kMaxWorkers;
  module.attr("MAX_REJECTS") = std::numeric_limits<size_t>::max();
  module.def("sessions_begun", &txhost::SessionsBegun,
             "How many database sessions this process has begun so far.");
}
