#include "platform/AppendFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/FileSystem.h"

TAppendFile::~TAppendFile() { Close(); }

bool TAppendFile::Create(const std::string& path) {
  Close();
  // A new file rather than the old one emptied: it takes the umask's mode, not the old one's.
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    FError = ::ErrorText(errno);
    return false;
  }
  FFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0666);
  if (FFd < 0) FError = ::ErrorText(errno);
  return FFd >= 0;
}

bool TAppendFile::Open(const std::string& path) {
  Close();
  FFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (FFd < 0) FError = ::ErrorText(errno);
  return FFd >= 0;
}

bool TAppendFile::Append(const std::string& text) {
  if (FFd < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(FFd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      FError = n < 0 ? ::ErrorText(errno) : "nothing written";
      Close();
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

void TAppendFile::Close() {
  if (FFd < 0) return;
  ::close(FFd);
  FFd = -1;
}

bool AppendToFile(const std::string& path, const std::string& text, std::string& AError) {
  TAppendFile file;
  if (file.Open(path) && file.Append(text)) return true;
  AError = file.ErrorText();
  return false;
}
