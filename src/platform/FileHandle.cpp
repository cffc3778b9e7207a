#include "platform/FileHandle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// O_NONBLOCK keeps a FIFO from blocking the open; a regular file reads as usual with it.
constexpr int kReadOpenFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;

}  // namespace

TDirectoryHandle::TDirectoryHandle(const std::string& path)
    : FFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}

TDirectoryHandle::~TDirectoryHandle() {
  if (FFd >= 0) ::close(FFd);
}

TRegularFileReader::~TRegularFileReader() { Close(); }

bool TRegularFileReader::Open(const std::string& path) { return Adopt(::open(path.c_str(), kReadOpenFlags)); }

bool TRegularFileReader::OpenAt(const TDirectoryHandle& directory, const std::string& name) {
  if (!directory.IsOpen()) return false;
  return Adopt(::openat(directory.FFd, name.c_str(), kReadOpenFlags));
}

bool TRegularFileReader::Adopt(int fd) {
  Close();
  if (fd < 0) return false;
  FFd = fd;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    Close();
    return false;
  }
  FSize = st.st_size;
  return true;
}

void TRegularFileReader::Close() {
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
  FSize = 0;
}

bool TRegularFileReader::Read(void* data, size_t length, size_t& got) {
  got = 0;
  for (;;) {
    const ssize_t n = ::read(FFd, data, length);
    if (n >= 0) {
      got = static_cast<size_t>(n);
      return true;
    }
    if (errno != EINTR) return false;
  }
}
