#include "support/WriteProtected.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace {

void DropRoot() {
  if (::geteuid() != 0) return;
  const gid_t nogroup = 65534;
  const uid_t nobody = 65534;
  if (::setgroups(0, nullptr) != 0 || ::setgid(nogroup) != 0 || ::setuid(nobody) != 0) _exit(97);
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

}  // namespace

std::string RunAsOrdinaryUser(const std::function<std::string()>& action) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeFds[0]);
    DropRoot();
    const std::string result = action();
    const ssize_t written = ::write(pipeFds[1], result.data(), result.size());
    _exit(written == static_cast<ssize_t>(result.size()) ? 0 : 98);
  }
  ::close(pipeFds[1]);
  const std::string result = ReadAll(pipeFds[0]);
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (child < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("the child without root failed");
  return result;
}

std::string RunWithDirectoryWriteProtected(const std::string& directory, const std::function<std::string()>& action) {
  struct stat before {};
  if (::stat(directory.c_str(), &before) != 0) throw std::runtime_error("no such directory: " + directory);
  ::chmod(directory.c_str(), 0555);
  std::string result;
  try {
    result = RunAsOrdinaryUser(action);
  } catch (...) {
    ::chmod(directory.c_str(), before.st_mode & 07777);
    throw std::runtime_error("the write-protected child failed");
  }
  ::chmod(directory.c_str(), before.st_mode & 07777);
  return result;
}
