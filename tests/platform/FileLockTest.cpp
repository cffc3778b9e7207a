// Locks on files and folders, and the settings file's mode.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/FileLock.h"
#include "platform/FileSystem.h"
#include "platform/ProfileFile.h"
#include "support/TempDir.h"

namespace {

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A lock on a file and one on a folder behave alike.
class FileLockTest : public ::testing::TestWithParam<const char*> {
 protected:
  TempDir dir;
  std::string Path() const { return dir.path() + GetParam(); }
};

TEST_P(FileLockTest, OneHolderAtATimeAndReleasedWithIt) {
  auto first = std::make_unique<TFileLock>(Path());
  EXPECT_EQ(first->State(), TFileLock::Held) << first->ErrorText();
  {
    // Another open of the same path, as another copy of the program makes it.
    const TFileLock second(Path());
    EXPECT_EQ(second.State(), TFileLock::Busy);
  }
  first.reset();
  const TFileLock third(Path());
  EXPECT_EQ(third.State(), TFileLock::Held);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FileLockTest, ::testing::Values("store.lock", ""),
                         [](const ::testing::TestParamInfo<const char*>& kind) {
                           return std::string(*kind.param == '\0' ? "Folder" : "File");
                         });

TEST(FileLock, AMissingFolderFailsAndNamesTheReason) {
  TempDir dir;
  const TFileLock lock(dir.path() + "missing/");
  EXPECT_EQ(lock.State(), TFileLock::Failed);
  EXPECT_FALSE(lock.ErrorText().empty());
  EXPECT_EQ(LockFileNameFor("/srv/zephlin/1A2B.crc"), "/srv/zephlin/.1A2B.crc.lock");
}

TEST(ProfileFileMode, SettingsAreWrittenPrivateAlsoOverAMoreOpenFile) {
  TempDir dir;
  const std::string ini = dir.path() + "zephlin.ini";
  WriteFileAtomic(ini, "[global]\n", 0644);
  TProfileFile profile;
  profile.Load(ini);
  profile.WriteString("global", "sessions", "0");
  profile.Save(ini);
  EXPECT_EQ(ModeOf(ini), 0600u);
  std::string content;
  ASSERT_TRUE(ReadWholeFile(ini, content));
  EXPECT_EQ(content, "[global]\nsessions=0\n");
}

}  // namespace
