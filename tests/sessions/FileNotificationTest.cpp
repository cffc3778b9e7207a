#include "sessions/fisFileNotification.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "support/QtTestApp.h"
#include "support/TempDir.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

void WriteFile(const std::string& path, const std::string& text = "x") {
  std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

// A watcher on a directory that counts its events and checks they come on the main thread.
class FileNotificationTest : public ::testing::Test {
 protected:
  void SetUp() override { QtTestApp(); }
  void Watch(TfisFileNotification& watcher, const std::string& directory, bool subtree, int& events) {
    watcher.Directory = directory;
    watcher.Subtree = subtree;
    watcher.OnDirectoryChanged = [this, &watcher, &events](TfisFileNotification* sender) {
      EXPECT_EQ(sender, &watcher);
      EXPECT_EQ(std::this_thread::get_id(), mainThread_);
      ++events;
    };
    watcher.Start();
  }
  std::thread::id mainThread_ = std::this_thread::get_id();
  TempDir dir_;
};

TEST_F(FileNotificationTest, StartsWithTheDefaults) {
  TfisFileNotification watcher;
  EXPECT_FALSE(watcher.Subtree);
  EXPECT_FALSE(watcher.Started());
  EXPECT_TRUE(watcher.Directory.empty());
  EXPECT_EQ(watcher.NotificationType, TNotifyOptions{noLastWrite});
  EXPECT_EQ(watcher.NotificationType.Filter(), 0x10u);
  EXPECT_EQ((TNotifyOptions{noFilename, noDirname, noCreation}).Filter(), 0x43u);
  EXPECT_EQ(watcher.ChangeTimer().interval(), 10);
  EXPECT_FALSE(watcher.ChangeTimer().isActive());
}

TEST_F(FileNotificationTest, ABurstOfWritesRaisesOneEventAndTheNextChangeAnother) {
  TfisFileNotification watcher;
  int events = 0;
  Watch(watcher, dir_.path(), false, events);
  ASSERT_TRUE(watcher.Started());

  for (int i = 0; i < 50; ++i) WriteFile(dir_.path() + "a.txt");
  ASSERT_TRUE(ProcessEventsUntil([&] { return events > 0; }, 5s));
  ProcessEventsFor(200ms);
  EXPECT_EQ(events, 1);
  EXPECT_FALSE(watcher.ChangeTimer().isActive());

  WriteFile(dir_.path() + "a.txt");
  EXPECT_TRUE(ProcessEventsUntil([&] { return events == 2; }, 5s));
}

TEST_F(FileNotificationTest, SubtreeDecidesWhetherASubDirectoryCounts) {
  fs::create_directories(dir_.path() + "sub/deeper");
  TfisFileNotification flat, tree;
  int flatEvents = 0, treeEvents = 0;
  Watch(flat, dir_.path(), false, flatEvents);
  Watch(tree, dir_.path(), true, treeEvents);

  WriteFile(dir_.path() + "sub/deeper/x.txt");
  EXPECT_TRUE(ProcessEventsUntil([&] { return treeEvents == 1; }, 5s));
  ProcessEventsFor(300ms);
  EXPECT_EQ(flatEvents, 0);

  fs::create_directory(dir_.path() + "sub/later");
  WriteFile(dir_.path() + "sub/later/y.txt");
  EXPECT_TRUE(ProcessEventsUntil([&] { return treeEvents == 2; }, 5s));
}

TEST_F(FileNotificationTest, AMissingDirectoryIsStartedSilentlyAndStopsAtOnce) {
  TfisFileNotification watcher;
  int events = 0;
  Watch(watcher, dir_.path() + "missing", true, events);
  EXPECT_TRUE(watcher.Started());
  fs::create_directory(dir_.path() + "missing");
  WriteFile(dir_.path() + "missing/a.txt");
  ProcessEventsFor(300ms);
  EXPECT_EQ(events, 0);
  watcher.Stop();
  EXPECT_FALSE(watcher.Started());
}

TEST_F(FileNotificationTest, StartingAgainKeepsTheFirstDirectoryUntilStopped) {
  TempDir other;
  TfisFileNotification watcher;
  int events = 0;
  Watch(watcher, dir_.path(), false, events);
  watcher.Directory = other.path();
  watcher.Start();

  WriteFile(other.path() + "a.txt");
  ProcessEventsFor(300ms);
  EXPECT_EQ(events, 0);
  WriteFile(dir_.path() + "a.txt");
  ASSERT_TRUE(ProcessEventsUntil([&] { return events == 1; }, 5s));

  watcher.Stop();
  watcher.Start();  // now the new directory
  WriteFile(other.path() + "a.txt");
  EXPECT_TRUE(ProcessEventsUntil([&] { return events == 2; }, 5s));
}

TEST_F(FileNotificationTest, AStoppedOrDestroyedWatcherRaisesNothingMore) {
  TfisFileNotification watcher;
  int events = 0;
  Watch(watcher, dir_.path(), false, events);
  WriteFile(dir_.path() + "a.txt");
  // Stop while the timer is armed: the change it carries is dropped with the stop.
  ASSERT_TRUE(ProcessEventsUntil([&] { return watcher.ChangeTimer().isActive() || events > 0; }, 5s));
  const int before = events;
  watcher.Stop();
  WriteFile(dir_.path() + "a.txt");
  ProcessEventsFor(200ms);
  EXPECT_EQ(events, before);

  int destroyedEvents = 0;
  {
    TfisFileNotification doomed;
    Watch(doomed, dir_.path(), true, destroyedEvents);
    WriteFile(dir_.path() + "a.txt");
  }  // destroyed while started, possibly with an arm in flight
  ProcessEventsFor(100ms);
  EXPECT_EQ(destroyedEvents, 0);
}

}  // namespace
