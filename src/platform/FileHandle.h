#pragma once
// Files opened by descriptor, for the places that read many files in a row and count the
// system calls: one open and one status query per file, and files of one directory opened
// relative to that directory. Each object is used by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <string>

// An open directory, so that its files can be opened by name without the kernel walking the
// directory's whole path again for each of them. A directory that cannot be opened gives a
// handle that is not open.
class TDirectoryHandle {
 public:
  TDirectoryHandle() = default;  // not open
  explicit TDirectoryHandle(const std::string& path);
  ~TDirectoryHandle();
  TDirectoryHandle(const TDirectoryHandle&) = delete;
  TDirectoryHandle& operator=(const TDirectoryHandle&) = delete;

  bool IsOpen() const { return FFd >= 0; }

 private:
  friend class TRegularFileReader;
  int FFd = -1;
};

// A regular file opened for reading. Opening never blocks (a FIFO would wait for a writer),
// and anything but a regular file counts as not opened: only regular files have content.
class TRegularFileReader {
 public:
  TRegularFileReader() = default;
  ~TRegularFileReader();
  TRegularFileReader(const TRegularFileReader&) = delete;
  TRegularFileReader& operator=(const TRegularFileReader&) = delete;

  // False when the file is missing, unreadable or not a regular file.
  bool Open(const std::string& path);
  // `name` in `directory`; false also when the directory is not open.
  bool OpenAt(const TDirectoryHandle& directory, const std::string& name);

  int64_t Size() const { return FSize; }  // in bytes, as it was when opened
  // Up to `length` bytes from the current position, `got` 0 at the end of the file; false on
  // a read error. An interrupted read is retried.
  bool Read(void* data, size_t length, size_t& got);

 private:
  // Takes the result of an open call; keeps it only when it is a regular file.
  bool Adopt(int fd);
  void Close();

  int FFd = -1;
  int64_t FSize = 0;
};
