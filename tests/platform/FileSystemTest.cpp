#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "platform/Shell.h"
#include "platform/Text.h"
#include "support/TempDir.h"

namespace {
void Touch(const std::string& path, const std::string& content = "x") { WriteFileAtomic(path, content); }

std::vector<std::string> Names(const std::vector<TSearchRec>& entries) {
  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(e.Name);
  return names;
}
}  // namespace

TEST(FileSystem, EnumerationIsSortedWithDotsFirstAndAttributes) {
  TempDir dir;
  Touch(dir.path() + "b.TXT", "12345");
  Touch(dir.path() + "a.htm");
  Touch(dir.path() + ".hidden");
  ASSERT_TRUE(ForceDirectories(dir.path() + "Sub/deeper/"));
  Touch(dir.path() + "ro.txt");
  ::chmod((dir.path() + "ro.txt").c_str(), 0444);
  ASSERT_EQ(::symlink((dir.path() + "Sub").c_str(), (dir.path() + "link").c_str()), 0);

  const auto all = FindFiles(dir.path(), "*.*");
  EXPECT_EQ(Names(all), (std::vector<std::string>{".", "..", ".hidden", "Sub", "a.htm", "b.TXT", "link", "ro.txt"}));
  for (const auto& e : all) {
    if (e.Name == "." || e.Name == ".." || e.Name == "Sub" || e.Name == "link") {
      EXPECT_TRUE(e.Attr & faDirectory) << e.Name;
    }
    if (e.Name == ".hidden" || e.Name == ".") {
      EXPECT_TRUE(e.Attr & faHidden) << e.Name;
    }
    if (e.Name == "b.TXT") {
      EXPECT_EQ(e.Size, 5);
    }
    if (e.Name == "ro.txt") {
      EXPECT_TRUE(e.Attr & faReadOnly);
    }
    if (e.Name == "a.htm") {
      EXPECT_EQ(e.Attr, 0u);
    }
    EXPECT_EQ(e.IsSymLink, e.Name == "link") << e.Name;
  }
  EXPECT_EQ(Names(FindFiles(dir.path(), "*.txt")), (std::vector<std::string>{"b.TXT", "ro.txt"}));
  EXPECT_EQ(Names(FindFiles(dir.path(), "?.HTM")), (std::vector<std::string>{"a.htm"}));
  EXPECT_TRUE(FindFiles(dir.path() + "missing/", "*").empty());
}

TEST(FileSystem, ExistenceCreationDeletion) {
  TempDir dir;
  EXPECT_TRUE(DirectoryExists("/"));
  EXPECT_TRUE(DirectoryExists(dir.path()));
  EXPECT_FALSE(FileExists(dir.path()));
  ASSERT_TRUE(ForceDirectories(dir.path() + "a/b/c"));
  EXPECT_TRUE(DirectoryExists(dir.path() + "a/b/c/"));
  Touch(dir.path() + "a/f");
  EXPECT_TRUE(FileExists(dir.path() + "a/f"));
  EXPECT_FALSE(ForceDirectories(dir.path() + "a/f/g")) << "a file is in the way";
  EXPECT_EQ(GetFileSize(dir.path() + "a/f"), 1);
  EXPECT_EQ(GetFileSize(dir.path() + "a/none"), -1);
  EXPECT_TRUE(DeleteFile(dir.path() + "a/f"));
  EXPECT_FALSE(DeleteFile(dir.path() + "a/f"));
  EXPECT_FALSE(RemoveDir(dir.path() + "a/b")) << "not empty";
  EXPECT_TRUE(RemoveDir(dir.path() + "a/b/c/"));
}

// Room reserved for a download that then comes short (cut off, or a file that shrank) is
// neither counted in the size nor kept on disk, also when appending to what is there.
TEST(FileSystem, ReservedRoomNeverShowsInTheFile) {
  TempDir dir;
  const std::string path = dir.path() + "partial";
  for (bool append : {false, true}) {
    TTransferFile file;
    ASSERT_TRUE(append ? file.OpenAppend(path) : file.Create(path));
    file.Reserve(int64_t{8} << 20);
    ASSERT_TRUE(file.Write("0123456789", 10));
    EXPECT_EQ(file.Size(), append ? 20 : 10) << "append " << append;
    ASSERT_TRUE(file.Close());
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, append ? 20 : 10);
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << "reserved blocks freed at close, append " << append;
  }
}

TEST(FileSystem, FileTimesRoundTripInLocalTime) {
  TempDir dir;
  const std::string path = dir.path() + "f";
  Touch(path);
  const TDateTime when = EncodeDateTime({2019, 3, 31, 2, 30, 0, 0});  // near a DST change in many zones
  const TDateTime winter = EncodeDateTime({2020, 1, 15, 13, 45, 10, 0});
  ASSERT_TRUE(SetFileTimeLocal(path, winter));
  TDateTime read = 0;
  ASSERT_TRUE(GetFileTimeLocal(path, read));
  EXPECT_EQ(FormatTimeStamp(read), "13:45:10:000");
  EXPECT_EQ(DayCount(read), DayCount(winter));
  EXPECT_TRUE(SetFileTimeLocal(path, when));
  EXPECT_FALSE(GetFileTimeLocal(dir.path() + "missing", read));

  TDateTime ofFile = 0;
  ASSERT_TRUE(GetFileTimeLocalUnlessDirectory(path, ofFile));
  ASSERT_TRUE(GetFileTimeLocal(path, read));
  EXPECT_EQ(ofFile, read);
  EXPECT_TRUE(GetFileTimeLocal(dir.path(), read));                    // a directory has a time ...
  EXPECT_FALSE(GetFileTimeLocalUnlessDirectory(dir.path(), ofFile));  // ... but is no file
  EXPECT_FALSE(GetFileTimeLocalUnlessDirectory(dir.path() + "missing", ofFile));
  EXPECT_FALSE(GetFileTimeLocalUnlessDirectory("", ofFile));
}

TEST(FileSystem, PathPartsAndAtomicWrite) {
  EXPECT_EQ(ExtractFilePath("/a/b/c.txt"), "/a/b/");
  EXPECT_EQ(ExtractFileName("/a/b/c.txt"), "c.txt");
  EXPECT_EQ(ExtractFilePath("c.txt"), "");
  EXPECT_EQ(WithTrailingSlash("/a"), "/a/");
  TempDir dir;
  WriteFileAtomic(dir.path() + "f", "one", 0600);
  WriteFileAtomic(dir.path() + "f", "two");
  std::string content;
  ASSERT_TRUE(ReadWholeFile(dir.path() + "f", content));
  EXPECT_EQ(content, "two");
  struct stat st {};
  ::stat((dir.path() + "f").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "a rewrite keeps the file's mode";
  EXPECT_EQ(FindFiles(dir.path(), "*").size(), 3u);
}

TEST(ProgramDir, RealDirectoryHoldsTheExecutableAndTestsCanRedirect) {
  EXPECT_TRUE(FileExists(ExecutableName()));
  EXPECT_EQ(ProgramDirectory(), ExtractFilePath(ExecutableName()));
  SetProgramDirectory("/tmp/somewhere");
  EXPECT_EQ(ProgramDirectory(), "/tmp/somewhere/");
  SetProgramDirectory("");
  EXPECT_EQ(ProgramDirectory(), ExtractFilePath(ExecutableName()));
}

TEST(Shell, OpenGoesToTheInstalledHandlerOnly) {
  OpenWithAssociatedProgram("/nothing/happens");  // no handler: must be harmless
  std::vector<std::string> opened;
  SetOpenHandler([&](const std::string& path) { opened.push_back(path); });
  OpenWithAssociatedProgram("/x/testlog.txt");
  SetOpenHandler(nullptr);
  OpenWithAssociatedProgram("/y");
  EXPECT_EQ(opened, std::vector<std::string>{"/x/testlog.txt"});
}
