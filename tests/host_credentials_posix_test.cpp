// The host's password stays out of sight: not in the process list, not in a message, not echoed
// at the prompt; and every way of giving it logs in.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "child_process_posix.h"
#include "credentials.h"
#include "dynamic_library.h"
#include "exit_status.h"
#include "temp_files.h"

namespace {

using testing_support::Child;
using testing_support::ChildOptions;
using testing_support::FinishChild;
using testing_support::StartTxhost;

// With an '@' inside, so that a mask which stops at the first '@' still shows the part after it.
constexpr char kPassword[] = "s3cret@Pw9x";

// Whether `text` shows the password or either part of it around its '@'.
bool ShowsPassword(const std::string& text) {
  return text.find("s3cret") != std::string::npos || text.find("Pw9x") != std::string::npos;
}

class CredentialsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing_support::TempPath("credentials_test");
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_ + "/creds");
    std::ofstream(dir_ + "/creds/users.csv") << "user,password\nanalyst," << kPassword << "\n";
    std::ofstream(dir_ + "/creds/history.csv") << "account,amount\n";
    std::ofstream(dir_ + "/r.conf") << "mon txscreen TESTDATE \"MON\" date\n";
    std::ofstream(dir_ + "/password") << kPassword << "\n";
    databases_ = "OCISIM_DATABASES=" + dir_;
  }

  // Starts `txhost call` of a database rule on a terminal of its own, which `terminal` then
  // reads and writes; the child's pid.
  pid_t CallOnATerminal(int* terminal) {
    const std::string program = txhost::DynamicLibrary::ProgramDirectory() + "/txhost";
    pid_t pid = forkpty(terminal, nullptr, nullptr, nullptr);
    if (pid == 0) {
      putenv(const_cast<char*>(databases_.c_str()));
      execl(program.c_str(), "txhost", "call", "--connect", "analyst@creds", "txscreen",
            "TESTDATE", "MON", "2026-12-07", static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid;
  }

  static bool WaitForThePrompt(int terminal, std::string* seen) {
    char buffer[256];
    while (seen->find("Password for analyst@creds: ") == std::string::npos) {
      ssize_t got = read(terminal, buffer, sizeof buffer);
      if (got <= 0) return false;
      seen->append(buffer, static_cast<size_t>(got));
    }
    return true;
  }

  std::string dir_;
  std::string databases_;
};

TEST_F(CredentialsTest, NoWayOfGivingThePasswordShowsItInTheProcessList) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::vector<std::string> environment;
  } cases[] = {
      {"on the command line", {"--connect", std::string("analyst/") + kPassword + "@creds"}, {}},
      {"on the command line with =",
       {std::string("--connect=analyst/") + kPassword + "@creds"},
       {}},
      {"in a file", {"--connect", "analyst@creds", "--password-file", dir_ + "/password"}, {}},
      {"in the environment",
       {"--connect", "analyst@creds"},
       {std::string(txhost::kPasswordVariable) + "=" + kPassword}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = {"screen", "--rules", dir_ + "/r.conf", "--out",
                                     dir_ + "/out.csv"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back("-");
    ChildOptions options;
    options.environment = c.environment;
    options.environment.push_back(databases_);
    Child child = StartTxhost(args, options);
    ASSERT_GT(child.pid, 0);
    // A run reading its input is a long run: what ps shows now is what it shows all along.
    const std::string header = "id,date\n";
    ASSERT_EQ(write(child.input, header.data(), header.size()), ssize_t(header.size()));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (testing_support::LeftoverTemporaries(dir_).empty() &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_FALSE(testing_support::LeftoverTemporaries(dir_).empty()) << "the run is under way";
    std::string shown = testing_support::ProcFile(child.pid, "cmdline") +
                        testing_support::ProcFile(child.pid, "environ");
    EXPECT_FALSE(ShowsPassword(shown)) << shown;
    const std::string rows = "T1,2026-12-07\n";
    ASSERT_EQ(write(child.input, rows.data(), rows.size()), ssize_t(rows.size()));
    std::string output;
    EXPECT_EQ(FinishChild(&child, &output), txhost::kExitOk) << "it logged in: " << output;
    EXPECT_FALSE(ShowsPassword(output)) << output;
    EXPECT_EQ(testing_support::ReadFile(dir_ + "/out.csv"), "id,mon\nT1,1\n");
  }
}

TEST_F(CredentialsTest, AsksOnTheTerminalWithoutEchoAndRefusesWithoutOne) {
  int terminal = -1;
  pid_t pid = CallOnATerminal(&terminal);
  ASSERT_GE(pid, 0);
  std::string seen;
  char buffer[256];
  ASSERT_TRUE(WaitForThePrompt(terminal, &seen)) << "no prompt; the terminal showed: " << seen;
  const std::string typed = std::string(kPassword) + "\n";
  ASSERT_EQ(write(terminal, typed.data(), typed.size()), ssize_t(typed.size()));
  for (ssize_t got; (got = read(terminal, buffer, sizeof buffer)) > 0;) {
    seen.append(buffer, static_cast<size_t>(got));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  close(terminal);
  EXPECT_EQ(seen.find(kPassword), std::string::npos) << "echoed: " << seen;
  EXPECT_NE(seen.find("\n1\r\n"), std::string::npos) << "logged in and answered: " << seen;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == txhost::kExitOk) << seen;

  ChildOptions detached;
  detached.environment = {databases_};
  detached.without_terminal = true;
  Child child = StartTxhost(
      {"call", "--connect", "analyst@creds", "txscreen", "TESTDATE", "MON", "2026-12-07"},
      detached);
  std::string output;
  EXPECT_EQ(FinishChild(&child, &output), txhost::kExitUsage);
  EXPECT_NE(output.find("no password for analyst@creds and no terminal to ask"), std::string::npos)
      << output;
}

TEST_F(CredentialsTest, APasswordFileIsReadAsGivenOrRefusedWithItsReason) {
  const std::string secret = dir_ + "/private";
  std::ofstream(secret) << kPassword << "\n";
  std::filesystem::permissions(secret, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::owner_write);
  std::filesystem::permissions(dir_ + "/password", std::filesystem::perms::others_read,
                               std::filesystem::perm_options::add);
  const std::string warning = "can be read by others; keep it to yourself";
  struct Case {
    std::string connect;
    std::string file;
    int status;
    std::string says;     // in the output
    bool warned = false;  // the warning about others reading the file
  } cases[] = {
      {"analyst@creds", secret, txhost::kExitOk, "1\n"},
      {"analyst@creds", dir_ + "/password", txhost::kExitOk, "1\n", true},
      {"analyst@creds", dir_, txhost::kExitUsage, "--password-file " + dir_ + ": Is a directory"},
      {"analyst/other@creds", dir_ + "/missing", txhost::kExitUsage,
       "the password is given twice: in --connect and in --password-file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Child child = StartTxhost({"call", "--connect", c.connect, "--password-file", c.file,
                               "txscreen", "TESTDATE", "MON", "2026-12-07"},
                              ChildOptions{{databases_}, false, "", ""});
    std::string output;
    EXPECT_EQ(FinishChild(&child, &output), c.status) << output;
    EXPECT_NE(output.find(c.says), std::string::npos) << output;
    EXPECT_EQ(output.find(warning) != std::string::npos, c.warned) << output;
  }
}

TEST_F(CredentialsTest, CtrlCAtThePromptPutsTheEchoBack) {
  int terminal = -1;
  pid_t pid = CallOnATerminal(&terminal);
  ASSERT_GE(pid, 0);
  // The terminal's own side, to read its settings once txhost is gone.
  int device = open(ptsname(terminal), O_RDWR | O_NOCTTY);
  ASSERT_GE(device, 0);
  std::string seen;
  ASSERT_TRUE(WaitForThePrompt(terminal, &seen)) << "no prompt; the terminal showed: " << seen;
  struct termios during;
  ASSERT_EQ(tcgetattr(device, &during), 0);
  EXPECT_EQ(during.c_lflag & ECHO, 0u) << "the prompt has the echo off";
  ASSERT_EQ(write(terminal, "\x03", 1), 1);  // Ctrl-C, as typed
  int status = 0;
  waitpid(pid, &status, 0);
  struct termios after;
  ASSERT_EQ(tcgetattr(device, &after), 0);
  close(device);
  close(terminal);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == txhost::kExitInterrupted);
  EXPECT_NE(after.c_lflag & ECHO, 0u) << "the echo is back on";
}

TEST_F(CredentialsTest, MessagesMaskThePassword) {
  txhost::ConnectString login;
  std::string error;
  for (const std::string& connect :
       {std::string("analyst/") + kPassword + "@", std::string("/") + kPassword + "@creds"}) {
    EXPECT_FALSE(txhost::ResolveLogin(connect, "", &login, &error));
    EXPECT_FALSE(ShowsPassword(error)) << error;
    EXPECT_NE(error.find("/***@"), std::string::npos) << error;
  }
  Child child =
      StartTxhost({"call", "--connect", std::string("analyst/wrong-") + kPassword + "@creds",
                   "txscreen", "TESTDATE", "MON", "2026-12-07"},
                  ChildOptions{{databases_}, false, "", ""});
  std::string output;
  EXPECT_EQ(FinishChild(&child, &output), txhost::kExitUsage);
  EXPECT_NE(output.find("cannot log in to creds as analyst: ORA-01017"), std::string::npos)
      << output;
  EXPECT_FALSE(ShowsPassword(output)) << output;
}

}  // namespace
