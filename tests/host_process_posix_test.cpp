// `txhost screen` as a process of its own, fed through a pipe: an interrupt leaves every file as
// it was, and a slow producer never holds back the results of the rows it already sent.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "child_process_posix.h"
#include "exit_status.h"
#include "temp_files.h"

namespace {

using testing_support::LeftoverTemporaries;
using testing_support::ReadFile;

TEST(InterruptTest, LeavesEveryFileAsItWasAndExitsWith130) {
  const std::string dir = testing_support::TempPath("interrupt_test");
  for (int signal_number : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(signal_number));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/r.conf") << "same txscreen BADACCOUNT id id\n";
    std::ofstream(dir + "/out.csv") << "earlier results\n";
    // The transactions come through a pipe the test keeps open, so the run is still going when
    // the signal comes.
    testing_support::Child child =
        testing_support::StartTxhost({"screen", "--rules", dir + "/r.conf", "--out",
                                      dir + "/out.csv", "--rejects", dir + "/rejects.csv", "-"});
    ASSERT_GT(child.pid, 0);
    // More than one read's worth, so the header is read and the outputs are being written.
    std::string rows = "id\n";
    for (int i = 0; rows.size() < (200u << 10); ++i) rows += "T" + std::to_string(i) + "\n";
    ASSERT_EQ(write(child.input, rows.data(), rows.size()), static_cast<ssize_t>(rows.size()));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (LeftoverTemporaries(dir).size() < 2 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(LeftoverTemporaries(dir).size(), 2u) << "the run is writing its two outputs";
    kill(child.pid, signal_number);
    std::string output;
    EXPECT_EQ(testing_support::FinishChild(&child, &output), txhost::kExitInterrupted) << output;
    EXPECT_EQ(ReadFile(dir + "/out.csv"), "earlier results\n");
    EXPECT_FALSE(std::filesystem::exists(dir + "/rejects.csv"));
    EXPECT_EQ(LeftoverTemporaries(dir), std::vector<std::string>{});
  }
}

TEST(StreamingTest, WritesEachRowsResultWhileTheProducerIsStillSending) {
  const std::string dir = testing_support::TempPath("streaming_test");
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
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
