// A session's local path read as directory and mask, in the copy and the sync reading.

#include <gtest/gtest.h>

#include "engine/TransferPaths.h"

namespace {

TEST(TransferPaths, LocalTargetInBothReadings) {
  struct Row {
    const char* path;
    TLocalPathForm form;
    const char* directory;
    const char* mask;
  };
  const Row rows[] = {
      {"/data/*.txt", TLocalPathForm::FileMask, "/data/", "*.txt"},
      {"/data/", TLocalPathForm::FileMask, "/data/", "*.*"},
      {"/data", TLocalPathForm::FileMask, "/", "data"},
      {"C:\\data\\a?.doc", TLocalPathForm::FileMask, "C:/data/", "a?.doc"},
      {"*.txt", TLocalPathForm::FileMask, "", "*.txt"},
      {"", TLocalPathForm::FileMask, "", "*.*"},
      {"/data", TLocalPathForm::Directory, "/data/", "*.*"},
      {"/data/", TLocalPathForm::Directory, "/data/", "*.*"},
      {"\\data\\sub", TLocalPathForm::Directory, "/data/sub/", "*.*"},
      {"", TLocalPathForm::Directory, "/", "*.*"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    const TLocalTarget target = ParseLocalTarget(row.path, row.form);
    EXPECT_EQ(target.Directory, row.directory);
    EXPECT_EQ(target.Mask, row.mask);
  }
}

}  // namespace
