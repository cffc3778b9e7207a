#include "platform/VersionInfo.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/TempDir.h"

namespace {

std::string ThisExecutable() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

TEPInfoExe ReadFrom(const std::string& exeName, const std::string& langId) {
  TEPInfoExe info;
  info.ExeName = exeName;
  info.LangId = langId;
  info.ReadInfo();
  return info;
}

TEST(VersionInfo, OwnBlockHasTheProgramVersionInItsOneTable) {
  const TEPInfoExe info = ReadFrom(ThisExecutable(), "0C09");
  EXPECT_EQ(info.FileVersion(), "2.0.4.61");
  EXPECT_EQ(info.ProductName(), "Zephlin");
  EXPECT_FALSE(info.CompanyName().empty());
  EXPECT_NE(info.LegalCopyright().find(info.CompanyName()), std::string::npos);
  EXPECT_FALSE(info.Comments().empty());
  EXPECT_EQ(info.LegalTradeMarks(), "");  // a key the table does not have

  // Keys are looked up without regard to case, so the language may be written either way.
  EXPECT_EQ(ReadFrom(ThisExecutable(), "0c09").FileVersion(), "2.0.4.61");
}

TEST(VersionInfo, TheDefaultLanguageFindsNothing) {
  TEPInfoExe info;
  EXPECT_EQ(info.LangId, "040C");
  info.ExeName = ThisExecutable();
  info.ReadInfo();
  EXPECT_EQ(info.FileVersion(), "");
  EXPECT_EQ(info.CompanyName(), "");
  EXPECT_EQ(info.ProductName(), "");
}

TEST(VersionInfo, FilesWithoutABlockGiveEmptyValuesAndClearOldOnes) {
  TempDir dir;
  std::ofstream(dir.path() + "text.exe") << "StringFileInfo\\0C0904E4\\FileVersion";
  TEPInfoExe info;
  info.LangId = "0C09";
  info.ExeName = ThisExecutable();
  info.ReadInfo();
  ASSERT_EQ(info.FileVersion(), "2.0.4.61");
  for (const std::string& other :
       {std::string("/bin/sh"), dir.path() + "text.exe", dir.path() + "missing", std::string()}) {
    info.ExeName = other;
    info.ReadInfo();
    EXPECT_EQ(info.FileVersion(), "") << other;
    EXPECT_EQ(info.ProductName(), "") << other;
  }
}

TEST(VersionInfo, ACopyOfTheExecutableCarriesItsBlock) {
  TempDir dir;
  std::filesystem::copy_file(ThisExecutable(), dir.path() + "copy");
  EXPECT_EQ(ReadFrom(dir.path() + "copy", "0C09").FileVersion(), "2.0.4.61");
}

}  // namespace
