#pragma once
// Directory change notification: ask for a notification on a directory (optionally with its
// whole subtree) for a filter of change kinds, wait until a change or a stop event is
// signalled, renew the notification, close it. On inotify, with an eventfd as the stop event.
//
// Threads: a TChangeNotification belongs to the one thread that waits on it. TStopEvent::Set
// (TAutoResetEvent) may be called from any thread.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/Thread.h"

// Change kinds; a filter is the sum of the bits wanted.
enum : uint32_t {
  ncFileName = 0x01,    // a file created, deleted or renamed
  ncDirName = 0x02,     // a directory created, deleted or renamed
  ncAttributes = 0x04,  // attributes (permissions, owner, times set explicitly)
  ncSize = 0x08,        // a file's content written
  ncLastWrite = 0x10,   // a file's content written, or its time set
  ncLastAccess = 0x20,  // a file read
  ncCreation = 0x40,    // an entry created
};

// The inotify events that report the change kinds of a filter.
uint32_t InotifyMaskForFilter(uint32_t filter);

// The stop event of a wait: Set from any thread.
using TStopEvent = TAutoResetEvent;

enum class TChangeWait { Changed, Stopped, Failed };

class TChangeNotification {
 public:
  ~TChangeNotification();
  TChangeNotification(const TChangeNotification&) = delete;
  TChangeNotification& operator=(const TChangeNotification&) = delete;

 private:
  friend std::unique_ptr<TChangeNotification> FindFirstChangeNotification(const std::string&, bool, uint32_t);
  friend TChangeWait WaitForChangeOrStop(TChangeNotification&, TStopEvent&);
  friend bool FindNextChangeNotification(TChangeNotification&);

  TChangeNotification(int fd, uint32_t filter, bool subtree);
  bool WatchTree(const std::string& path, bool isRoot, bool& foundEntries);
  void HandleEvent(int wd, uint32_t mask, const std::string& name, bool& changed);
  void Unwatch(const std::string& path);
  bool ReadEvents();  // true when a change of the filter's kinds was seen
  bool IsWanted(uint32_t mask) const;

  int fd_;
  uint32_t filter_;
  bool subtree_;
  int rootWatch_ = -1;
  bool broken_ = false;  // the directory went away, or waiting failed
  bool signalled_ = false;
  std::map<int, std::string> watches_;  // watch descriptor -> directory path
};

// A notification on directory (with every sub-directory, including ones created later, when
// watchSubtree), or null when the directory cannot be watched.
std::unique_ptr<TChangeNotification> FindFirstChangeNotification(const std::string& directory, bool watchSubtree,
                                                                 uint32_t filter);

// Waits without a time limit until stop is set (checked first) or a change of the filter's
// kinds happens. A change stays signalled until FindNextChangeNotification.
TChangeWait WaitForChangeOrStop(TChangeNotification& notification, TStopEvent& stop);

// Renews the notification for the next change; false when the directory is no longer
// watched (it was removed) or waiting on it failed.
bool FindNextChangeNotification(TChangeNotification& notification);

// Closes it (the same as destroying it).
void FindCloseChangeNotification(std::unique_ptr<TChangeNotification>& notification);
