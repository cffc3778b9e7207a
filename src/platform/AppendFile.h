#pragma once
// A file written as it grows: every Append reaches the kernel at once, so what was appended
// stays in the file however the process ends (a crash, SIGKILL). One owner at a time.

#include <string>

class TAppendFile {
 public:
  TAppendFile() = default;
  ~TAppendFile();
  TAppendFile(const TAppendFile&) = delete;
  TAppendFile& operator=(const TAppendFile&) = delete;

  // Replaces whatever is at path with a new empty file, mode 0666 less the umask. False,
  // with ErrorText() telling why, when it cannot be created.
  bool Create(const std::string& path);
  // Opens the file at path to write at its end, made as Create makes it when it is not there.
  bool Open(const std::string& path);
  // Writes the whole text at the end. False when the write failed; the file is then closed
  // and later appends do nothing.
  bool Append(const std::string& text);
  bool IsOpen() const { return FFd >= 0; }
  void Close();
  const std::string& ErrorText() const { return FError; }

 private:
  int FFd = -1;
  std::string FError;
};

// Adds text at the end of the file at path, made with mode 0666 less the umask when it is
// not there, in one write: lines that two writers append each stay whole. False, with
// AError telling why, when it could not be written.
bool AppendToFile(const std::string& path, const std::string& text, std::string& AError);
