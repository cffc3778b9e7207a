#include "platform/Signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

int writeEnd = -1;
std::atomic<int> requests{0};  // lock-free, so safe in a signal handler

void OnTerminationSignal(int signalNumber) {
  if (requests.fetch_add(1) > 0) {
    // Asked again: whatever is taking so long, the user wants the process gone.
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
    return;
  }
  const int savedErrno = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(writeEnd, &byte, 1);
  errno = savedErrno;
}

}  // namespace

int InstallTerminationRequestNotifier() {
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return -1;
  writeEnd = fds[1];
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  ::sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (::sigaction(SIGTERM, &action, nullptr) != 0 || ::sigaction(SIGINT, &action, nullptr) != 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    writeEnd = -1;
    return -1;
  }
  return fds[0];
}

bool ConsumeTerminationRequest(int fd) {
  bool any = false;
  char buffer[16];
  while (::read(fd, buffer, sizeof buffer) > 0) any = true;
  return any;
}
