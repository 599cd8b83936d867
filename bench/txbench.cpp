// Benchmarks of the rules as a host calls them (through the addresses the loader returns), of
// the database rules on the stand-in, and of the screening host, each beside its baseline.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "byte_csv_reader.h"
#include "csv.h"
#include "library_set.h"
#include "memory_usage.h"
#include "ocisim.h"
#include "ratio_reporter.h"
#include "sample_file.h"
#include "screen_command.h"
#include "session.h"
#include "txscreen.h"
#include "txscreen2.h"

namespace {

constexpr size_t kInputs = 1024;  // a power of two: inputs cycle without a division
constexpr size_t kScreenRows = 1000000;

txhost::LibrarySet& Libraries() {
  static auto* libraries = new txhost::LibrarySet(txhost::DynamicLibrary::ProgramDirectory());
  return *libraries;
}

template <class Function>
Function Resolve(const char* library, const char* name) {
  std::string error;
  const txhost::DynamicLibrary* loaded = Libraries().Load(library, &error);
  return loaded ? reinterpret_cast<Function>(loaded->Find(name)) : nullptr;
}

// Inputs that the compiler cannot see through, and that make each rule fire about half the time.
struct Inputs {
  Inputs() {
    uint32_t state = 7;
    auto next = [&] { return (state = state * 1664525u + 1013904223u) >> 8; };
    for (size_t i = 0; i < kInputs; ++i) {
      a.push_back(static_cast<float>(next() % 1000));
      b.push_back(static_cast<float>(next() % 1000));
      c.push_back(static_cast<float>(next() % 400));
      texts.push_back("ACC-" + std::to_string(1000 + next() % 2));
    }
  }
  std::vector<float> a, b, c;
  std::vector<std::string> texts;
};
const Inputs& In() {
  static const Inputs inputs;
  return inputs;
}

// Runs `call(i)` for each iteration, i cycling over the inputs.
template <class Call>
void Loop(benchmark::State& state, Call call) {
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(call(i & (kInputs - 1)));
    ++i;
  }
  state.SetItemsProcessed(state.iterations());
}

// Each rule through the address the loader gave, beside a function of the same name and
// signature that does nothing, from a library loaded the same way: the boundary itself.
template <class Function>
Function Rule(bool noop, const char* library, const char* name) {
  return Resolve<Function>(noop ? "bench_noop" : library, name);
}

void BM_SharpIncrease(benchmark::State& state) {
  auto rule = Rule<SharpIncreaseFn>(state.range(0), "txscreen", "SHARPINCREASE");
  const Inputs& in = In();
  Loop(state, [&](size_t i) { return rule(in.a[i], in.b[i], in.c[i]); });
}
void BM_OverCreditLimit(benchmark::State& state) {
  auto rule = Rule<OverCreditLimitFn>(state.range(0), "txscreen", "OVERCREDITLIMIT");
  const Inputs& in = In();
  Loop(state, [&](size_t i) { return rule(in.a[i], in.b[i]); });
}
void BM_BadAccount(benchmark::State& state) {
  auto rule = Rule<BadAccountFn>(state.range(0), "txscreen", "BADACCOUNT");
  const Inputs& in = In();
  Loop(state, [&](size_t i) { return rule(in.texts[i].c_str(), "ACC-1000"); });
}
void BM_SpecialUser(benchmark::State& state) {
  auto rule = Rule<SpecialUserFn>(state.range(0), "txscreen", "SPECIAL_USER");
  const Inputs& in = In();
  Loop(state, [&](size_t i) {
    return rule("ACC-1000", "T-1", in.texts[i].c_str(), in.texts[(i + 1) & (kInputs - 1)].c_str());
  });
}
void BM_SameZipCodeLoaded(benchmark::State& state) {
  auto rule = Resolve<SameZipCodeFn>("txscreen2", "SAMEZIPCODE");
  const Inputs& in = In();
  Loop(state, [&](size_t i) { return rule(in.texts[i].c_str(), "ACC-1000", "Store"); });
}

// The sample database behind a session opened as the host opens it.
txhost::HostSession& Session() {
  static std::unique_ptr<txhost::HostSession> session = [] {
    char error[256] = "";
    ocisim_load_database("sample", TXSCREEN_SOURCE_DIR "/examples/databases/sample", error,
                         sizeof error);
    ocisim_set_call_log(0);
    std::string reason;
    return txhost::HostSession::Open({"screener", "screener", "sample"}, false, &reason);
  }();
  return *session;
}

// Runs a database rule and reports what it leaves behind per call.
template <class Call>
void DatabaseLoop(benchmark::State& state, Call call) {
  OciHandles h = Session().handles();
  for (int i = 0; i < 1000; ++i) call(h, i & (kInputs - 1));  // warm the allocator
  size_t handles = ocisim_live_handles(0);
  size_t bytes = testing_support::ResidentBytes();
  Loop(state, [&](size_t i) { return call(h, i); });
  double calls = static_cast<double>(state.iterations());
  state.counters["handles_left_per_call"] =
      (static_cast<double>(ocisim_live_handles(0)) - static_cast<double>(handles)) / calls;
  state.counters["bytes_left_per_call"] =
      (static_cast<double>(testing_support::ResidentBytes()) - static_cast<double>(bytes)) / calls;
}

void BM_TestDate(benchmark::State& state) {
  auto rule = Resolve<TestDateFn>("txscreen", "TESTDATE");
  DatabaseLoop(state, [&](const OciHandles& h, size_t i) {
    OCIDate date{2026, 12, static_cast<ub1>(1 + i % 28), {0, 0, 0}};
    return rule(h.env, h.err, h.svc, "MON", date);
  });
}
void BM_TestConn(benchmark::State& state) {
  auto rule = Resolve<TestConnFn>("txscreen", "TESTCONN");
  const Inputs& in = In();
  DatabaseLoop(state, [&](const OciHandles& h, size_t i) {
    return rule(h.env, h.err, h.svc, in.a[i], "ACC-1001");
  });
}

// The sample's checks of the rules that need no database; with `decide`, each with a score and
// the set with outcomes, the highest threshold swept over 49 values.
std::string ArgumentOnlyRules(bool decide = false) {
  std::string path = txhost::DynamicLibrary::ProgramDirectory() +
                     (decide ? "/bench-decision-rules.conf" : "/bench-argument-rules.conf");
  const char* checks[] = {
      "sharp_increase    txscreen   SHARPINCREASE    amount previous_amount 400",
      "over_limit        txscreen   OVERCREDITLIMIT  amount credit_limit",
      "bad_account       txscreen   BADACCOUNT       account \"ACC-6661\"",
      "batch_user_moved  txscreen   SPECIAL_USER     \"svc-batch\" registered_terminal user terminal",
      "same_zip_offline  txscreen2  SAMEZIPCODE      billing_zip shipping_zip channel"};
  const char* scores[] = {" score 30", " score 45.5", " score 80", " score 25", " score -15"};
  std::string text;
  for (size_t c = 0; c < 5; ++c) text += std::string(checks[c]) + (decide ? scores[c] : "") + "\n";
  if (decide) {
    text += "outcome approve\noutcome review from 40\noutcome decline from 75 in [0..120 step 2.5]\n";
  }
  std::ofstream(path) << text;
  return path;
}

// A million rows in the sample's shape, written beside the program once.
const std::string& TransactionsFile() {
  static const std::string path = [] {
    std::string file = txhost::DynamicLibrary::ProgramDirectory() + "/bench-transactions.csv";
    WriteSampleFile(file, kScreenRows);
    return file;
  }();
  return path;
}

// Reading alone, on one thread: the block reader with its batches split as a worker splits
// them (0), against the byte-at-a-time reader (1).
void BM_ReadCsv(benchmark::State& state) {
  const std::string& path = TransactionsFile();
  int64_t records = 0;
  for (auto _ : state) {
    std::ifstream in(path, std::ios::binary);
    if (state.range(0) == 0) {
      txhost::CsvReader reader(in);
      txhost::CsvRecord header;
      reader.Next(&header);
      for (txhost::RowBatch batch; reader.Read(&batch); records += batch.size) {
        txhost::SplitBatch(&batch);
      }
    } else {
      txhost::ByteCsvReader reader([&in](char* buffer, size_t size) -> std::ptrdiff_t {
        in.read(buffer, static_cast<std::streamsize>(size));
        return static_cast<std::ptrdiff_t>(in.gcount());
      });
      for (txhost::OwnedRecord record; reader.Next(&record);) ++records;
    }
  }
  state.SetItemsProcessed(records);
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(std::ifstream(path, std::ios::ate).tellg()));
}
BENCHMARK(BM_ReadCsv)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// The whole host over a million rows: all eight rules, against reading and converting alone.
void Screen(benchmark::State& state, bool parse_only, const std::string& rules,
            unsigned workers = 1) {
  const std::string& path = TransactionsFile();
  Session();  // defines the sample database
  txhost::ScreenOptions options;
  options.library_directory = txhost::DynamicLibrary::ProgramDirectory();
  options.rules = rules;
  options.transactions = path;
  options.connect = "screener/screener@sample";
  options.out = "/dev/null";
  options.parse_only = parse_only;
  options.threads = workers;
  for (auto _ : state) {
    options.connect = "screener/screener@sample";  // a run wipes it
    if (txhost::RunScreen(options) != 0) state.SkipWithError("txhost screen failed");
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kScreenRows));
}
const char kSampleRules[] = TXSCREEN_SOURCE_DIR "/examples/rules.conf";
void BM_ScreenAllRules(benchmark::State& state) {
  Screen(state, false, kSampleRules, static_cast<unsigned>(state.range(0)));
}
void BM_ScreenArgumentOnlyRules(benchmark::State& state) {
  Screen(state, false, ArgumentOnlyRules());
}
// The same checks with scores and outcomes, a threshold swept over 49 values: the decision is
// worked out once per row, and the sweep calls no rule.
void BM_ScreenDecisions(benchmark::State& state) { Screen(state, false, ArgumentOnlyRules(true)); }
void BM_ScreenParseOnly(benchmark::State& state) { Screen(state, true, kSampleRules); }
// One check, its threshold swept over 100 values: a hundred calls per row.
void BM_ScreenSweep(benchmark::State& state) {
  std::string path = txhost::DynamicLibrary::ProgramDirectory() + "/bench-sweep.conf";
  FILE* out = std::fopen(path.c_str(), "w");
  std::fputs(
      "sharp_increase txscreen SHARPINCREASE amount previous_amount 400 "
      "in [100..1090 step 10]\n",
      out);
  std::fclose(out);
  Screen(state, false, path);
}
// One BADACCOUNT check over a million rows, its account a list of 100,000 values (five of them
// on rows), against the same check with one literal.
constexpr int kListValues = 100000;
void BM_ScreenList(benchmark::State& state) {
  const std::string dir = txhost::DynamicLibrary::ProgramDirectory();
  const bool listed = state.range(0) == 1;
  if (listed) {
    std::ofstream list(dir + "/bench-list.txt");
    for (int i = 0; i < kListValues - 5; ++i) list << "ACC-X" << i << "\n";
    for (int i = 1001; i <= 1005; ++i) list << "ACC-" << i << "\n";
  }
  const std::string path = dir + (listed ? "/bench-list.conf" : "/bench-literal.conf");
  std::ofstream(path) << "bad_account txscreen BADACCOUNT account "
                      << (listed ? "@bench-list.txt" : "\"ACC-1001\"") << "\n";
  Screen(state, false, path);
}
void BM_ScreenArgumentOnlyParseOnly(benchmark::State& state) {
  Screen(state, true, ArgumentOnlyRules());
}

// A server with a round trip of 200 us, and a rule set whose one check goes to it for each row:
// the work is waiting, so more workers, each on a session of its own, give more throughput.
constexpr int kRoundTripMicros = 200;
constexpr size_t kLatencyRows = 4000;

void BM_ScreenOverLatency(benchmark::State& state) {
  static const std::string path = [] {
    std::string file = txhost::DynamicLibrary::ProgramDirectory() + "/bench-latency.csv";
    WriteSampleFile(file, kLatencyRows);
    return file;
  }();
  static const std::string rules = [] {
    std::string file = txhost::DynamicLibrary::ProgramDirectory() + "/bench-latency.conf";
    FILE* out = std::fopen(file.c_str(), "w");
    std::fputs("over_average txscreen TESTCONN amount account\n", out);
    std::fclose(out);
    return file;
  }();
  char error[256] = "";
  ocisim_load_database("distant", TXSCREEN_SOURCE_DIR "/examples/databases/sample", error,
                       sizeof error);
  ocisim_set_server_model("distant", kRoundTripMicros, 0);
  ocisim_set_call_log(0);
  txhost::ScreenOptions options;
  options.library_directory = txhost::DynamicLibrary::ProgramDirectory();
  options.rules = rules;
  options.transactions = path;
  options.out = "/dev/null";
  options.threads = static_cast<unsigned>(state.range(0));
  for (auto _ : state) {
    options.connect = "screener/screener@distant";  // a run wipes it
    if (txhost::RunScreen(options) != 0) state.SkipWithError("txhost screen failed");
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kLatencyRows));
}

// The same number of bare round trips, one after another: what this machine's sleep gives for
// 200 us, which is longer than 200 us.
void BM_BareRoundTrips(benchmark::State& state) {
  for (auto _ : state) {
    for (size_t i = 0; i < kLatencyRows; ++i) {
      std::this_thread::sleep_for(std::chrono::microseconds(kRoundTripMicros));
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kLatencyRows));
}

// Argument 1: the library that does nothing; 0: the rule.
BENCHMARK(BM_SharpIncrease)->Arg(0)->Arg(1);
BENCHMARK(BM_OverCreditLimit)->Arg(0)->Arg(1);
BENCHMARK(BM_BadAccount)->Arg(0)->Arg(1);
BENCHMARK(BM_SpecialUser)->Arg(0)->Arg(1);
BENCHMARK(BM_SameZipCodeLoaded)->UseRealTime()->Threads(1)->Threads(2);
BENCHMARK(BM_TestDate);
BENCHMARK(BM_TestConn);
// Argument: the workers.
BENCHMARK(BM_ScreenAllRules)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();
BENCHMARK(BM_ScreenArgumentOnlyRules)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_ScreenDecisions)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_ScreenParseOnly)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_ScreenSweep)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_ScreenArgumentOnlyParseOnly)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_ScreenList)->Arg(0)->Arg(1)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_ScreenOverLatency)
    ->Arg(1)
    ->Arg(8)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();
BENCHMARK(BM_BareRoundTrips)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const char* kThreads1 = "/real_time/threads:1";
  const char* kThreads2 = "/real_time/threads:2";
  const std::string kOnce = "/iterations:1/real_time";
  RatioReporter reporter({
      {"SHARPINCREASE via loader / a no-op export", "BM_SharpIncrease/0", "BM_SharpIncrease/1",
       false, "at most 1.2x"},
      {"OVERCREDITLIMIT via loader / a no-op export", "BM_OverCreditLimit/0",
       "BM_OverCreditLimit/1", false, "at most 1.2x"},
      {"BADACCOUNT via loader / a no-op export", "BM_BadAccount/0", "BM_BadAccount/1", false,
       "at most 1.2x"},
      {"SPECIAL_USER via loader / a no-op export", "BM_SpecialUser/0", "BM_SpecialUser/1", false,
       "at most 1.2x"},
      {"SAMEZIPCODE throughput, 2 threads / 1", std::string("BM_SameZipCodeLoaded") + kThreads2,
       std::string("BM_SameZipCodeLoaded") + kThreads1, true, "at least 1.7x"},
      {"CSV reading and splitting on one thread, block reader / byte reader",
       "BM_ReadCsv/0/iterations:3/real_time", "BM_ReadCsv/1/iterations:3/real_time", true,
       "(the block reader's MB/s is in the table above)"},
      {"txhost screen, all eight rules, wall time 2 workers / 1", "BM_ScreenAllRules/2" + kOnce,
       "BM_ScreenAllRules/1" + kOnce, false, "at most 0.9x"},
      {"txhost screen, all eight rules / parse only", "BM_ScreenAllRules/1" + kOnce,
       "BM_ScreenParseOnly" + kOnce, false, "(the database rules' cost)"},
      {"txhost screen, the five argument-only checks / parse only",
       "BM_ScreenArgumentOnlyRules" + kOnce, "BM_ScreenArgumentOnlyParseOnly" + kOnce, false,
       "at most 1.3x"},
      {"txhost screen, the five checks scored, outcomes and a 49-value threshold sweep / the "
       "five argument-only checks",
       "BM_ScreenDecisions" + kOnce, "BM_ScreenArgumentOnlyRules" + kOnce, false, "at most 1.1x"},
      {"txhost screen, a 100-value sweep of SHARPINCREASE / the five argument-only checks",
       "BM_ScreenSweep" + kOnce, "BM_ScreenArgumentOnlyRules" + kOnce, false, "at most 2x"},
      {"txhost screen, BADACCOUNT with a list of 100,000 values / with one literal",
       "BM_ScreenList/1" + kOnce, "BM_ScreenList/0" + kOnce, false, "at most 1.3x"},
      {"200 us round trips: throughput, 1 worker / bare round trips",
       "BM_ScreenOverLatency/1" + kOnce, "BM_BareRoundTrips" + kOnce, true, "at least 0.85x"},
      {"200 us round trips: throughput, 8 workers / 1", "BM_ScreenOverLatency/8" + kOnce,
       "BM_ScreenOverLatency/1" + kOnce, true, "at least 6x"},
  });
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
