#include "platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string_view>

#include "platform/Errors.h"
#include "platform/Text.h"

namespace {

bool StatPath(const std::string& path, struct stat& st) { return ::stat(path.c_str(), &st) == 0; }

uint32_t AttributesOf(const std::string& name, const struct stat& st) {
  uint32_t attr = 0;
  if (!name.empty() && name[0] == '.') attr |= faHidden;
  if (S_ISDIR(st.st_mode)) attr |= faDirectory;
  if ((st.st_mode & S_IWUSR) == 0) attr |= faReadOnly;
  return attr;
}

// "." and ".." first, then byte order.
bool SearchOrder(const TSearchRec& a, const TSearchRec& b) {
  const auto rank = [](const std::string& n) { return n == "." ? 0 : n == ".." ? 1 : 2; };
  const int ra = rank(a.Name), rb = rank(b.Name);
  if (ra != rb) return ra < rb;
  return a.Name < b.Name;
}

}  // namespace

bool MatchesMask(const std::string& name, const std::string& mask) {
  if (mask == "*" || mask == "*.*") return true;
  return ::fnmatch(mask.c_str(), name.c_str(), FNM_CASEFOLD) == 0;
}

bool MatchesPattern(const std::string& text, const std::string& pattern, bool pathName) {
  return ::fnmatch(pattern.c_str(), text.c_str(), pathName ? FNM_PATHNAME : 0) == 0;
}

std::vector<TSearchRec> FindFiles(const std::string& directory, const std::string& mask) {
  return ReadDirectory(directory, mask).Entries;
}

bool TDirectoryRead::Missing() const { return Error == ENOENT || Error == ENOTDIR; }
bool TDirectoryRead::Unreadable() const { return Error != 0 && !Missing(); }

TDirectoryRead ReadDirectory(const std::string& directory, const std::string& mask) {
  TDirectoryRead result;
  const std::string dir = directory.empty() ? std::string("./") : WithTrailingSlash(directory);
  DIR* handle = ::opendir(dir.c_str());
  if (handle == nullptr) {
    result.Error = errno;
    return result;
  }
  const auto note = [&](int error) {
    if (result.Error == 0) result.Error = error;
  };
  for (;;) {
    errno = 0;  // readdir tells its end from a failure only by errno
    // NOLINTNEXTLINE(concurrency-mt-unsafe): one thread reads each directory stream
    const dirent* entry = ::readdir(handle);
    if (entry == nullptr) {
      if (errno != 0) note(errno);
      break;
    }
    const std::string name = entry->d_name;
    if (!MatchesMask(name, mask)) continue;
    TSearchRec rec;
    rec.Name = name;
    // Relative to the open directory: the kernel need not walk the whole path per entry.
    struct stat linkStat {};
    if (::fstatat(::dirfd(handle), name.c_str(), &linkStat, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) note(errno);  // ENOENT: removed since it was read, so gone indeed
      continue;
    }
    rec.IsSymLink = S_ISLNK(linkStat.st_mode);
    struct stat st = linkStat;
    if (rec.IsSymLink && ::fstatat(::dirfd(handle), name.c_str(), &st, 0) != 0) st = linkStat;  // dangling: a file
    rec.Attr = AttributesOf(name, st);
    rec.IsSpecial = S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode);
    rec.Size = S_ISDIR(st.st_mode) ? 0 : static_cast<int64_t>(st.st_size);
    rec.Time = FromUnixTimeLocal(st.st_mtim.tv_sec, static_cast<int32_t>(st.st_mtim.tv_nsec));
    result.Entries.push_back(std::move(rec));
  }
  ::closedir(handle);
  std::sort(result.Entries.begin(), result.Entries.end(), SearchOrder);
  return result;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && StatPath(path, st) && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  if (path == "/") return true;
  struct stat st {};
  return !path.empty() && StatPath(WithoutTrailingSlashes(path), st) && S_ISDIR(st.st_mode);
}

bool ForceDirectories(const std::string& path) {
  const std::string target = WithoutTrailingSlashes(path);
  if (target.empty()) return false;
  if (DirectoryExists(target)) return true;
  const size_t slash = target.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !ForceDirectories(target.substr(0, slash))) return false;
  return ::mkdir(target.c_str(), 0777) == 0 || (errno == EEXIST && DirectoryExists(target));
}

bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool RemoveDir(const std::string& path) { return ::rmdir(WithoutTrailingSlashes(path).c_str()) == 0; }

int64_t GetFileSize(const std::string& path) {
  struct stat st {};
  if (!StatPath(path, st) || S_ISDIR(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool IsSymbolicLink(const std::string& path) {
  struct stat st {};
  return ::lstat(WithoutTrailingSlashes(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

int64_t FreeBytes(const std::string& path) {
  struct statvfs fs {};
  if (::statvfs(path.c_str(), &fs) != 0) return -1;
  const auto blocks = static_cast<unsigned long long>(fs.f_bavail);
  const auto size = static_cast<unsigned long long>(fs.f_frsize);
  if (size != 0 && blocks > static_cast<unsigned long long>(INT64_MAX) / size) return INT64_MAX;
  return static_cast<int64_t>(blocks * size);
}

bool OthersCanChange(const std::string& path) {
  const std::string plain = WithoutTrailingSlashes(path);
  const auto strangerOwns = [](const struct stat& st) { return st.st_uid != ::geteuid() && st.st_uid != 0; };
  struct stat st {};
  // A link another user owns can be pointed elsewhere by that user, whatever it leads to.
  if (::lstat(plain.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && strangerOwns(st)) return true;
  if (!StatPath(plain, st)) return false;
  return strangerOwns(st) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool ResolvesInside(const std::string& path, const std::string& directory) {
  char* target = ::realpath(path.c_str(), nullptr);
  char* root = ::realpath(directory.c_str(), nullptr);
  bool inside = false;
  if (target != nullptr && root != nullptr) {
    const std::string prefix = WithTrailingSlash(root);
    inside = std::string_view(target).substr(0, prefix.size()) == prefix;
  }
  std::free(target);
  std::free(root);
  return inside;
}

std::string ErrorText(int error) {
  char buffer[256];
  return ::strerror_r(error, buffer, sizeof buffer);  // the GNU form: returns the text
}

bool IsNoSpaceError(int error) { return error == ENOSPC || error == EDQUOT; }

bool GetFileTimeLocal(const std::string& path, TDateTime& time) {
  struct stat st {};
  if (!StatPath(path, st)) return false;
  time = FromUnixTimeLocal(st.st_mtim.tv_sec, static_cast<int32_t>(st.st_mtim.tv_nsec));
  return true;
}

bool GetFileTimeLocalUnlessDirectory(const std::string& path, TDateTime& time) {
  struct stat st {};
  if (path.empty() || !StatPath(path, st) || S_ISDIR(st.st_mode)) return false;
  time = FromUnixTimeLocal(st.st_mtim.tv_sec, static_cast<int32_t>(st.st_mtim.tv_nsec));
  return true;
}

bool SetFileTimeLocal(const std::string& path, TDateTime time) {
  const int64_t seconds = ToUnixTimeLocal(time);
  if (seconds == -1) return false;
  const TDateTimeParts parts = DecodeDateTime(time);
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // leave the access time alone
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = static_cast<long>(parts.MilliSecond) * 1'000'000;
  return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

std::string ExtractFilePath(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ExtractFileName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

bool WriteAll(int fd, const std::string& content) {
  const char* data = content.data();
  size_t left = content.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

std::string TemporaryNameFor(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return ExtractFilePath(path) + "." + ExtractFileName(path) + ".tmp" + std::to_string(::getpid()) + "." +
         std::to_string(counter++);
}

// Removes the temporaries of `path` that processes left when they were killed between
// creating one and renaming it (each process names its own, so they would pile up). Only
// those of processes that no longer exist: a living writer's temporary is its business.
void RemoveStaleTemporaries(const std::string& path) {
  const std::string directory = ExtractFilePath(path);
  const std::string prefix = "." + ExtractFileName(path) + ".tmp";
  DIR* entries = ::opendir(directory.empty() ? "." : directory.c_str());
  if (entries == nullptr) return;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): one thread reads each directory stream
  while (const dirent* entry = ::readdir(entries)) {
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const size_t dot = name.find('.', prefix.size());
    const std::string digits = name.substr(prefix.size(), dot == std::string::npos ? dot : dot - prefix.size());
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t writer = static_cast<pid_t>(std::stol(digits));
    if (writer != ::getpid() && ::kill(writer, 0) != 0 && errno == ESRCH) ::unlink((directory + name).c_str());
  }
  ::closedir(entries);
}

}  // namespace

void WriteFileAtomic(const std::string& path, const std::string& content, unsigned mode) {
  const std::string temporary = TemporaryNameFor(path);
  struct stat old {};
  // An existing file keeps its permissions; a new one gets the mode asked for, or the one
  // open() gives under the umask.
  const bool existed = StatPath(path, old);
  const bool fromUmask = !existed && mode == ModeFromUmask;
  const mode_t fileMode = existed ? (old.st_mode & 07777) : fromUmask ? 0666 : static_cast<mode_t>(mode);
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, fileMode);
  bool ok = fd >= 0;
  if (ok) {
    ok = (fromUmask || ::fchmod(fd, fileMode) == 0) && WriteAll(fd, content) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
  }
  if (!ok) throw EZephlin("Unable to write to " + path);
  RemoveStaleTemporaries(path);
}

bool ReadWholeFile(const std::string& path, std::string& content) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  content.clear();
  char buffer[65536];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return ok;
}

// ---------------------------------------------------------------------------------------
// TTransferFile

bool TTransferFile::OpenRead(const std::string& path) {
  Close();
  // O_NONBLOCK: opening a FIFO would otherwise wait for a writer, beyond any stop request.
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  error_ = fd_ < 0 ? errno : 0;
  path_ = path;
  struct stat st {};
  if (fd_ >= 0 && ::fstat(fd_, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    Close();
    error_ = EINVAL;  // a FIFO, socket or device: nothing to send
  }
  return fd_ >= 0;
}

bool TTransferFile::OpenAppend(const std::string& path) {
  Close();
  // Never through a link, never into a FIFO or device: only a regular file is continued.
  fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  error_ = fd_ < 0 ? errno : 0;
  path_ = path;
  struct stat st {};
  if (fd_ >= 0 && ::fstat(fd_, &st) == 0 && !S_ISREG(st.st_mode)) {
    Close();
    error_ = EINVAL;
  }
  return fd_ >= 0;
}

bool TTransferFile::CreateNew(const std::string& path) {
  Close();
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  error_ = fd_ < 0 ? errno : 0;
  path_ = path;
  return fd_ >= 0;
}

bool TTransferFile::Create(const std::string& path) {
  Close();
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  error_ = fd_ < 0 ? errno : 0;
  path_ = path;
  return fd_ >= 0;
}

bool TTransferFile::CreateTempBeside(const std::string& target) {
  Close();
  size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  // Seeded once per thread: setting up the system's random source for every fetched file
  // cost a noticeable share of a many-file download.
  thread_local std::mt19937_64 random(std::random_device{}() ^ (static_cast<uint64_t>(::getpid()) << 32));
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = dir + "." + name + ".part-";
    for (int i = 0; i < 8; ++i) candidate += kChars[random() % (sizeof kChars - 1)];
    int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      // Keep the permissions of the file it will replace.
      struct stat old {};
      if (::lstat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) ::fchmod(fd, old.st_mode & 07777);
      fd_ = fd;
      path_ = candidate;
      error_ = 0;
      return true;
    }
    if (errno != EEXIST) break;
  }
  error_ = errno;
  return false;
}

bool TTransferFile::Write(const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd_, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

void TTransferFile::Reserve(int64_t length) noexcept {
  if (fd_ < 0 || length <= 0) return;
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return;
  // Keeps the size, so that appending writes still go to the end and a transfer cut off
  // leaves a file whose size says what came. Marked whatever the result: a failure part-way
  // may have set aside some of it.
  reserved_ = true;
  (void)::fallocate(fd_, FALLOC_FL_KEEP_SIZE, st.st_size, length);
}

bool TTransferFile::Read(char* data, size_t length, size_t& got) {
  got = 0;
  for (;;) {
    const ssize_t n = ::read(fd_, data, length);
    if (n >= 0) {
      got = static_cast<size_t>(n);
      return true;
    }
    if (errno != EINTR) {
      error_ = errno;
      return false;
    }
  }
}

bool TTransferFile::ReadAt(int64_t offset, char* data, size_t length, size_t& got) {
  got = 0;
  while (got < length) {
    const ssize_t n = ::pread(fd_, data + got, length - got, static_cast<off_t>(offset) + static_cast<off_t>(got));
    if (n == 0) break;
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (errno != EINTR) {
      error_ = errno;
      return false;
    }
  }
  return true;
}

int64_t TTransferFile::Size() const {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool TTransferFile::Close() noexcept {
  if (fd_ < 0) return true;
  // A truncation to the size it has frees the blocks reserved past it that were not written.
  struct stat st {};
  if (reserved_ && ::fstat(fd_, &st) == 0) (void)::ftruncate(fd_, st.st_size);
  reserved_ = false;
  int rc = ::close(fd_);
  fd_ = -1;
  if (rc != 0) error_ = errno;
  return rc == 0;
}

bool TTransferFile::Rename(const std::string& from, const std::string& to, int& error) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  error = errno;
  return false;
}

void TTransferFile::Remove(const std::string& path) noexcept { ::unlink(path.c_str()); }

bool TTransferFile::Exists(const std::string& path) { return FileExists(path); }

bool RemoveUnlessRegularFile(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (S_ISREG(st.st_mode)) return true;
  return S_ISDIR(st.st_mode) ? ::rmdir(path.c_str()) == 0 : ::unlink(path.c_str()) == 0;
}
