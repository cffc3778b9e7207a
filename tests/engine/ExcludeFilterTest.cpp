// The exclude patterns of a session: what they leave out, on a name or a path, of files and
// directories; and a session without them, whose local dot names stay hidden.

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

// Local entries: excluded ones gone; with a setting, the dot names are no longer hidden.
TEST(ExcludeFilter, LocalReadsAndListings) {
  TempDir dir;
  MakeTree(dir.path(), {{".htaccess", "x"}, {".git/", ""}, {"a.tmp", "x"}, {"b.txt", "x"}});
  struct Row {
    std::optional<std::string> setting;
    std::vector<std::string> kept;  // names, with " (hidden)" for hidden ones
  };
  const Row rows[] = {
      {std::nullopt, {". (hidden)", ".. (hidden)", ".git (hidden)", ".htaccess (hidden)", "a.tmp", "b.txt"}},
      {".git/;*.tmp", {". (hidden)", ".. (hidden)", ".htaccess", "b.txt"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.setting.value_or("(none)"));
    std::vector<std::string> kept;
    for (const TSearchRec& entry : TExcludeFilter(row.setting).Read(dir.path(), "*.*", "").Entries)
      kept.push_back(entry.Name + ((entry.Attr & faHidden) != 0 ? " (hidden)" : ""));
    EXPECT_EQ(kept, row.kept);
  }
  TIdFTPListItems items;
  ParseListing(
      "drwxr-xr-x 2 ftp ftp 4096 Jan 5 2020 .git\r\n-rw-r--r-- 1 ftp ftp 1 Jan 5 2020 .git\r\n"
      "-rw-r--r-- 1 ftp ftp 1 Jan 5 2020 cache\r\ndrwxr-xr-x 2 ftp ftp 4096 Jan 5 2020 cache\r\n",
      EncodeDate(2026, 12, 7), items);
  TExcludeFilter(std::string(".git/;/sub/cache/")).Filter(items, "sub/");
  ASSERT_EQ(items.Count(), 2);
  EXPECT_EQ(items[0].ItemKind, ikFile);
  EXPECT_EQ(items[0].ItemName, ".git");
  EXPECT_EQ(items[1].ItemKind, ikFile);
  EXPECT_EQ(items[1].ItemName, "cache");
}

}  // namespace
