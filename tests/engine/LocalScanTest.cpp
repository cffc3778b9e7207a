// The read-ahead of the local tree: walk order, levels the run skips or the scan never saw,
// CRCs shared between the two threads, and stopping while the scan waits for room.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "EngineTestSupport.h"
#include "engine/CrcStore.h"
#include "engine/LocalScan.h"
#include "support/TempDir.h"

namespace {

std::vector<std::string> Names(const TScannedLevel& level) {
  std::vector<std::string> names;
  for (const TSearchRec& entry : level.Entries) names.push_back(entry.Name);
  return names;
}

// root/ holds a/ (with a/x/), a-b/, b/ (with 40 files), .hidden/ and two files.
void MakeTree(const std::string& root) {
  for (const char* dir : {"a", "a/x", "a-b", "b", ".hidden"}) ASSERT_EQ(::mkdir((root + dir).c_str(), 0755), 0);
  WriteFile(root + "top.txt", "123456789");
  WriteFile(root + "a/x/deep.txt", "deep");
  WriteFile(root + ".hidden/h.txt", "h");
  for (int i = 0; i < 40; ++i) WriteFile(root + "b/f" + std::to_string(100 + i), std::string(1000 + i, 'b'));
}

TEST(LocalScanOrder, ParentsBeforeChildrenSiblingsInByteOrder) {
  EXPECT_TRUE(TLocalScan::WalksBefore("/r/", "/r/a/"));
  EXPECT_TRUE(TLocalScan::WalksBefore("/r/a/", "/r/a/x/"));
  EXPECT_TRUE(TLocalScan::WalksBefore("/r/a/x/", "/r/a-b/"));  // a's subtree before the sibling a-b
  EXPECT_TRUE(TLocalScan::WalksBefore("/r/a-b/", "/r/b/"));
  EXPECT_FALSE(TLocalScan::WalksBefore("/r/b/", "/r/a/x/"));
  EXPECT_FALSE(TLocalScan::WalksBefore("/r/a/", "/r/a/"));
}

TEST(LocalScanLevels, RunTakesLevelsInOrderSkipsSomeAndReadsUnseenOnes) {
  TempDir dir;
  const std::string root = dir.path();
  MakeTree(root);
  TLocalScan scan(root, true, 1);  // a budget of one level: the scan waits for the run at each

  auto top = scan.Take(root);
  EXPECT_EQ(Names(*top), (std::vector<std::string>{".", "..", ".hidden", "a", "a-b", "b", "top.txt"}));
  EXPECT_EQ(top->Crc(6), FileCrc32(root + "top.txt"));
  // The run skips a/ and a/x/ (as a level that ended early would) and goes on with a-b/.
  EXPECT_EQ(Names(*scan.Take(root + "a-b/")), (std::vector<std::string>{".", ".."}));
  // A directory made after the scan read its parent is read by the run itself.
  ASSERT_EQ(::mkdir((root + "a-c").c_str(), 0755), 0);
  WriteFile(root + "a-c/new.txt", "new");
  auto late = scan.Take(root + "a-c/");
  EXPECT_EQ(Names(*late), (std::vector<std::string>{".", "..", "new.txt"}));
  EXPECT_EQ(late->Crc(2), FileCrc32(root + "a-c/new.txt"));

  auto files = scan.Take(root + "b/");
  ASSERT_EQ(files->Entries.size(), 42u);
  for (size_t i = 2; i < files->Entries.size(); ++i) {
    EXPECT_EQ(files->Crc(i), FileCrc32(root + "b/" + files->Entries[i].Name)) << files->Entries[i].Name;
  }
  // Hidden directories are never entered, and the walk has ended.
  EXPECT_EQ(Names(*scan.Take(root + ".hidden/")), (std::vector<std::string>{".", "..", "h.txt"}));
}

TEST(LocalScanLevels, WithoutRecursionOnlyTheRootIsRead) {
  TempDir dir;
  MakeTree(dir.path());
  TLocalScan scan(dir.path(), false);
  EXPECT_EQ(scan.Take(dir.path())->Entries.size(), 7u);
  auto sub = scan.Take(dir.path() + "b/");  // read on the spot
  EXPECT_EQ(sub->Entries.size(), 42u);
}

TEST(LocalScanCrcs, BothThreadsShareTheWorkAndAgreeWithAFreshRead) {
  TempDir dir;
  const std::string root = dir.path();
  constexpr int kFiles = 400;
  for (int i = 0; i < kFiles; ++i)
    WriteFile(root + "f" + std::to_string(1000 + i), std::string(4096, char('a' + i % 26)) + std::to_string(i));
  // Above the read-ahead limit: only the run reads it.
  {
    std::ofstream big(root + "zbig", std::ios::binary);
    big << std::string(9 << 20, 'z');
  }
  for (int round = 0; round < 6; ++round) {
    TLocalScan scan(root, false);
    auto level = scan.Take(root);
    ASSERT_EQ(level->Entries.size(), kFiles + 3u);
    // Checking each CRC as it comes lets the scan run ahead; taking them all first makes the
    // run catch up with the scan's file and take files from the far end meanwhile.
    const bool checkAsTaken = round % 2 == 0;
    std::vector<int32_t> crcs;
    for (size_t i = 2; i < level->Entries.size(); ++i) {
      crcs.push_back(level->Crc(i));
      if (checkAsTaken) {
        ASSERT_EQ(crcs.back(), FileCrc32(root + level->Entries[i].Name)) << level->Entries[i].Name;
      }
    }
    for (size_t i = 2; i < level->Entries.size(); ++i) {
      ASSERT_EQ(crcs[i - 2], FileCrc32(root + level->Entries[i].Name)) << level->Entries[i].Name;
    }
  }
}

TEST(LocalScanStop, SkipsFarAheadAndEndsWhileWaitingForRoom) {
  TempDir dir;
  MakeTree(dir.path());
  for (int i = 0; i < 20; ++i) ASSERT_EQ(::mkdir((dir.path() + "b/sub" + std::to_string(10 + i)).c_str(), 0755), 0);
  {
    TLocalScan scan(dir.path(), true, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the scan now waits for room
  }                                                              // and is stopped there: the destructor returns
  TLocalScan scan(dir.path(), true, 1);
  ASSERT_EQ(scan.Take(dir.path())->Entries.size(), 7u);
  // Every level between is dropped, one at a time, as the scan makes room for the next.
  auto far = scan.Take(dir.path() + "b/sub27/");
  EXPECT_EQ(Names(*far), (std::vector<std::string>{".", ".."}));
  EXPECT_EQ(Names(*scan.Take(dir.path() + "b/sub28/")), (std::vector<std::string>{".", ".."}));
}

}  // namespace
