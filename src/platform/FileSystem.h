#pragma once
// Files and directories, and the local files that data transfers stream from and into.
// Local paths use "/"; a path ending in "/" names a directory. Safe to call from any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/DateTime.h"

// Attribute bits of an enumerated entry.
enum : uint32_t {
  faReadOnly = 0x01,   // the owner's write permission bit is clear
  faHidden = 0x02,     // the name begins with "."
  faDirectory = 0x10,  // a directory, after following a symbolic link
};

struct TSearchRec {
  std::string Name;    // the entry's name, without its directory
  uint32_t Attr = 0;   // fa... bits
  int64_t Size = 0;    // bytes; 0 for directories
  TDateTime Time = 0;  // last write, local time
  bool IsSymLink = false;
  bool IsSpecial = false;  // a FIFO, socket or device (after following a link): no content to send
};

// The entries of a directory whose names match the mask, sorted by name in byte order with
// "." and ".." first. "*.*" and "*" match every name; otherwise fnmatch rules, ASCII letters
// compared without regard to case. An unreadable or missing directory gives an empty list.
std::vector<TSearchRec> FindFiles(const std::string& directory, const std::string& mask);
// The same, telling a directory that could not be read (or not wholly) from one that holds
// nothing: Error is the errno of the first failure (ENOENT for a missing directory), 0 when
// every entry was read. Entries then hold what was read before and after the failure.
struct TDirectoryRead {
  std::vector<TSearchRec> Entries;
  int Error = 0;
  bool Missing() const;     // the directory does not exist
  bool Unreadable() const;  // it exists but was not read whole
};
TDirectoryRead ReadDirectory(const std::string& directory, const std::string& mask);
bool MatchesMask(const std::string& name, const std::string& mask);
// fnmatch rules, letter case significant; with `pathName`, "*", "?" and "[...]" never match
// a "/" (FNM_PATHNAME).
bool MatchesPattern(const std::string& text, const std::string& pattern, bool pathName);

bool FileExists(const std::string& path);        // exists and is not a directory
bool DirectoryExists(const std::string& path);   // "/" always exists
bool ForceDirectories(const std::string& path);  // creates it with its parents; true when it exists after
bool DeleteFile(const std::string& path);        // true when it was removed
bool RemoveDir(const std::string& path);         // an empty directory; true when removed
int64_t GetFileSize(const std::string& path);    // -1 when it cannot be read
bool IsSymbolicLink(const std::string& path);    // the path itself is a link (not followed)
// Whether users other than this one (and root) could change what `path` holds: it is
// writable by its group or by others, or owned by another user, or it is a symbolic link
// that another user owns. False when it does not exist.
bool OthersCanChange(const std::string& path);
// Whether `path`, with every link on its way followed, leads to an entry inside `directory`
// (itself resolved the same way); false when either cannot be resolved.
bool ResolvesInside(const std::string& path, const std::string& directory);
// The system's text for an errno value ("Permission denied").
std::string ErrorText(int error);
// Whether an errno value says the file system is full (no space, or the user's quota spent).
bool IsNoSpaceError(int error);
// The bytes this user may still write to the file system that holds `path` (at most
// INT64_MAX); -1 when it cannot be told.
int64_t FreeBytes(const std::string& path);

// Last-write time in local time; returns false when the file cannot be read or changed.
// Setting it never follows a symbolic link: a link gets the time itself.
bool GetFileTimeLocal(const std::string& path, TDateTime& time);
// The same for a path that exists and is not a directory (FileExists), in one look at it.
bool GetFileTimeLocalUnlessDirectory(const std::string& path, TDateTime& time);
bool SetFileTimeLocal(const std::string& path, TDateTime time);

// Splits at the last "/": "a/b/c.txt" -> "a/b/" and "c.txt".
std::string ExtractFilePath(const std::string& path);
std::string ExtractFileName(const std::string& path);

// Writes the whole content to a temporary file in the same directory and renames it over the
// target, so readers see the old file or the new one, never a torn one. Throws EZephlin
// "Unable to write to <path>" when the file system refuses; the old file then stays whole.
// An existing file keeps its mode; a new one gets `mode` (0600 for files that hold
// passwords), or with ModeFromUmask 0666 less the process's umask, as the user set it.
inline constexpr unsigned ModeFromUmask = ~0u;
void WriteFileAtomic(const std::string& path, const std::string& content, unsigned mode = ModeFromUmask);

// Removes what is at `path` unless it is a regular file: a symbolic link (not followed), a
// FIFO, socket or device, an empty directory. True when a regular file or nothing is left.
bool RemoveUnlessRegularFile(const std::string& path);

// Reads a whole file; false when it does not exist or cannot be read.
bool ReadWholeFile(const std::string& path, std::string& content);

// A local file that a data transfer reads from or writes into (a thin owner of a descriptor).
// Each operation returns false on failure; LastError() then holds errno.
class TTransferFile {
 public:
  TTransferFile() = default;
  ~TTransferFile() { Close(); }
  TTransferFile(const TTransferFile&) = delete;
  TTransferFile& operator=(const TTransferFile&) = delete;

  // Opens for reading, others free to read and write it. Never waits for a FIFO's writer:
  // anything but a regular file (or a directory) fails with EINVAL.
  bool OpenRead(const std::string& path);
  // Opens a regular file for writing at its end (resume); a symbolic link, FIFO or device
  // there fails (ELOOP, EINVAL).
  bool OpenAppend(const std::string& path);
  // Creates the file, or empties it when it exists (mode 0666 less the umask when new).
  bool Create(const std::string& path);
  // Creates a file that does not exist yet (mode 0666 less the umask); anything at the path,
  // a symbolic link included, fails it (EEXIST).
  bool CreateNew(const std::string& path);
  // Creates a new hidden file "<dir>.<name>.part-XXXXXX" beside `target` (mode 0644 less
  // the umask); Path() gives its name.
  bool CreateTempBeside(const std::string& target);
  bool Write(const char* data, size_t length);  // all of it
  // Sets aside room for `length` more bytes past the current end, without changing the size,
  // so that the writes that follow find their blocks ready instead of allocating them a page
  // at a time. Only a hint: a file system that cannot do it is written as before. Close()
  // gives back what was set aside and not written.
  void Reserve(int64_t length) noexcept;
  // Up to `length` bytes from the current position; `got` 0 at the end of the file.
  bool Read(char* data, size_t length, size_t& got);
  // Up to `length` bytes from `offset` (the current position stays); `got` less at the end.
  bool ReadAt(int64_t offset, char* data, size_t length, size_t& got);
  int64_t Size() const;   // -1 on failure
  bool Close() noexcept;  // true when closed cleanly (or not open)
  int Handle() const { return fd_; }
  const std::string& Path() const { return path_; }
  int LastError() const { return error_; }

  // Renames `from` over `to` atomically; false (errno in `error`) on failure.
  static bool Rename(const std::string& from, const std::string& to, int& error);
  static void Remove(const std::string& path) noexcept;
  static bool Exists(const std::string& path);  // exists and is not a directory

 private:
  int fd_ = -1;
  int error_ = 0;
  bool reserved_ = false;
  std::string path_;
};
