// Where the program keeps its files: portable beside the executable, or in the user's XDG
// folders when installed; and where the user guide is found in either layout.

#include <gtest/gtest.h>

#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "support/TempDir.h"

namespace {

struct TLocationCase {
  const char* What;
  bool SettingsBeside;
  bool Writable;
  const char* XdgConfigHome;
  const char* XdgStateHome;
  const char* ExpectedSettings;
  const char* ExpectedState;
};

const TLocationCase LocationCases[] = {
    {"settings beside a read-only program", true, false, "", "", "/opt/z/", "/opt/z/"},
    {"writable program folder", false, true, "/x/conf", "/x/state", "/opt/z/", "/opt/z/"},
    {"installed, defaults", false, false, "", "", "/home/u/.config/zephlin/", "/home/u/.local/state/zephlin/"},
    {"installed, variables", false, false, "/x/conf/", "/x/state", "/x/conf/zephlin/", "/x/state/zephlin/"},
    {"installed, relative variables ignored", false, false, "conf", "state", "/home/u/.config/zephlin/",
     "/home/u/.local/state/zephlin/"},
};

}  // namespace

TEST(ProgramDir, PortableWhileTheSettingsAreBesideOrTheFolderIsWritableElseXdgFolders) {
  for (const TLocationCase& c : LocationCases) {
    SCOPED_TRACE(c.What);
    const TFileLocations where =
        DecideFileLocations({"/opt/z/", c.SettingsBeside, c.Writable, c.XdgConfigHome, c.XdgStateHome, "/home/u"});
    EXPECT_EQ(where.Portable, c.SettingsBeside || c.Writable);
    EXPECT_EQ(where.SettingsDirectory, c.ExpectedSettings);
    EXPECT_EQ(where.StateDirectory, c.ExpectedState);
  }
}

TEST(ProgramDir, ARedirectedProgramDirectoryIsPortable) {
  TempDir dir;
  SetProgramDirectory(dir.path());
  const TFileLocations where = FileLocations();
  SetProgramDirectory("");
  EXPECT_TRUE(where.Portable);
  EXPECT_EQ(where.SettingsDirectory, dir.path());
  EXPECT_EQ(where.StateDirectory, dir.path());
}

TEST(ProgramDir, ReadmeBesideTheProgramFirstThenInTheInstalledDocumentFolder) {
  TempDir prefix;
  const std::string bin = prefix.path() + "bin/";
  const std::string doc = prefix.path() + "share/doc/zephlin/";
  ASSERT_TRUE(ForceDirectories(bin) && ForceDirectories(doc));
  EXPECT_EQ(ReadmeFileNameFor(bin), bin + "readme.txt") << "neither exists";
  WriteTextFile(doc + "readme.txt", "guide");
  EXPECT_EQ(ReadmeFileNameFor(bin), doc + "readme.txt");
  WriteTextFile(bin + "readme.txt", "guide");
  EXPECT_EQ(ReadmeFileNameFor(bin), bin + "readme.txt");
}
