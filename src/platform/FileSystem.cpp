#include "platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>

#include "platform/Errors.h"

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

std::string WithoutTrailingSlash(const std::string& path) {
  if (path.size() > 1 && path.back() == '/') return path.substr(0, path.size() - 1);
  return path;
}

}  // namespace

bool MatchesMask(const std::string& name, const std::string& mask) {
  if (mask == "*" || mask == "*.*") return true;
  return ::fnmatch(mask.c_str(), name.c_str(), FNM_CASEFOLD) == 0;
}

std::vector<TSearchRec> FindFiles(const std::string& directory, const std::string& mask) {
  std::vector<TSearchRec> result;
  const std::string dir = directory.empty() ? std::string("./") : IncludeTrailingSlash(directory);
  DIR* handle = ::opendir(dir.c_str());
  if (handle == nullptr) return result;
  while (const dirent* entry = ::readdir(handle)) {
    const std::string name = entry->d_name;
    if (!MatchesMask(name, mask)) continue;
    TSearchRec rec;
    rec.Name = name;
    // Relative to the open directory: the kernel need not walk the whole path per entry.
    struct stat linkStat {};
    if (::fstatat(::dirfd(handle), name.c_str(), &linkStat, AT_SYMLINK_NOFOLLOW) != 0) continue;
    rec.IsSymLink = S_ISLNK(linkStat.st_mode);
    struct stat st = linkStat;
    if (rec.IsSymLink && ::fstatat(::dirfd(handle), name.c_str(), &st, 0) != 0) st = linkStat;  // dangling: a file
    rec.Attr = AttributesOf(name, st);
    rec.Size = S_ISDIR(st.st_mode) ? 0 : static_cast<int64_t>(st.st_size);
    rec.Time = FromUnixTimeLocal(st.st_mtim.tv_sec, static_cast<int32_t>(st.st_mtim.tv_nsec));
    result.push_back(std::move(rec));
  }
  ::closedir(handle);
  std::sort(result.begin(), result.end(), SearchOrder);
  return result;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && StatPath(path, st) && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  if (path == "/") return true;
  struct stat st {};
  return !path.empty() && StatPath(WithoutTrailingSlash(path), st) && S_ISDIR(st.st_mode);
}

bool ForceDirectories(const std::string& path) {
  const std::string target = WithoutTrailingSlash(path);
  if (target.empty()) return false;
  if (DirectoryExists(target)) return true;
  const size_t slash = target.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !ForceDirectories(target.substr(0, slash))) return false;
  return ::mkdir(target.c_str(), 0777) == 0 || (errno == EEXIST && DirectoryExists(target));
}

bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool RemoveDir(const std::string& path) { return ::rmdir(WithoutTrailingSlash(path).c_str()) == 0; }

int64_t GetFileSize(const std::string& path) {
  struct stat st {};
  if (!StatPath(path, st) || S_ISDIR(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

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
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

std::string ExtractFilePath(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ExtractFileName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string IncludeTrailingSlash(const std::string& path) {
  return !path.empty() && path.back() == '/' ? path : path + "/";
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
