// The stand-in's database side: date text, statements, binds and the scoring procedure, and the
// protocol checks that catch a caller misusing them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control.h"
#include "database.h"
#include "ocisim.h"
#include "stand_in.h"

namespace {

const OraText* Text(const char* text) { return reinterpret_cast<const OraText*>(text); }

std::string LastError(OCIError* err) { return testing_support::ErrorText(err); }

bool HasViolation(const std::string& part) {
  for (const std::string& violation : ocisim::Violations()) {
    if (violation.find(part) != std::string::npos) return true;
  }
  return false;
}

class StandInDateTest : public testing_support::StandInTest {
 protected:
  sword Convert(OCIDate date, const char* format, ub1 format_length, ub4 size, std::string* text) {
    OraText buf[128];
    std::memset(buf, '#', sizeof buf);
    ub4 in_out = size;
    sword status =
        OCIDateToText(err_, &date, Text(format), format_length, nullptr, 0, &in_out, buf);
    *text = status == OCI_SUCCESS ? std::string(reinterpret_cast<char*>(buf)) : LastError(err_);
    if (status == OCI_SUCCESS) {
      EXPECT_EQ(in_out, text->size());
    } else {
      EXPECT_EQ(buf[0], '#') << "a failed conversion writes nothing";
    }
    return status;
  }
};

TEST_F(StandInDateTest, WritesTheDateInTheFormatModel) {
  const OCIDate monday{2026, 12, 7, {9, 5, 30}};
  struct Case {
    const char* format;
    ub1 length;
    const char* text;
  } cases[] = {
      {"DY", 3, "MON"},  // the length counts the terminator
      {"DY", 2, "MON"},  // or not
      {"Dy", 3, "Mon"},
      {"dy", 3, "mon"},
      {"DAY", 4, "MONDAY   "},
      {"YYYY-MM-DD HH24:MI:SS", 22, "2026-12-07 09:05:30"},
      {"DD Month", 9, "07 December "},
      {"D", 2, "2"},  // Sunday is day 1
      {"\"week of\" DD/MM", 16, "week of 07/12"},
      {"", 0, "07-DEC-26"},  // the default format
  };
  for (const Case& c : cases) {
    std::string text;
    EXPECT_EQ(Convert(monday, c.format, c.length, 99, &text), OCI_SUCCESS) << c.format;
    EXPECT_EQ(text, c.text) << c.format;
  }
}

TEST_F(StandInDateTest, FailsWithTheClientLibrarysText) {
  const OCIDate monday{2026, 12, 7, {0, 0, 0}};
  struct Case {
    OCIDate date;
    const char* format;
    ub4 size;
    const char* error;
  } cases[] = {
      {monday, "DY", 3, "ORA-01877: string is too long for internal buffer"},  // no room for 0
      {monday, "Q", 99, "ORA-01821: date format not recognized"},
      {{2026, 13, 1, {0, 0, 0}}, "DY", 99, "ORA-01843: not a valid month"},
      {{0, 1, 1, {0, 0, 0}},
       "DY",
       99,
       "ORA-01841: (full) year must be between -4713 and +9999, and not be 0"},
      {{2026, 1, 1, {24, 0, 0}}, "DY", 99, "ORA-01850: hour must be between 0 and 23"},
      {{2024, 2, 30, {0, 0, 0}},
       "DY",
       99,
       "ORA-01847: day of month must be between 1 and last day of month"},
      {{1900, 2, 29, {0, 0, 0}},
       "DY",
       99,
       "ORA-01847: day of month must be between 1 and last day of month"},
  };
  for (const Case& c : cases) {
    std::string text;
    EXPECT_EQ(Convert(c.date, c.format, 3, c.size, &text), OCI_ERROR) << c.error;
    EXPECT_EQ(text, c.error);
  }
  std::string fits;
  EXPECT_EQ(Convert(monday, "DY", 3, 4, &fits), OCI_SUCCESS) << "four bytes hold MON and its 0";
  ub4 size = 99;
  OraText buf[100];
  EXPECT_EQ(OCIDateToText(nullptr, &monday, Text("DY"), 3, nullptr, 0, &size, buf),
            OCI_INVALID_HANDLE);
}

// A host session on a fresh database, and a statement to work with.
class StandInStatementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::ScopedStandIn::DefineDatabase("db");
    ocisim_add_history("db", "A", 10);
    ocisim_add_history("db", "A", 30);
    std::string error;
    session_ = testing_support::StandInSession::Open("db", "u", "p", &error);
    ASSERT_TRUE(session_) << error;
    h_ = session_->handles();
    ASSERT_EQ(OCIHandleAlloc(h_.env, reinterpret_cast<void**>(&stmt_), OCI_HTYPE_STMT, 0, nullptr),
              OCI_SUCCESS);
    stand_in_.StartLog();
  }
  sword Prepare(const char* text) {
    return OCIStmtPrepare(stmt_, h_.err, Text(text), static_cast<ub4>(std::strlen(text)),
                          OCI_NTV_SYNTAX, OCI_DEFAULT);
  }
  sword Bind(const char* name, void* value, sb4 size, ub2 type) {
    OCIBind* bind = nullptr;
    return OCIBindByName(stmt_, &bind, h_.err, Text(name), -1, value, size, type, nullptr, nullptr,
                         nullptr, 0, nullptr, OCI_DEFAULT);
  }
  sword Execute() {
    return OCIStmtExecute(h_.svc, stmt_, h_.err, 1, 0, nullptr, nullptr, OCI_DEFAULT);
  }

  testing_support::ScopedStandIn stand_in_;
  std::unique_ptr<testing_support::StandInSession> session_;
  OciHandles h_{};
  OCIStmt* stmt_ = nullptr;
};

constexpr char kBlock[] = "begin scoring.isOverAverage(:aid, :amt, :risk); end;";

TEST_F(StandInStatementTest, RunsTheProcedureOnWhatTheBindsPointAt) {
  ASSERT_EQ(Prepare(kBlock), OCI_SUCCESS);
  char account[] = "A";
  double amount = 25;  // the average of 10 and 30 is 20
  int64_t risk = -7;
  ASSERT_EQ(Bind(":AID", account, 2, SQLT_STR), OCI_SUCCESS) << "names match in any case";
  ASSERT_EQ(Bind(":amt", &amount, 8, SQLT_FLT), OCI_SUCCESS);
  ASSERT_EQ(Bind(":risk", &risk, 8, SQLT_INT), OCI_SUCCESS);
  ASSERT_EQ(Execute(), OCI_SUCCESS) << LastError(h_.err);
  EXPECT_EQ(risk, 1);
  amount = 20;  // the binds are read at execution, not at bind time
  ASSERT_EQ(Execute(), OCI_SUCCESS);
  EXPECT_EQ(risk, 0);
  EXPECT_EQ(ocisim_live_handles(OCI_HTYPE_BIND), 3u);
  EXPECT_EQ(ocisim_open_cursors(), 1u);
  ASSERT_EQ(OCIHandleFree(stmt_, OCI_HTYPE_STMT), OCI_SUCCESS);
  EXPECT_EQ(ocisim_live_handles(OCI_HTYPE_BIND), 0u) << "binds go with their statement";
  EXPECT_EQ(ocisim_open_cursors(), 0u) << "and so does the cursor";
  EXPECT_TRUE(ocisim::Violations().empty());
}

TEST_F(StandInStatementTest, ReportsBadStatementsAsTheServerDoes) {
  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"select 1 from dual", "ORA-00900: invalid SQL statement"},
      {"begin scoring.isOverAverage(:aid, :amt, :risk) end;", "PLS-00103"},
      {"begin scoring.isUnderAverage(:aid, :amt, :risk); end;",
       "PLS-00201: identifier 'SCORING.ISUNDERAVERAGE' must be declared"},
      {"begin scoring.isOverAverage(:aid, :amt); end;", "PLS-00306"},
      // Found by fuzzing: a colon alone was read as a placeholder no bind could reach, and
      // executing the block dereferenced the missing bind.
      {"begin scoring.isOverAverage(:aid, :, :risk); end;", "PLS-00103"},
  };
  char account[] = "A";
  float amount = 1;
  int risk = 0;
  for (const Case& c : cases) {
    ASSERT_EQ(Prepare(c.text), OCI_SUCCESS) << "preparing parses nothing";
    Bind(":aid", account, 2, SQLT_STR);
    Bind(":amt", &amount, 4, SQLT_FLT);
    Bind(":risk", &risk, 4, SQLT_INT);
    EXPECT_EQ(Execute(), OCI_ERROR) << c.text;
    EXPECT_NE(LastError(h_.err).find(c.error), std::string::npos) << LastError(h_.err);
  }
  ocisim_set_procedure("db", OCISIM_BODY_MISSING, 0, nullptr);
  Prepare(kBlock);
  Bind(":aid", account, 2, SQLT_STR);
  Bind(":amt", &amount, 4, SQLT_FLT);
  Bind(":risk", &risk, 4, SQLT_INT);
  EXPECT_EQ(Execute(), OCI_ERROR);
  EXPECT_NE(LastError(h_.err).find("'SCORING.ISOVERAVERAGE' must be declared"), std::string::npos);
}

TEST_F(StandInStatementTest, RecordsProtocolViolations) {
  char account[] = "A";
  char unterminated[3] = {'A', 'B', 'C'};
  float amount = 1;
  int risk = 0;
  struct Case {
    const char* what;
    std::function<sword()> act;
    sword status;
    const char* violation;
  } cases[] = {
      {"bind before prepare", [&] { return Bind(":aid", account, 2, SQLT_STR); }, OCI_ERROR,
       "bind on a statement that was never prepared"},
      {"execute before prepare", [&] { return Execute(); }, OCI_ERROR,
       "execute of a statement that was never prepared"},
      {"float of two bytes",
       [&] { return Prepare(kBlock) == OCI_SUCCESS ? Bind(":amt", &amount, 2, SQLT_FLT) : -9; },
       OCI_ERROR, "SQLT_FLT value size 2 is not 4 or 8"},
      {"integer of three bytes", [&] { return Bind(":risk", &risk, 3, SQLT_INT); }, OCI_ERROR,
       "SQLT_INT value size 3 is not 1, 2, 4 or 8"},
      {"string without room", [&] { return Bind(":aid", account, 0, SQLT_STR); }, OCI_ERROR,
       "leaves no room for the terminator"},
      {"unbound placeholder",
       [&] {
         Bind(":aid", account, 2, SQLT_STR);
         Bind(":amt", &amount, 4, SQLT_FLT);
         return Execute();
       },
       OCI_ERROR, "execute with :RISK unbound"},
      {"string without terminator",
       [&] {
         Bind(":aid", unterminated, 3, SQLT_STR);
         Bind(":risk", &risk, 4, SQLT_INT);
         return Execute();
       },
       OCI_ERROR, ":AID holds no terminator within its 3 bytes"},
      {"freed statement",
       [&] {
         OCIHandleFree(stmt_, OCI_HTYPE_STMT);
         return Execute();
       },
       OCI_INVALID_HANDLE, "stmtp is a freed handle"},
      {"null statement",
       [&] {
         OCIBind* bind = nullptr;
         return OCIBindByName(nullptr, &bind, h_.err, Text(":aid"), -1, account, 2, SQLT_STR,
                              nullptr, nullptr, nullptr, 0, nullptr, OCI_DEFAULT);
       },
       OCI_INVALID_HANDLE, "stmtp is a null handle"},
  };
  for (const Case& c : cases) {
    stand_in_.StartLog();
    EXPECT_EQ(c.act(), c.status) << c.what;
    EXPECT_TRUE(HasViolation(c.violation))
        << c.what << ": " << ::testing::PrintToString(ocisim::Violations());
  }
}

TEST_F(StandInStatementTest, ServiceContextWithoutASessionCannotExecute) {
  OCISvcCtx* bare = nullptr;
  ASSERT_EQ(OCIHandleAlloc(h_.env, reinterpret_cast<void**>(&bare), OCI_HTYPE_SVCCTX, 0, nullptr),
            OCI_SUCCESS);
  Prepare("begin scoring.isOverAverage; end;");
  EXPECT_EQ(OCIStmtExecute(bare, stmt_, h_.err, 1, 0, nullptr, nullptr, OCI_DEFAULT), OCI_ERROR);
  EXPECT_EQ(LastError(h_.err), "ORA-03114: not connected to ORACLE");
  EXPECT_TRUE(HasViolation("the service context has no session"));
}

TEST_F(StandInStatementTest, RefusesCursorsBeyondTheLimit) {
  ocisim_set_open_cursor_limit("db", 2);
  std::vector<OCIStmt*> statements;
  char account[] = "A";
  float amount = 1;
  int risk = 0;
  std::vector<sword> statuses;
  for (int i = 0; i < 3; ++i) {
    OCIStmt* stmt = nullptr;
    OCIHandleAlloc(h_.env, reinterpret_cast<void**>(&stmt), OCI_HTYPE_STMT, 0, nullptr);
    std::swap(stmt, stmt_);
    Prepare(kBlock);
    Bind(":aid", account, 2, SQLT_STR);
    Bind(":amt", &amount, 4, SQLT_FLT);
    Bind(":risk", &risk, 4, SQLT_INT);
    statuses.push_back(Execute());
    std::swap(stmt, stmt_);
  }
  EXPECT_EQ(statuses, (std::vector<sword>{OCI_SUCCESS, OCI_SUCCESS, OCI_ERROR}));
  EXPECT_EQ(LastError(h_.err), "ORA-01000: maximum open cursors exceeded");
}

// Executes the scoring block once on `h`, with a statement of its own, as TESTCONN does.
sword ExecuteScoringBlock(const OciHandles& h) {
  OCIStmt* stmt = nullptr;
  OCIHandleAlloc(h.env, reinterpret_cast<void**>(&stmt), OCI_HTYPE_STMT, 0, nullptr);
  OCIStmtPrepare(stmt, h.err, Text(kBlock), sizeof kBlock - 1, OCI_NTV_SYNTAX, OCI_DEFAULT);
  char account[] = "A";
  float amount = 1;
  int risk = 0;
  OCIBind* binds[3] = {};
  const struct {
    const char* name;
    void* value;
    sb4 size;
    ub2 type;
  } bound[] = {{":aid", account, 2, SQLT_STR},
               {":amt", &amount, 4, SQLT_FLT},
               {":risk", &risk, 4, SQLT_INT}};
  for (int i = 0; i < 3; ++i) {
    OCIBindByName(stmt, &binds[i], h.err, Text(bound[i].name), -1, bound[i].value, bound[i].size,
                  bound[i].type, nullptr, nullptr, nullptr, 0, nullptr, OCI_DEFAULT);
  }
  sword status = OCIStmtExecute(h.svc, stmt, h.err, 1, 0, nullptr, nullptr, OCI_DEFAULT);
  OCIHandleFree(stmt, OCI_HTYPE_STMT);
  return status;
}

// Wall time of running `call` on two threads at once.
template <class Call>
double SecondsOnTwoThreads(Call call) {
  auto started = std::chrono::steady_clock::now();
  std::thread first(call, 0), second(call, 1);
  first.join();
  second.join();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

TEST(StandInServerTest, ServesOneCallAtATimePerSessionAndSessionsSideBySide) {
  testing_support::ScopedStandIn stand_in;
  testing_support::ScopedStandIn::DefineDatabase("db");
  std::string error;
  auto first = testing_support::StandInSession::Open("db", "u", "p", &error);
  auto second = testing_support::StandInSession::Open("db", "u", "p", &error);
  ASSERT_TRUE(first && second) << error;
  OciHandles own[2] = {first->handles(), second->handles()};
  OciHandles shared[2] = {first->handles(), first->handles()};
  ASSERT_EQ(OCIHandleAlloc(shared[1].env, reinterpret_cast<void**>(&shared[1].err), OCI_HTYPE_ERROR,
                           0, nullptr),
            OCI_SUCCESS);
  constexpr double kRoundTrip = 0.2;
  ocisim_set_server_model("db", static_cast<unsigned>(kRoundTrip * 1e6), 0);
  sword statuses[2] = {};
  // Bounds wide enough for a loaded machine: a sleep never ends early, and two overlapping round
  // trips take far less than two.
  double apart = SecondsOnTwoThreads([&](int t) { statuses[t] = ExecuteScoringBlock(own[t]); });
  EXPECT_EQ(statuses[0], OCI_SUCCESS);
  EXPECT_EQ(statuses[1], OCI_SUCCESS);
  EXPECT_LT(apart, 1.6 * kRoundTrip) << "two sessions serve side by side";
  double together =
      SecondsOnTwoThreads([&](int t) { statuses[t] = ExecuteScoringBlock(shared[t]); });
  EXPECT_EQ(statuses[0], OCI_SUCCESS);
  EXPECT_EQ(statuses[1], OCI_SUCCESS);
  EXPECT_GE(together, 2 * kRoundTrip) << "one session serves one call at a time";
  ocisim_set_server_model("db", 0, 0);
}

TEST(StandInServerTest, RefusesALoginPastTheSessionLimitUntilOneEnds) {
  testing_support::ScopedStandIn stand_in;
  testing_support::ScopedStandIn::DefineDatabase("db");
  ocisim_set_server_model("db", 0, 2);
  std::string error;
  auto first = testing_support::StandInSession::Open("db", "u", "p", &error);
  auto second = testing_support::StandInSession::Open("db", "u", "p", &error);
  ASSERT_TRUE(first && second) << error;
  EXPECT_FALSE(testing_support::StandInSession::Open("db", "u", "p", &error));
  EXPECT_EQ(error, "ORA-00018: maximum number of sessions exceeded");
  first.reset();
  EXPECT_TRUE(testing_support::StandInSession::Open("db", "u", "p", &error)) << error;
}

TEST(StandInDatabaseFilesTest, LoadsTheFilesAndNamesTheBadLineOfEach) {
  testing_support::ScopedStandIn stand_in;
  const std::string directory = ::testing::TempDir() + "txscreen_database_files";
  std::filesystem::remove_all(directory);
  std::filesystem::create_directories(directory);
  auto write = [&](const char* name, const std::string& text) {
    std::ofstream(directory + "/" + name, std::ios::binary) << text;
  };
  write("users.csv", "user,password\n# comment\nAnalyst,pw\n");
  write("history.csv", "account,amount\r\nX,10\r\nX,20\r\n");
  write("faults.conf", "# none but a comment\n\n");
  char error[256] = "";
  ASSERT_EQ(ocisim_load_database("files", directory.c_str(), error, sizeof error), 0) << error;
  std::string problem;
  auto session = testing_support::StandInSession::Open("files", "ANALYST", "pw", &problem);
  EXPECT_TRUE(session) << problem << " (user names match in any case)";
  session.reset();

  struct Case {
    const char* file;
    std::string text;
    std::string error;  // the end of the reason
  } cases[] = {
      {"history.csv", "account,amount\nX,ten\n", "history.csv:2: not a valid line"},
      {"faults.conf", "raise account X\n",
       "faults.conf:1: expected \"raise account ACCOUNT TEXT\""},
      {"faults.conf", "# fine\nraise every 0 ORA-1\n", "faults.conf:2: 0 is out of range"},
      {"faults.conf", "session lost after -3\n", "faults.conf:1: expected"},
      {"faults.conf", "procedure missing now\n", "faults.conf:1: expected"},
      {"faults.conf", "raise every 2 ORA-1\n\nraise every 3 ORA-2\n",
       "faults.conf:3: raise every is set twice (first on line 1)"},
      {"faults.conf", "raise every 99999999999999999999 ORA-1\n",
       "faults.conf:1: 99999999999999999999 is out of range"},
      {"server.conf", "round trip 99999999999999999999ms\n",
       "server.conf:1: round trip 99999999999999999999ms is out of range (at most 60s)"},
      {"server.conf", "round trip 60001ms\n", "server.conf:1: round trip 60001ms is out of range"},
      {"server.conf", "sessions 18446744073709551616\n", "server.conf:1: 18446744073709551616 is out"},
      {"server.conf", "sessions 3\nsessions 4\n", "server.conf:2: sessions is set twice"},
      {"server.conf", "open cursors 0\n", "server.conf:1: 0 is out of range"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    write("history.csv", "account,amount\n");
    write("faults.conf", "");
    std::filesystem::remove(directory + "/server.conf");
    write(c.file, c.text);
    EXPECT_EQ(ocisim_load_database("files", directory.c_str(), error, sizeof error), -1);
    EXPECT_NE(std::string(error).find(c.error), std::string::npos) << error;
  }
  // A file that is there but cannot be read is a fault of the server, never an empty file.
  for (const char* name : {"users.csv", "history.csv", "faults.conf", "server.conf"}) {
    SCOPED_TRACE(name);
    const std::string path = directory + "/" + name;
    const std::string kept = directory + "/kept";
    std::filesystem::remove_all(kept);
    if (std::filesystem::exists(path)) std::filesystem::rename(path, kept);
    std::filesystem::create_directories(path);
    EXPECT_EQ(ocisim_load_database("files", directory.c_str(), error, sizeof error), -1);
    EXPECT_NE(std::string(error).find(std::string(name) + ": Is a directory"), std::string::npos)
        << error;
    std::filesystem::remove_all(path);
    if (std::filesystem::exists(kept)) std::filesystem::rename(kept, path);
  }
}

// Every setting of each file takes effect when read from the file itself.
TEST(StandInDatabaseFilesTest, EachSettingTakesEffectFromItsFile) {
  const std::string directory = ::testing::TempDir() + "txscreen_database_settings";
  using ocisim::Database;
  struct Case {
    const char* file;
    const char* text;
    std::function<bool(const Database&)> took_effect;
  } cases[] = {
      {"server.conf", "round trip 250us\n",
       [](const Database& d) { return d.round_trip == std::chrono::microseconds(250); }},
      {"server.conf", "round trip 3ms\n",
       [](const Database& d) { return d.round_trip == std::chrono::microseconds(3000); }},
      {"server.conf", "sessions 4\n", [](const Database& d) { return d.session_limit == 4; }},
      {"server.conf", "open cursors 7\n",
       [](const Database& d) { return d.open_cursor_limit == 7; }},
      {"faults.conf", "raise account A ORA-20001: under review\n",
       [](const Database& d) {
         auto it = d.faults.raise_for_account.find("A");
         return it != d.faults.raise_for_account.end() && it->second == "ORA-20001: under review";
       }},
      {"faults.conf", "raise every 5 ORA-20002: busy\n",
       [](const Database& d) {
         return d.faults.raise_every == 5 && d.faults.raise_every_text == "ORA-20002: busy";
       }},
      {"faults.conf", "procedure missing\n",
       [](const Database& d) { return d.body == ocisim::ProcedureBody::kMissing; }},
      {"faults.conf", "session lost after 9\n",
       [](const Database& d) { return d.faults.session_lost_after == 9; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
    std::ofstream(directory + "/users.csv") << "user,password\nu,p\n";
    std::ofstream(directory + "/history.csv") << "account,amount\n";
    std::ofstream(directory + "/" + c.file) << c.text;
    std::string error;
    auto database = ocisim::LoadDatabase(directory, &error);
    ASSERT_TRUE(database) << error;
    EXPECT_TRUE(c.took_effect(*database));
  }
}

}  // namespace
