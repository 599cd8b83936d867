// Starting txhost with pipes for its input and output, and reading what ps would show of it.
#include "child_process_posix.h"

#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "dynamic_library.h"

namespace testing_support {

Child StartTxhost(const std::vector<std::string>& args, const ChildOptions& options) {
  int input[2], output[2];
  Child child;
  if (pipe(input) != 0 || pipe(output) != 0) return child;
  std::string program = txhost::DynamicLibrary::ProgramDirectory() + "/txhost";
  child.pid = fork();
  if (child.pid == 0) {
    if (options.without_terminal) setsid();
    dup2(input[0], STDIN_FILENO);
    dup2(output[1], STDOUT_FILENO);
    dup2(output[1], STDERR_FILENO);
    auto redirect = [](const std::string& path, int fd) {
      if (path.empty()) return;
      int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(file, fd);
      close(file);
    };
    redirect(options.stdout_file, STDOUT_FILENO);
    redirect(options.stderr_file, STDERR_FILENO);
    for (int fd : {input[0], input[1], output[0], output[1]}) close(fd);
    for (const std::string& entry : options.environment) putenv(const_cast<char*>(entry.c_str()));
    std::vector<char*> argv = {const_cast<char*>("txhost")};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(input[0]);
  close(output[1]);
  child.input = input[1];
  child.output = output[0];
  return child;
}

int FinishChild(Child* child, std::string* output) {
  if (child->input >= 0) close(child->input);
  child->input = -1;
  char buffer[4096];
  for (ssize_t got; (got = read(child->output, buffer, sizeof buffer)) > 0;) {
    output->append(buffer, static_cast<size_t>(got));
  }
  close(child->output);
  int status = 0;
  waitpid(child->pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ProcFile(pid_t pid, const char* name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::string shown = text.str();
  for (char& c : shown) c = c == '\0' ? ' ' : c;
  return shown;
}

}  // namespace testing_support
