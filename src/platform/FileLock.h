#pragma once
// An exclusive advisory lock (flock) on a file or a directory, held while the object lives
// and released by the kernel when the process ends, however it ends. The lock belongs to the
// open file, so two locks on the same path conflict also within one process. A path ending
// in "/" locks that directory itself (it need not be writable); any other path locks that
// file, created empty when missing.

#include <string>

class TFileLock {
 public:
  enum TState {
    Held,    // this object holds the lock
    Busy,    // someone else holds it
    Failed,  // the path could not be opened; ErrorText() says why
  };

  // Tries once and never waits.
  explicit TFileLock(const std::string& path);
  ~TFileLock();
  TFileLock(const TFileLock&) = delete;
  TFileLock& operator=(const TFileLock&) = delete;

  TState State() const { return FState; }
  const std::string& ErrorText() const { return FError; }

 private:
  int FFd = -1;
  TState FState = Failed;
  std::string FError;
};

// The hidden lock file that stands for a file which is replaced by renaming (a lock on the
// file itself would stay with the old copy): "dir/name" -> "dir/.name.lock".
std::string LockFileNameFor(const std::string& path);
