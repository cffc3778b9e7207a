#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/FileHandle.h"
#include "platform/FileSystem.h"
#include "support/TempDir.h"

namespace {

std::string ReadAll(TRegularFileReader& file) {
  std::string content;
  char buffer[3];  // smaller than the content: the reads go on from where the last stopped
  size_t got = 0;
  while (file.Read(buffer, sizeof buffer, got) && got > 0) content.append(buffer, got);
  return content;
}

}  // namespace

// Opened by path and relative to the directory alike: only regular files (also through a
// link) open, and a FIFO without a writer neither blocks nor opens.
TEST(FileHandle, OpensRegularFilesOnly) {
  TempDir dir;
  WriteFileAtomic(dir.path() + "data.bin", "0123456");
  WriteFileAtomic(dir.path() + "empty", "");
  ASSERT_TRUE(ForceDirectories(dir.path() + "sub/"));
  ASSERT_EQ(::mkfifo((dir.path() + "fifo").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("data.bin", (dir.path() + "link").c_str()), 0);
  struct TCase {
    const char* Name;
    bool Opens;
    int64_t Size;
    const char* Content;
  };
  const TCase cases[] = {
      {"data.bin", true, 7, "0123456"}, {"link", true, 7, "0123456"}, {"empty", true, 0, ""}, {"sub", false, 0, ""},
      {"fifo", false, 0, ""},           {"missing", false, 0, ""},
  };
  const TDirectoryHandle directory(dir.path());
  ASSERT_TRUE(directory.IsOpen());
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TRegularFileReader byPath, byName;
    ASSERT_EQ(byPath.Open(dir.path() + c.Name), c.Opens);
    ASSERT_EQ(byName.OpenAt(directory, c.Name), c.Opens);
    if (!c.Opens) continue;
    EXPECT_EQ(byPath.Size(), c.Size);
    EXPECT_EQ(byName.Size(), c.Size);
    EXPECT_EQ(ReadAll(byPath), c.Content);
    EXPECT_EQ(ReadAll(byName), c.Content);
  }
}

TEST(FileHandle, NothingOpensInADirectoryThatIsNotOpen) {
  TempDir dir;
  WriteFileAtomic(dir.path() + "a", "x");
  const TDirectoryHandle missing(dir.path() + "missing/");
  const TDirectoryHandle ofAFile(dir.path() + "a");
  const TDirectoryHandle never;
  for (const TDirectoryHandle* directory : {&missing, &ofAFile, &never}) {
    EXPECT_FALSE(directory->IsOpen());
    TRegularFileReader file;
    EXPECT_FALSE(file.OpenAt(*directory, "a"));
    EXPECT_TRUE(file.Open(dir.path() + "a"));
  }
}
