// An interrupted `txhost screen` leaves every file as it was: the real program, a real signal.
#include <gtest/gtest.h>
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
    testing_support::Child child = testing_support::StartTxhost(
        {"screen", "--rules", dir + "/r.conf", "--out", dir + "/out.csv", "--rejects",
         dir + "/rejects.csv", "-"});
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

}  // namespace
