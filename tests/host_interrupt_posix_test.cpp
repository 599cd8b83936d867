// An interrupted `txhost screen` leaves every file as it was: the real program, a real signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "dynamic_library.h"
#include "exit_status.h"
#include "temp_files.h"

namespace {

using testing_support::LeftoverTemporaries;
using testing_support::ReadFile;

// Starts txhost reading the transactions from a pipe that the test keeps open, so the run is
// still going when the signal comes.
pid_t StartScreening(const std::string& dir, int* input) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[0], STDIN_FILENO);
    close(fds[0]);
    close(fds[1]);
    freopen("/dev/null", "w", stderr);
    std::string txhost = txhost::DynamicLibrary::ProgramDirectory() + "/txhost";
    std::string rules = dir + "/r.conf", out = dir + "/out.csv", rejects = dir + "/rejects.csv";
    execl(txhost.c_str(), "txhost", "screen", "--rules", rules.c_str(), "--out", out.c_str(),
          "--rejects", rejects.c_str(), "-", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[0]);
  *input = fds[1];
  return pid;
}

TEST(InterruptTest, LeavesEveryFileAsItWasAndExitsWith130) {
  const std::string dir = testing_support::TempPath("interrupt_test");
  for (int signal_number : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(strsignal(signal_number));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/r.conf") << "same txscreen BADACCOUNT id id\n";
    std::ofstream(dir + "/out.csv") << "earlier results\n";
    int input = -1;
    pid_t pid = StartScreening(dir, &input);
    ASSERT_GT(pid, 0);
    // More than one read's worth, so the header is read and the outputs are being written.
    std::string rows = "id\n";
    for (int i = 0; rows.size() < (200u << 10); ++i) rows += "T" + std::to_string(i) + "\n";
    ASSERT_EQ(write(input, rows.data(), rows.size()), static_cast<ssize_t>(rows.size()));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (LeftoverTemporaries(dir).size() < 2 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(LeftoverTemporaries(dir).size(), 2u) << "the run is writing its two outputs";
    kill(pid, signal_number);
    int status = 0;
    waitpid(pid, &status, 0);
    close(input);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), txhost::kExitInterrupted);
    EXPECT_EQ(ReadFile(dir + "/out.csv"), "earlier results\n");
    EXPECT_FALSE(std::filesystem::exists(dir + "/rejects.csv"));
    EXPECT_EQ(LeftoverTemporaries(dir), std::vector<std::string>{});
  }
}

}  // namespace
