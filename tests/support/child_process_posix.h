// Running txhost as a user does, as a process of its own, for what only a real process shows:
// signals, the process list, the terminal.
#ifndef TXSCREEN_TESTS_SUPPORT_CHILD_PROCESS_POSIX_H_
#define TXSCREEN_TESTS_SUPPORT_CHILD_PROCESS_POSIX_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace testing_support {

struct Child {
  pid_t pid = -1;
  int input = -1;   // the write end of its standard input
  int output = -1;  // the read end of its standard output and error, together
};

struct ChildOptions {
  std::vector<std::string> environment;  // NAME=value entries added to this process's
  bool without_terminal = false;         // in a session of its own, with no controlling terminal
  std::string stdout_file;  // when set, standard output goes to this file instead of the pipe
  std::string stderr_file;  // when set, standard error goes to this file instead of the pipe
};

// Starts the built txhost with `args` (not counting the program name).
Child StartTxhost(const std::vector<std::string>& args, const ChildOptions& options = {});
// Closes its input, reads its output to the end and gives its exit status (-1 when it did not
// exit by itself).
int FinishChild(Child* child, std::string* output);
// What another process reads of its command line or environment: NULs shown as spaces.
std::string ProcFile(pid_t pid, const char* name);

}  // namespace testing_support

#endif  // TXSCREEN_TESTS_SUPPORT_CHILD_PROCESS_POSIX_H_
