#include "platform/ChangeNotification.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "support/TempDir.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Waits for a change, giving up (as a stop) after limit.
TChangeWait WaitAtMost(TChangeNotification& notification, std::chrono::milliseconds limit) {
  TStopEvent stop;
  std::jthread guard([&](std::stop_token cancelled) {
    std::mutex mutex;
    std::condition_variable_any never;
    std::unique_lock lock(mutex);
    if (!never.wait_for(lock, cancelled, limit, [] { return false; }) && !cancelled.stop_requested()) stop.Set();
  });
  return WaitForChangeOrStop(notification, stop);
}

TChangeWait WaitForChange(TChangeNotification& n) { return WaitAtMost(n, 5s); }
// How long a change that should not be reported gets to show up anyway.
TChangeWait WaitForNoChange(TChangeNotification& n) { return WaitAtMost(n, 300ms); }

void WriteFile(const std::string& path, const std::string& text = "content") {
  std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

TEST(ChangeNotification, DirectoriesThatCannotBeWatchedGiveNoNotification) {
  TempDir dir;
  WriteFile(dir.path() + "file.txt");
  EXPECT_EQ(FindFirstChangeNotification(dir.path() + "missing", false, ncLastWrite), nullptr);
  EXPECT_EQ(FindFirstChangeNotification(dir.path() + "file.txt", false, ncLastWrite), nullptr);
  EXPECT_EQ(FindFirstChangeNotification(dir.path() + "*.txt", true, ncLastWrite), nullptr);
  EXPECT_EQ(FindFirstChangeNotification("", false, ncLastWrite), nullptr);
}

TEST(ChangeNotification, AWriteIsReportedUntilRenewedThenTheNextOne) {
  TempDir dir;
  WriteFile(dir.path() + "a.txt");
  auto n = FindFirstChangeNotification(dir.path(), false, ncLastWrite);
  ASSERT_NE(n, nullptr);

  WriteFile(dir.path() + "a.txt");
  EXPECT_EQ(WaitForChange(*n), TChangeWait::Changed);
  EXPECT_EQ(WaitForChange(*n), TChangeWait::Changed);  // still signalled: not renewed yet
  ASSERT_TRUE(FindNextChangeNotification(*n));
  EXPECT_EQ(WaitForNoChange(*n), TChangeWait::Stopped);

  WriteFile(dir.path() + "a.txt");
  EXPECT_EQ(WaitForChange(*n), TChangeWait::Changed);
  FindCloseChangeNotification(n);
  EXPECT_EQ(n, nullptr);
}

TEST(ChangeNotification, OnlyTheKindsOfTheFilterAreReported) {
  TempDir dir;
  WriteFile(dir.path() + "a.txt");
  auto names = FindFirstChangeNotification(dir.path(), false, ncFileName);
  auto attributes = FindFirstChangeNotification(dir.path(), false, ncAttributes);
  ASSERT_TRUE(names && attributes);

  WriteFile(dir.path() + "a.txt");  // content only
  EXPECT_EQ(WaitForNoChange(*names), TChangeWait::Stopped);
  EXPECT_EQ(WaitForNoChange(*attributes), TChangeWait::Stopped);

  fs::permissions(dir.path() + "a.txt", fs::perms::owner_write, fs::perm_options::remove);
  EXPECT_EQ(WaitForChange(*attributes), TChangeWait::Changed);
  EXPECT_EQ(WaitForNoChange(*names), TChangeWait::Stopped);

  fs::rename(dir.path() + "a.txt", dir.path() + "b.txt");
  EXPECT_EQ(WaitForChange(*names), TChangeWait::Changed);
}

TEST(ChangeNotification, SubtreeFlagDecidesWhetherSubDirectoriesCount) {
  TempDir dir;
  fs::create_directories(dir.path() + "sub/deeper");
  auto flat = FindFirstChangeNotification(dir.path(), false, ncLastWrite);
  auto tree = FindFirstChangeNotification(dir.path(), true, ncLastWrite);
  ASSERT_TRUE(flat && tree);

  WriteFile(dir.path() + "sub/deeper/x.txt");
  EXPECT_EQ(WaitForChange(*tree), TChangeWait::Changed);
  EXPECT_EQ(WaitForNoChange(*flat), TChangeWait::Stopped);
}

TEST(ChangeNotification, SubDirectoriesMadeLaterAreWatchedAndOnesMovedOutAreNot) {
  TempDir dir;
  TempDir elsewhere;
  auto n = FindFirstChangeNotification(dir.path(), true, ncLastWrite | ncDirName);
  ASSERT_NE(n, nullptr);

  fs::create_directory(dir.path() + "new");
  EXPECT_EQ(WaitForChange(*n), TChangeWait::Changed);
  ASSERT_TRUE(FindNextChangeNotification(*n));
  WriteFile(dir.path() + "new/x.txt");
  EXPECT_EQ(WaitForChange(*n), TChangeWait::Changed);
  ASSERT_TRUE(FindNextChangeNotification(*n));

  fs::rename(dir.path() + "new", elsewhere.path() + "moved");
  EXPECT_EQ(WaitForChange(*n), TChangeWait::Changed);
  ASSERT_TRUE(FindNextChangeNotification(*n));
  WriteFile(elsewhere.path() + "moved/x.txt");
  EXPECT_EQ(WaitForNoChange(*n), TChangeWait::Stopped);
}

TEST(ChangeNotification, ADirectoryThatAppearsWithContentCountsAsAChange) {
  TempDir dir;
  TempDir staging;
  fs::create_directories(staging.path() + "tree/inner");
  WriteFile(staging.path() + "tree/inner/x.txt");
  auto n = FindFirstChangeNotification(dir.path(), true, ncLastWrite);
  ASSERT_NE(n, nullptr);

  // Moved in whole: no write happens inside the watched tree, yet its content is new there.
  fs::rename(staging.path() + "tree", dir.path() + "tree");
  EXPECT_EQ(WaitForChange(*n), TChangeWait::Changed);
  ASSERT_TRUE(FindNextChangeNotification(*n));
  WriteFile(dir.path() + "tree/inner/x.txt");
  EXPECT_EQ(WaitForChange(*n), TChangeWait::Changed);
}

TEST(ChangeNotification, TheStopEventWakesABlockedWaitAndResetsItself) {
  TempDir dir;
  auto n = FindFirstChangeNotification(dir.path(), false, ncLastWrite);
  ASSERT_NE(n, nullptr);
  TStopEvent stop;
  std::jthread stopper([&] { stop.Set(); });
  EXPECT_EQ(WaitForChangeOrStop(*n, stop), TChangeWait::Stopped);
  EXPECT_FALSE(stop.TryReset());

  // A stop wins over a pending change.
  WriteFile(dir.path() + "a.txt");
  stop.Set();
  EXPECT_EQ(WaitForChangeOrStop(*n, stop), TChangeWait::Stopped);
}

TEST(ChangeNotification, RemovingTheDirectoryEndsTheNotification) {
  TempDir dir;
  const std::string watched = dir.path() + "watched";
  fs::create_directory(watched);
  auto n = FindFirstChangeNotification(watched, true, ncLastWrite);
  ASSERT_NE(n, nullptr);
  fs::remove(watched);
  EXPECT_EQ(WaitForChange(*n), TChangeWait::Failed);
  EXPECT_FALSE(FindNextChangeNotification(*n));
}

}  // namespace
