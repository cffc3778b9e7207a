#pragma once
// TempDir: a fresh temporary directory, removed with everything in it by the destructor.
//
//   TempDir dir;                       // /tmp/zephlin-XXXXXX/
//   std::string file = dir.path() + "a.txt";

#include <string>

// A whole file's bytes ("" when it cannot be read), and a file written with exactly these bytes.
std::string ReadTextFile(const std::string& path);
void WriteTextFile(const std::string& path, const std::string& content);

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory's absolute path, ending in "/".
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};
