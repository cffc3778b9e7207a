#pragma once
// Measuring one transfer of a benchmark: run in a child process, so that its wall time, CPU
// time (user + sys) and peak RSS are its own; the better of two runs counts.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct Result {
  double wall = 0, cpu = 0, rssMiB = 0;
  bool ok = false;
};

bool Installed(const char* path) { return ::access(path, X_OK) == 0; }

// Runs `body` in a child process; returns its wall time, CPU time and peak RSS.
template <typename Body>
Result MeasureOnce(Body body) {
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::_exit(body() ? 0 : 1);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  Result r;
  r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
          static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  r.rssMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return r;
}

// The better of two runs (by wall time): loopback transfers of this size are at the mercy
// of page-cache writeback, and one run alone is noisy.
// `target` is the file the transfer creates, removed before each run (so no client can
// skip the work because the file is already there).
template <typename Body>
Result Measure(const std::string& target, Body body) {
  std::filesystem::remove(target);
  ::sync();
  Result first = MeasureOnce(body);
  std::filesystem::remove(target);
  ::sync();
  Result second = MeasureOnce(body);
  std::filesystem::remove(target);
  if (!first.ok) return first;
  if (!second.ok) return second;
  return second.wall < first.wall ? second : first;
}

// Runs a program quietly in a child and measures it.
Result Run(const std::string& target, const std::vector<std::string>& args) {
  return Measure(target, [&] {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int devnull = ::open("/dev/null", O_RDWR);
    ::dup2(devnull, 0);
    ::dup2(devnull, 1);
    ::dup2(devnull, 2);
    ::execv(argv[0], argv.data());
    return false;
  });
}

}  // namespace
