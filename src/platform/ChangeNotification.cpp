#include "platform/ChangeNotification.h"

#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/Text.h"

namespace {

constexpr uint32_t nameEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

bool IsSubDirectory(const std::string& parent, const dirent& entry) {
  if (entry.d_type == DT_DIR) return true;
  if (entry.d_type != DT_UNKNOWN) return false;  // a symbolic link is never followed
  struct stat info {};
  return lstat((parent + "/" + entry.d_name).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsDotOrDotDot(const char* name) { return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)); }

}  // namespace

uint32_t InotifyMaskForFilter(uint32_t filter) {
  uint32_t mask = 0;
  if (filter & (ncFileName | ncDirName)) mask |= nameEvents;
  if (filter & ncAttributes) mask |= IN_ATTRIB;
  if (filter & ncSize) mask |= IN_MODIFY;
  if (filter & ncLastWrite) mask |= IN_MODIFY | IN_ATTRIB;
  if (filter & ncLastAccess) mask |= IN_ACCESS;
  if (filter & ncCreation) mask |= IN_CREATE;
  return mask;
}

// ---------------------------------------------------------------------------------------------
// TChangeNotification

TChangeNotification::TChangeNotification(int fd, uint32_t filter, bool subtree)
    : fd_(fd), filter_(filter), subtree_(subtree) {}

TChangeNotification::~TChangeNotification() { close(fd_); }

// Watches path and, with a subtree, every directory below it (symbolic links are not
// followed, so there are no loops). foundEntries tells whether any directory held entries,
// which matters for a directory that appeared after the notification was set up: whatever
// was made in it before its watch existed has to count as a change.
bool TChangeNotification::WatchTree(const std::string& path, bool isRoot, bool& foundEntries) {
  uint32_t mask = InotifyMaskForFilter(filter_) | IN_ONLYDIR;
  if (subtree_) mask |= IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM;  // to follow new directories
  if (!isRoot) mask |= IN_DONT_FOLLOW;
  const int wd = inotify_add_watch(fd_, path.c_str(), mask);
  if (wd < 0) return false;  // a sub-directory that vanished or hit the watch limit is skipped
  watches_[wd] = path;
  if (isRoot) rootWatch_ = wd;
  if (!subtree_) return true;

  DIR* dir = opendir(path.c_str());
  if (!dir) return true;
  std::vector<std::string> subDirectories;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): one thread reads each directory stream
  while (const dirent* entry = readdir(dir)) {
    if (IsDotOrDotDot(entry->d_name)) continue;
    foundEntries = true;
    if (IsSubDirectory(path, *entry)) subDirectories.push_back(path + "/" + entry->d_name);
  }
  closedir(dir);
  for (const auto& sub : subDirectories) WatchTree(sub, false, foundEntries);
  return true;
}

// A directory moved out of the tree keeps its watches in the kernel; drop them so changes
// outside the tree are not reported.
void TChangeNotification::Unwatch(const std::string& path) {
  for (auto it = watches_.begin(); it != watches_.end();) {
    const std::string& watched = it->second;
    const bool inside = watched == path || watched.rfind(path + "/", 0) == 0;
    if (inside && it->first != rootWatch_) {
      inotify_rm_watch(fd_, it->first);
      it = watches_.erase(it);
    } else {
      ++it;
    }
  }
}

bool TChangeNotification::IsWanted(uint32_t mask) const {
  const bool isDirectory = mask & IN_ISDIR;
  if ((filter_ & ncFileName) && !isDirectory && (mask & nameEvents)) return true;
  if ((filter_ & ncDirName) && isDirectory && (mask & nameEvents)) return true;
  if ((filter_ & ncAttributes) && (mask & IN_ATTRIB)) return true;
  if ((filter_ & ncSize) && (mask & IN_MODIFY)) return true;
  if ((filter_ & ncLastWrite) && (mask & (IN_MODIFY | IN_ATTRIB))) return true;
  if ((filter_ & ncLastAccess) && (mask & IN_ACCESS)) return true;
  if ((filter_ & ncCreation) && (mask & IN_CREATE)) return true;
  return false;
}

void TChangeNotification::HandleEvent(int wd, uint32_t mask, const std::string& name, bool& changed) {
  if (mask & IN_Q_OVERFLOW) {
    // Events were lost: count it as a change and pick up directories that were missed.
    changed = true;
    if (subtree_ && !broken_) WatchTree(watches_[rootWatch_], false, changed);
    return;
  }
  auto it = watches_.find(wd);
  if (it == watches_.end()) return;  // a watch already dropped
  if (mask & IN_IGNORED) {
    if (wd == rootWatch_) broken_ = true;
    watches_.erase(it);
    return;
  }
  if (name.empty()) return;  // about the watched directory itself, not its entries
  const std::string path = it->second + "/" + name;
  if (subtree_ && (mask & IN_ISDIR)) {
    if (mask & (IN_CREATE | IN_MOVED_TO)) WatchTree(path, false, changed);
    if (mask & IN_MOVED_FROM) Unwatch(path);
  }
  if (IsWanted(mask)) changed = true;
}

bool TChangeNotification::ReadEvents() {
  alignas(inotify_event) char buffer[16384];
  bool changed = false;
  for (;;) {
    const ssize_t length = read(fd_, buffer, sizeof buffer);
    if (length <= 0) break;  // EAGAIN: everything queued has been read
    for (ssize_t offset = 0; offset < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      const std::string name = event->len ? std::string(event->name) : std::string();
      HandleEvent(event->wd, event->mask, name, changed);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return changed;
}

// ---------------------------------------------------------------------------------------------
// The four operations

std::unique_ptr<TChangeNotification> FindFirstChangeNotification(const std::string& directory, bool watchSubtree,
                                                                 uint32_t filter) {
  const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return nullptr;
  std::unique_ptr<TChangeNotification> notification(new TChangeNotification(fd, filter, watchSubtree));
  bool foundEntries = false;
  if (directory.empty() || !notification->WatchTree(WithoutTrailingSlashes(directory), true, foundEntries)) {
    return nullptr;
  }
  return notification;
}

TChangeWait WaitForChangeOrStop(TChangeNotification& notification, TStopEvent& stop) {
  for (;;) {
    if (stop.TryReset()) return TChangeWait::Stopped;
    if (notification.signalled_) return TChangeWait::Changed;
    if (notification.broken_) return TChangeWait::Failed;
    pollfd fds[2] = {{stop.Fd(), POLLIN, 0}, {notification.fd_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      notification.broken_ = true;  // a wait that fails once would fail again at once
      return TChangeWait::Failed;
    }
    if ((fds[1].revents & POLLIN) && notification.ReadEvents()) notification.signalled_ = true;
  }
}

bool FindNextChangeNotification(TChangeNotification& notification) {
  notification.signalled_ = false;
  return !notification.broken_;
}

void FindCloseChangeNotification(std::unique_ptr<TChangeNotification>& notification) { notification.reset(); }
