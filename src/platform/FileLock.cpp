#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/FileSystem.h"

namespace {

int OpenForLocking(const std::string& path) {
  if (!path.empty() && path.back() == '/') return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // Created with 0666 less the umask; an existing one that this user may not write to still
  // locks when it can be read.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd >= 0 || errno != EACCES) return fd;
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
}

}  // namespace

TFileLock::TFileLock(const std::string& path) {
  FFd = OpenForLocking(path);
  if (FFd < 0) {
    FError = ::ErrorText(errno);
    return;
  }
  int result;
  do {
    result = ::flock(FFd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result == 0) {
    FState = Held;
    return;
  }
  FState = errno == EWOULDBLOCK ? Busy : Failed;
  FError = ::ErrorText(errno);
  ::close(FFd);
  FFd = -1;
}

TFileLock::~TFileLock() {
  if (FFd >= 0) ::close(FFd);  // closing the only descriptor releases the lock
}

std::string LockFileNameFor(const std::string& path) {
  return ExtractFilePath(path) + "." + ExtractFileName(path) + ".lock";
}
