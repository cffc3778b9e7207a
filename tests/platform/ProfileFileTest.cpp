#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/Errors.h"
#include "platform/FileSystem.h"
#include "platform/ProfileFile.h"
#include "support/TempDir.h"
#include "support/WriteProtected.h"

TEST(ProfileFile, ReadsWithCaseFoldingTrimmingAndQuotes) {
  TProfileFile ini;
  ini.LoadFromText(
      "; comment\r\n[Global]\r\nSessions = 3 \r\n[session0]\r\nname=\"  quoted  \"\r\nhost='h'\r\n"
      "half=\"open\r\nempty=\r\nname=second\r\n");
  EXPECT_EQ(ini.ReadString("GLOBAL", "sessions", "x"), "3");
  EXPECT_EQ(ini.ReadString("session0", "NAME", "x"), "  quoted  ");  // first key wins
  EXPECT_EQ(ini.ReadString("session0", "host", "x"), "h");
  EXPECT_EQ(ini.ReadString("session0", "half", "x"), "\"open");
  EXPECT_EQ(ini.ReadString("session0", "empty", "x"), "");
  EXPECT_EQ(ini.ReadString("session0", "missing", "x"), "x");
  EXPECT_EQ(ini.ReadString("nosection", "name", "d"), "d");
}

TEST(ProfileFile, WritesInPlaceAppendsAndKeepsForeignLines) {
  TProfileFile ini;
  ini.LoadFromText("; keep me\n[a]\nx=1\nunknown=keep\n\n[b]\ny=2\n");
  ini.WriteString("A", "X", "10");  // replaced in place, name as written now
  ini.WriteString("a", "z", "3");   // added at the end of [a], before the blank line
  ini.WriteString("c", "w", "4");   // a new section at the end
  EXPECT_EQ(ini.Text(), "; keep me\n[a]\nX=10\nunknown=keep\nz=3\n\n[b]\ny=2\n[c]\nw=4\n");
  ini.WriteString("a", "z", "5");
  EXPECT_EQ(ini.ReadString("a", "z", ""), "5");
  EXPECT_EQ(ini.ReadString("a", "unknown", ""), "keep");
}

TEST(ProfileFile, DeletesEveryLineOfAKeyAndFindsTheOthersAfterwards) {
  TProfileFile ini;
  ini.LoadFromText("[a]\nx=1\nGone=2\ny=3\ngone=4\n[b]\ngone=5\n");
  ini.DeleteKey("A", "gone");
  ini.DeleteKey("a", "never");
  ini.DeleteKey("c", "gone");
  EXPECT_EQ(ini.Text(), "[a]\nx=1\ny=3\n[b]\ngone=5\n");
  ini.WriteString("a", "y", "30");
  ini.WriteString("a", "gone", "6");
  EXPECT_EQ(ini.Text(), "[a]\nx=1\ny=30\ngone=6\n[b]\ngone=5\n");
}

TEST(ProfileFile, LongValuesAreReadWhole) {
  TProfileFile ini;
  const std::string value(5000, 'A');
  ini.WriteString("s", "k", value);
  TProfileFile again;
  again.LoadFromText(ini.Text());
  EXPECT_EQ(again.ReadString("s", "k", ""), value);
}

TEST(ProfileFile, SaveCreatesPrivateFileAndFailureKeepsOldFile) {
  TempDir dir;
  const std::string path = dir.path() + "test.ini";
  TProfileFile ini;
  ini.WriteString("s", "k", "v");
  ini.Save(path);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  const std::string blocked = dir.path() + "sub/";
  ASSERT_TRUE(ForceDirectories(blocked));
  ini.Save(blocked + "x.ini");
  ::chmod(dir.path().c_str(), 0755);
  ini.WriteString("s", "k", "changed");
  const std::string message = RunWithDirectoryWriteProtected(blocked, [&] {
    try {
      ini.Save(blocked + "x.ini");
      return std::string("saved");
    } catch (const EZephlin& e) {
      return std::string(e.what());
    }
  });
  EXPECT_EQ(message, "Unable to write to " + blocked + "x.ini");
  std::string content;
  ASSERT_TRUE(ReadWholeFile(blocked + "x.ini", content));
  EXPECT_EQ(content, "[s]\nk=v\n");
  EXPECT_EQ(FindFiles(blocked, "*").size(), 3u) << "no temporary file may be left behind";
}
