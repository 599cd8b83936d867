// `txhost screen` as a process of its own, as a user runs it: every signal leaves every file as
// it was and says so, results on standard output and a reader that goes away, links and system
// paths as outputs, a publish that fails part-way, the leftovers of a killed run, and a slow
// producer that never holds back the results of the rows it already sent.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "child_process_posix.h"
#include "exit_status.h"
#include "file_system.h"
#include "temp_files.h"

namespace {

using testing_support::LeftoverTemporaries;
using testing_support::ReadFile;

// Rows for a rule set that reads only the id column, more than one read's worth.
std::string ManyRows(size_t bytes) {
  std::string rows = "id\n";
  for (int i = 0; rows.size() < bytes; ++i) rows += "T" + std::to_string(i) + "\n";
  return rows;
}

void WaitForTemporaries(const std::string& dir, size_t count) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (LeftoverTemporaries(dir).size() < count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(LeftoverTemporaries(dir).size(), count) << "the run is writing its outputs";
}

TEST(InterruptTest, EverySignalLeavesEveryFileAsItWasAndSaysSo) {
  struct Case {
    int signal_number;
    int status;
    const char* says;
  } cases[] = {
      {SIGINT, txhost::kExitInterrupted, "txhost: interrupted (SIGINT); nothing was published"},
      {SIGTERM, txhost::kExitInterrupted, "txhost: interrupted (SIGTERM); nothing was published"},
      {SIGHUP, txhost::kExitHungUp, "txhost: hung up (SIGHUP); nothing was published"},
      {SIGPIPE, txhost::kExitBrokenPipe, "closed by its reader (SIGPIPE); nothing was published"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(strsignal(c.signal_number));
    const std::string dir = testing_support::FreshDirectory("interrupt_test");
    std::ofstream(dir + "/r.conf") << "same txscreen BADACCOUNT id id\n";
    std::ofstream(dir + "/out.csv") << "earlier results\n";
    // The transactions come through a pipe the test keeps open, so the run is still going when
    // the signal comes.
    testing_support::Child child =
        testing_support::StartTxhost({"screen", "--rules", dir + "/r.conf", "--out",
                                      dir + "/out.csv", "--rejects", dir + "/rejects.csv", "-"});
    ASSERT_GT(child.pid, 0);
    const std::string rows = ManyRows(200u << 10);
    ASSERT_EQ(write(child.input, rows.data(), rows.size()), static_cast<ssize_t>(rows.size()));
    WaitForTemporaries(dir, 2);
    kill(child.pid, c.signal_number);
    std::string output;
    EXPECT_EQ(testing_support::FinishChild(&child, &output), c.status) << output;
    EXPECT_NE(output.find(c.says), std::string::npos) << output;
    EXPECT_EQ(ReadFile(dir + "/out.csv"), "earlier results\n");
    EXPECT_FALSE(std::filesystem::exists(dir + "/rejects.csv"));
    EXPECT_EQ(LeftoverTemporaries(dir), std::vector<std::string>{});
  }
}

// A signal that comes while the outputs are being put in place waits until the last is: it never
// leaves some new and some old. The seam pauses the publish after its first rename.
TEST(InterruptTest, ASignalBetweenTwoRenamesWaitsForTheLastAndSaysAllArrived) {
  for (int signal_number : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(signal_number));
    const std::string dir = testing_support::FreshDirectory("interrupt_publish_test");
    std::ofstream(dir + "/r.conf") << "same txscreen BADACCOUNT id id\n";
    std::ofstream(dir + "/out.csv") << "earlier results\n";
    std::ofstream(dir + "/in.csv") << "id\nT1\n\"open\n";
    const std::string paused = dir + "/paused";
    setenv("TXHOST_TEST_PAUSE_BETWEEN_RENAMES", paused.c_str(), 1);
    testing_support::Child child = testing_support::StartTxhost(
        {"screen", "--rules", dir + "/r.conf", "--out", dir + "/out.csv", "--rejects",
         dir + "/rejects.csv", dir + "/in.csv"});
    unsetenv("TXHOST_TEST_PAUSE_BETWEEN_RENAMES");
    ASSERT_GT(child.pid, 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!std::filesystem::exists(paused) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(std::filesystem::exists(paused)) << "the publish did not reach the seam";
    kill(child.pid, signal_number);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::filesystem::remove(paused);
    std::string output;
    EXPECT_EQ(testing_support::FinishChild(&child, &output), txhost::kExitInterrupted) << output;
    EXPECT_NE(output.find("every output was published before it came"), std::string::npos)
        << output;
    EXPECT_EQ(ReadFile(dir + "/out.csv"), "id,same\nT1,1\n");
    EXPECT_NE(ReadFile(dir + "/rejects.csv").find("open"), std::string::npos);
    EXPECT_EQ(LeftoverTemporaries(dir), std::vector<std::string>{});
  }
}

// Results on standard output go out as the run goes: a run that stops says how many went.
TEST(StandardOutputTest, AStoppedRunSaysHowManyResultRowsWentOut) {
  const std::string dir = testing_support::FreshDirectory("stdout_test");
  std::ofstream(dir + "/r.conf") << "over txscreen OVERCREDITLIMIT amount 5\n";
  std::string rows = "id,amount\n";
  for (int i = 0; i < 5000; ++i) rows += "T" + std::to_string(i) + ",9\n";
  for (int i = 0; i < 10; ++i) rows += "X" + std::to_string(i) + ",x\n";
  std::ofstream(dir + "/t.csv") << rows;
  testing_support::ChildOptions options;
  options.stderr_file = dir + "/err.txt";
  testing_support::Child child = testing_support::StartTxhost(
      {"screen", "--rules", dir + "/r.conf", "--max-rejects", "3", dir + "/t.csv"}, options);
  std::string out;
  EXPECT_EQ(testing_support::FinishChild(&child, &out), txhost::kExitFailed);
  const size_t lines = static_cast<size_t>(std::count(out.begin(), out.end(), '\n'));
  ASSERT_GT(lines, 1u);
  EXPECT_NE(ReadFile(dir + "/err.txt")
                .find("nothing was published, but standard output has " +
                      std::to_string(lines - 1) + " result rows, which are incomplete"),
            std::string::npos)
      << ReadFile(dir + "/err.txt");
}

TEST(StandardOutputTest, ASummaryThatStandardErrorCannotTakeFailsTheRun) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full to fill up here";
  const std::string dir = testing_support::FreshDirectory("stderr_full_test");
  std::ofstream(dir + "/r.conf") << "same txscreen BADACCOUNT id id\n";
  std::ofstream(dir + "/t.csv") << "id\nT1\n";
  testing_support::ChildOptions options;
  options.stderr_file = "/dev/full";
  testing_support::Child child = testing_support::StartTxhost(
      {"screen", "--rules", dir + "/r.conf", "--out", dir + "/out.csv", dir + "/t.csv"}, options);
  std::string ignored;
  EXPECT_EQ(testing_support::FinishChild(&child, &ignored), txhost::kExitFailed);
}

TEST(StandardOutputTest, AReaderThatGoesAwayIsABrokenPipeThatCleansUp) {
  const std::string dir = testing_support::FreshDirectory("broken_pipe_test");
  std::ofstream(dir + "/r.conf") << "same txscreen BADACCOUNT id id\n";
  testing_support::ChildOptions options;
  options.stderr_file = dir + "/err.txt";
  testing_support::Child child = testing_support::StartTxhost(
      {"screen", "--rules", dir + "/r.conf", "--rejects", dir + "/rejects.csv", "-"}, options);
  const std::string rows = ManyRows(64u << 10);
  ASSERT_EQ(write(child.input, rows.data(), rows.size()), static_cast<ssize_t>(rows.size()));
  char first[16];
  ASSERT_GT(read(child.output, first, sizeof first), 0);  // as `head -c 16` reads, then leaves
  close(child.output);
  child.output = open("/dev/null", O_RDONLY);
  // More rows, until txhost is gone; then this test's own writes meet a closed pipe.
  auto previous = signal(SIGPIPE, SIG_IGN);
  for (int i = 0; i < 50 && write(child.input, rows.data() + 3, rows.size() - 3) > 0; ++i) {
  }
  signal(SIGPIPE, previous);
  std::string ignored;
  EXPECT_EQ(testing_support::FinishChild(&child, &ignored), txhost::kExitBrokenPipe);
  const std::string err = ReadFile(dir + "/err.txt");
  EXPECT_NE(err.find("(SIGPIPE); nothing was published, but "), std::string::npos) << err;
  EXPECT_NE(err.find(" result rows already went out and are incomplete"), std::string::npos);
  EXPECT_EQ(LeftoverTemporaries(dir), std::vector<std::string>{});
}

// What each kind of path leads to: a link is written through, a file behind a system path is
// written where it is, and the same-file check sees through links.
TEST(OutputPathTest, LinksAreWrittenThroughAndSystemPathsInPlace) {
  const std::string dir = testing_support::FreshDirectory("link_test");
  std::ofstream(dir + "/r.conf") << "same txscreen BADACCOUNT id id\n";
  std::ofstream(dir + "/t.csv") << "id\nT1\n";
  std::ofstream(dir + "/target.csv") << "earlier results\n";
  std::filesystem::create_symlink("target.csv", dir + "/link.csv");
  std::filesystem::create_symlink("nowhere/../new.csv", dir + "/dangling.csv");
  std::filesystem::create_directories(dir + "/nowhere");
  std::filesystem::create_symlink(dir + "/t.csv", dir + "/input-link.csv");
  // A chain of relative links across folders: each hop is relative to its own link's folder.
  std::filesystem::create_directories(dir + "/a");
  std::filesystem::create_directories(dir + "/b");
  std::ofstream(dir + "/b/final.csv") << "earlier results\n";
  std::filesystem::create_symlink("a/hop.csv", dir + "/chain.csv");
  std::filesystem::create_symlink("../b/final.csv", dir + "/a/hop.csv");
  const std::string results = "id,same\nT1,1\n";
  struct Case {
    std::string out;
    int status;
    std::string file;  // where the results must be
  } cases[] = {
      {dir + "/link.csv", txhost::kExitOk, dir + "/target.csv"},
      {dir + "/dangling.csv", txhost::kExitOk, dir + "/new.csv"},
      {dir + "/chain.csv", txhost::kExitOk, dir + "/b/final.csv"},
      {"/dev/fd/1", txhost::kExitOk, dir + "/captured.csv"},
      {dir + "/input-link.csv", txhost::kExitUsage, ""},
  };
  std::ofstream(dir + "/captured.csv") << "";
  struct stat before;
  ASSERT_EQ(stat((dir + "/captured.csv").c_str(), &before), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out);
    testing_support::ChildOptions options;
    options.stdout_file = dir + "/captured.csv";
    testing_support::Child child = testing_support::StartTxhost(
        {"screen", "--rules", dir + "/r.conf", "--out", c.out, dir + "/t.csv"}, options);
    std::string err;
    EXPECT_EQ(testing_support::FinishChild(&child, &err), c.status) << err;
    if (!c.file.empty()) {
      EXPECT_EQ(ReadFile(c.file), results);
    }
  }
  struct stat after;
  ASSERT_EQ(stat((dir + "/captured.csv").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "the file behind /dev/fd/1 is written, not replaced";
  EXPECT_TRUE(std::filesystem::is_symlink(dir + "/link.csv"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir + "/dangling.csv"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir + "/chain.csv"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir + "/a/hop.csv"));
  EXPECT_EQ(LeftoverTemporaries(dir + "/b"), std::vector<std::string>{});
  EXPECT_EQ(ReadFile(dir + "/t.csv"), "id\nT1\n");
  EXPECT_EQ(LeftoverTemporaries(dir), std::vector<std::string>{});
}

// The destination of the last output becomes a directory while the run goes: the outputs put in
// place before it are put back.
TEST(PublishTest, AFailedRenamePutsBackEveryOutputAlreadyReplaced) {
  const std::string dir = testing_support::FreshDirectory("publish_test");
  std::ofstream(dir + "/r.conf") << "same txscreen BADACCOUNT id id\n";
  std::ofstream(dir + "/out.csv") << "earlier results\n";
  testing_support::Child child = testing_support::StartTxhost(
      {"screen", "--rules", dir + "/r.conf", "--out", dir + "/out.csv", "--rejects",
       dir + "/rejects.csv", "--summary", dir + "/summary.json", "-"});
  const std::string rows = ManyRows(200u << 10);
  ASSERT_EQ(write(child.input, rows.data(), rows.size()), static_cast<ssize_t>(rows.size()));
  WaitForTemporaries(dir, 3);
  std::filesystem::create_directories(dir + "/summary.json/inside");
  std::string output;
  EXPECT_EQ(testing_support::FinishChild(&child, &output), txhost::kExitFailed) << output;
  EXPECT_NE(output.find("summary.json: Is a directory; the outputs put in place before it were "
                        "put back; nothing was written"),
            std::string::npos)
      << output;
  EXPECT_EQ(ReadFile(dir + "/out.csv"), "earlier results\n");
  EXPECT_FALSE(std::filesystem::exists(dir + "/rejects.csv"));
  EXPECT_EQ(LeftoverTemporaries(dir), std::vector<std::string>{});
}

// Another run publishing into the same directory holds the lock: this one waits, so the outputs
// of the two are never mixed.
TEST(PublishTest, WaitsForAnotherRunPublishingIntoTheSameDirectory) {
  const std::string dir = testing_support::FreshDirectory("publish_lock_test");
  std::ofstream(dir + "/r.conf") << "same txscreen BADACCOUNT id id\n";
  std::ofstream(dir + "/t.csv") << "id\nT1\n";
  std::ofstream(dir + "/out.csv") << "the other run's results\n";
  testing_support::Child child;
  {
    txhost::PublishLock other_run({dir});
    child = testing_support::StartTxhost(
        {"screen", "--rules", dir + "/r.conf", "--out", dir + "/out.csv", dir + "/t.csv"});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // a run of one row is done
    EXPECT_EQ(ReadFile(dir + "/out.csv"), "the other run's results\n");
  }
  std::string output;
  EXPECT_EQ(testing_support::FinishChild(&child, &output), txhost::kExitOk) << output;
  EXPECT_EQ(ReadFile(dir + "/out.csv"), "id,same\nT1,1\n");
}

// A run killed with SIGKILL cannot remove its files; the next one to write there does.
TEST(PublishTest, TheFilesOfAKilledRunAreRemovedByTheNext) {
  const std::string dir = testing_support::FreshDirectory("leftover_test");
  std::ofstream(dir + "/r.conf") << "same txscreen BADACCOUNT id id\n";
  std::ofstream(dir + "/t.csv") << "id\nT1\n";
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  const std::string leftover = dir + "/.out.csv.txhost-" + std::to_string(gone) + "-AbC123";
  const std::string alive = dir + "/.out.csv.txhost-" + std::to_string(getpid()) + "-XyZ789";
  std::ofstream(leftover) << "half of a killed run's results";
  std::ofstream(alive) << "a running run's results";
  testing_support::Child child = testing_support::StartTxhost(
      {"screen", "--rules", dir + "/r.conf", "--out", dir + "/out.csv", dir + "/t.csv"});
  std::string output;
  EXPECT_EQ(testing_support::FinishChild(&child, &output), txhost::kExitOk) << output;
  EXPECT_NE(output.find("removed " + leftover + ", left by a run that was killed"),
            std::string::npos)
      << output;
  EXPECT_FALSE(std::filesystem::exists(leftover));
  EXPECT_TRUE(std::filesystem::exists(alive)) << "a file of a process that runs stays";
}

TEST(StreamingTest, WritesEachRowsResultWhileTheProducerIsStillSending) {
  const std::string dir = testing_support::FreshDirectory("streaming_test");
  std::ofstream(dir + "/r.conf") << "same txscreen BADACCOUNT id id\n";
  testing_support::Child child =
      testing_support::StartTxhost({"screen", "--rules", dir + "/r.conf", "--threads", "2", "-"});
  ASSERT_GT(child.pid, 0);
  std::string seen;
  for (const std::string row : {"T1", "T2"}) {
    const std::string sent = (row == "T1" ? "id\n" : "") + row + "\n";
    ASSERT_EQ(write(child.input, sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
    // The input stays open: the result must come out all the same.
    while (seen.find(row + ",1\n") == std::string::npos) {
      pollfd ready{child.output, POLLIN, 0};
      ASSERT_EQ(poll(&ready, 1, 10000), 1) << "no result for " << row << "; seen: " << seen;
      char buffer[256];
      ssize_t got = read(child.output, buffer, sizeof buffer);
      ASSERT_GT(got, 0) << seen;
      seen.append(buffer, static_cast<size_t>(got));
    }
  }
  std::string rest;
  EXPECT_EQ(testing_support::FinishChild(&child, &rest), txhost::kExitOk) << seen << rest;
  EXPECT_EQ(seen.rfind("id,same\nT1,1\nT2,1\n", 0), 0u) << seen;
}

}  // namespace
