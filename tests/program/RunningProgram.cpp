#include "RunningProgram.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

// This process's environment with the changes applied, built before fork: the child of a
// threaded process may only call async-signal-safe functions until it executes.
std::vector<std::string> ChangedEnvironment(const std::vector<std::string>& changes) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    bool changed = false;
    for (const std::string& change : changes)
      changed = changed || text.compare(0, change.find('=') + 1, change, 0, change.find('=') + 1) == 0;
    if (!changed) result.push_back(text);
  }
  for (const std::string& change : changes)
    if (change.find('=') + 1 < change.size()) result.push_back(change);
  return result;
}

std::vector<char*> Pointers(const std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (const std::string& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

TRunningProgram::TRunningProgram(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                                 const std::string& workingDirectory, const std::string& outputFile) {
  const std::vector<std::string> variables = ChangedEnvironment(environment);
  const std::vector<char*> arguments = Pointers(argv);
  const std::vector<char*> envp = Pointers(variables);
  const int output = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (output < 0 || input < 0) throw std::runtime_error("cannot open the output file " + outputFile);
  FPid = ::fork();
  if (FPid == 0) {
    if (::chdir(workingDirectory.c_str()) != 0) _exit(126);
    ::dup2(output, STDOUT_FILENO);
    ::dup2(output, STDERR_FILENO);
    ::dup2(input, STDIN_FILENO);
    ::execve(arguments[0], arguments.data(), envp.data());
    _exit(127);
  }
  ::close(output);
  ::close(input);
  if (FPid < 0) throw std::runtime_error("fork failed");
}

TRunningProgram::~TRunningProgram() {
  if (!Running()) return;
  ::kill(FPid, SIGKILL);
  WaitForExit(std::chrono::seconds(10));
}

void TRunningProgram::Signal(int signalNumber) const { ::kill(FPid, signalNumber); }

bool TRunningProgram::Running() { return !WaitForExit(std::chrono::milliseconds(0)); }

bool TRunningProgram::WaitForExit(std::chrono::milliseconds limit) {
  if (FPid < 0) return true;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    if (::waitpid(FPid, &status, WNOHANG) == FPid) {
      if (WIFEXITED(status)) ExitCode = WEXITSTATUS(status);
      if (WIFSIGNALED(status)) TermSignal = WTERMSIG(status);
      FPid = -1;
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}
