// The exclude patterns of a session: what they leave out, on a name or a path, of files and
// directories. What the functions make of them is ExcludeRunTest.cpp.

#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "engine/ExcludeFilter.h"
#include "ftp/IdFTPList.h"
#include "support/TempDir.h"

namespace {

TEST(ExcludeFilter, PatternsAgainstNamesAndPaths) {
  struct Row {
    const char* setting;
    const char* directory;  // relative to the session's folder
    const char* name;
    bool isDirectory;
    bool excluded;
  };
  const Row rows[] = {
      {"*.tmp", "", "a.tmp", false, true},
      {"*.tmp", "deep/er/", "a.tmp", false, true},  // a name pattern matches at any depth
      {"*.tmp", "", "a.tmp.txt", false, false},
      {"*.tmp", "", "A.TMP", false, false},  // letter case counts
      {".git/", "", ".git", true, true},
      {".git/", "sub/", ".git", true, true},
      {".git/", "", ".git", false, false},  // a trailing "/" only for directories
      {".git/", "", ".gitignore", false, false},
      {"/cache/", "", "cache", true, true},
      {"/cache/", "sub/", "cache", true, false},  // a leading "/" anchors at the folder
      {"img/raw/", "img/", "raw", true, true},
      {"img/raw/", "x/img/", "raw", true, false},
      {"img/*.png", "img/", "a.png", false, true},
      {"img/*.png", "img/sub/", "a.png", false, false},  // "*" never crosses a "/"
      {"node_modules/; *.log ;", "a/", "b.log", false, true},
      {"node_modules/; *.log ;", "a/", "node_modules", true, true},
      {"*", "", ".", true, false},  // "." and ".." are never left out
      {"*", "", "..", true, false},
      {"", "", ".htaccess", false, false},
      {"/", "", "a", false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.setting) + " | " + row.directory + row.name);
    EXPECT_EQ(TExcludeFilter(std::string(row.setting)).Excludes(row.directory, row.name, row.isDirectory),
              row.excluded);
  }
}

TEST(ExcludeFilter, PatternsAreStoredJoinedBySemicolons) {
  EXPECT_EQ(TExcludeFilter::JoinPatterns({" .git/ ", "", "*.tmp", "  "}), ".git/;*.tmp");
  EXPECT_EQ(TExcludeFilter::SplitPatterns(";.git/; *.tmp;;"), (std::vector<std::string>{".git/", "*.tmp"}));
  EXPECT_TRUE(TExcludeFilter().HidesDotNames());
  EXPECT_FALSE(TExcludeFilter(std::string()).HidesDotNames()) << "an empty setting is a setting";
}

}  // namespace
