// Locks on files and folders, and the modes of the files the program makes.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/AppendFile.h"
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

TEST(AppendFile, EveryAppendIsInTheFileAtOnceAndCreateStartsAnew) {
  TempDir dir;
  const std::string path = dir.path() + "log.txt";
  WriteFileAtomic(path, "an old log");
  TAppendFile file;
  ASSERT_TRUE(file.Create(path)) << file.ErrorText();
  EXPECT_TRUE(file.Append("one\r\n"));
  EXPECT_TRUE(file.Append("two\r\n"));
  std::string content;
  ASSERT_TRUE(ReadWholeFile(path, content));
  EXPECT_EQ(content, "one\r\ntwo\r\n");
  TAppendFile elsewhere;
  EXPECT_FALSE(elsewhere.Create(dir.path() + "missing/log.txt"));
  EXPECT_FALSE(elsewhere.Append("lost"));
}

// New files take 0666 less the umask; the settings file is 0600 whatever it was before.
class FileModeTest : public ::testing::TestWithParam<mode_t> {
 protected:
  void SetUp() override { before = ::umask(GetParam()); }
  void TearDown() override { ::umask(before); }
  mode_t before = 0;
  TempDir dir;
};

TEST_P(FileModeTest, NewFilesFollowTheUmaskAndSettingsStayPrivate) {
  const unsigned expected = 0666 & ~GetParam();
  WriteFileAtomic(dir.path() + "store.crc", "x");
  EXPECT_EQ(ModeOf(dir.path() + "store.crc"), expected);
  WriteFileAtomic(dir.path() + "secret", "x", 0600);
  EXPECT_EQ(ModeOf(dir.path() + "secret"), 0600u);

  WriteFileAtomic(dir.path() + "log.txt", "x", 0600);  // an old log more private than asked
  TAppendFile log;
  ASSERT_TRUE(log.Create(dir.path() + "log.txt"));
  EXPECT_EQ(ModeOf(dir.path() + "log.txt"), expected);
  const TFileLock lock(dir.path() + ".store.lock");
  EXPECT_EQ(ModeOf(dir.path() + ".store.lock"), expected);

  const std::string ini = dir.path() + "zephlin.ini";
  WriteFileAtomic(ini, "[global]\n", 0644);
  TProfileFile profile;
  profile.Load(ini);
  profile.WriteString("global", "sessions", "0");
  profile.Save(ini);
  EXPECT_EQ(ModeOf(ini), 0600u);
}

INSTANTIATE_TEST_SUITE_P(Umasks, FileModeTest, ::testing::Values(mode_t{027}, mode_t{002}),
                         [](const ::testing::TestParamInfo<mode_t>& mask) {
                           return "Umask0" + std::to_string(mask.param >> 3) + std::to_string(mask.param & 7);
                         });

}  // namespace
