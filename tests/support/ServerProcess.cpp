#include "support/ServerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/Socket.h"

using namespace std::chrono_literals;

std::string MakeStateDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/zephlin-ftpd-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a state directory");
  ::chmod(pattern.c_str(), 0755);
  return pattern + "/";
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& logPath,
            const std::vector<std::string>& environment) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);  // the first of a name counts
  envp.push_back(nullptr);
  int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::setpgid(0, 0);
    int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) ::dup2(devnull, 0);
    if (log >= 0) {
      ::dup2(log, 1);
      ::dup2(log, 2);
    }
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  if (log >= 0) ::close(log);
  if (pid < 0) throw std::runtime_error("fork failed");
  return pid;
}

bool Exited(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) == pid;
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  ::kill(-pid, SIGTERM);
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    int status = 0;
    pid_t reaped = ::waitpid(pid, &status, WNOHANG);
    if (reaped == pid) {
      ::kill(-pid, SIGKILL);  // any session children left behind
      return;
    }
    if (reaped < 0) return;  // already reaped
    std::this_thread::sleep_for(20ms);
  }
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

int FreePort() {
  TSocket s;
  std::string address;
  uint16_t port = 0;
  if (s.Open() != 0 || s.Bind(0x7F000001u, 0) != 0 || s.LocalAddress(address, port) != 0)
    throw std::runtime_error("no free port");
  return port;
}

bool Accepts(const std::string& host, int port) {
  TSocket s;
  return s.Open(host) == 0 && s.Connect(host, static_cast<uint16_t>(port), 200) == 0;
}

int StartOnFreePort(const std::function<std::vector<std::string>(int port)>& command, const std::string& host,
                    const std::string& logPath, const char* serverName, pid_t& pid,
                    const std::vector<std::string>& environment) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    const int port = FreePort();
    pid = Spawn(command(port), logPath, environment);
    for (int i = 0; i < 250; ++i) {
      if (Accepts(host, port)) {
        // Another process could have taken the port between FreePort and the server's
        // bind; then our server has exited on its bind failure, and we try another port.
        std::this_thread::sleep_for(50ms);
        if (!Exited(pid)) return port;
        pid = -1;
        break;
      }
      if (Exited(pid)) {
        pid = -1;
        break;
      }
      std::this_thread::sleep_for(20ms);
    }
    Stop(pid);
    pid = -1;
  }
  throw std::runtime_error(std::string(serverName) + " did not start:\n" + ReadText(logPath));
}
