#include "support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <stdexcept>

extern char** environ;

namespace {

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const size_t equals = text.find('=');
    if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const std::string& text : extra) {
    const size_t equals = text.find('=');
    const std::string name = text.substr(0, equals);
    if (equals == std::string::npos || equals + 1 == text.size())
      variables.erase(name);
    else
      variables[name] = text.substr(equals + 1);
  }
  std::vector<std::string> merged;
  for (const auto& [name, value] : variables) merged.push_back(name + "=" + value);
  return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

TChildResult RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
                      const std::string& workingDirectory, std::chrono::milliseconds limit) {
  std::vector<std::string> arguments = argv;
  std::vector<std::string> environment = MergedEnvironment(extraEnvironment);
  std::vector<char*> argumentPointers = Pointers(arguments);
  std::vector<char*> environmentPointers = Pointers(environment);
  int output[2];
  if (::pipe2(output, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const auto started = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    ::dup2(output[1], STDOUT_FILENO);
    ::dup2(output[1], STDERR_FILENO);
    const int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) ::dup2(devNull, STDIN_FILENO);
    if (!workingDirectory.empty() && ::chdir(workingDirectory.c_str()) != 0) _exit(126);
    ::execve(argumentPointers[0], argumentPointers.data(), environmentPointers.data());
    _exit(127);
  }
  ::close(output[1]);
  TChildResult result;
  const auto deadline = started + limit;
  bool open = true;
  while (open) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.TimedOut = true;
      ::kill(child, SIGKILL);
      break;
    }
    pollfd poller{output[0], POLLIN, 0};
    if (::poll(&poller, 1, static_cast<int>(std::min<long long>(left.count(), 200))) <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(output[0], buffer, sizeof buffer);
    if (n > 0)
      result.Output.append(buffer, static_cast<size_t>(n));
    else
      open = false;
  }
  ::close(output[0]);
  int status = 0;
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline && !result.TimedOut) {
      result.TimedOut = true;
      ::kill(child, SIGKILL);
    }
    ::usleep(10'000);
  }
  result.Elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
  if (WIFEXITED(status)) result.ExitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.Signal = WTERMSIG(status);
  return result;
}
