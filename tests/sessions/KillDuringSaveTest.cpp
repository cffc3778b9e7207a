// Crash safety of the state files: a program saving "zephlin.ini" and a CRC store in a loop
// is killed with SIGKILL at random moments, over and over. After every kill each file must be
// exactly one of its two versions, whole, and at most one temporary file may be left over.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "platform/FileSystem.h"
#include "support/TempDir.h"

extern char** environ;

namespace {

constexpr int kKills = 200;

std::string Read(const std::string& path) {
  std::string text;
  return ReadWholeFile(path, text) ? text : "<missing>";
}

// The names in `directory` that begin with ".", the temporary files of interrupted saves.
std::vector<std::string> Temporaries(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    if (name[0] == '.') names.push_back(name);
  }
  return names;
}

// The save loop as a child process; its standard output comes back through a pipe.
class TSaveLoop {
 public:
  explicit TSaveLoop(const std::vector<std::string>& arguments) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<std::string> texts = {ZEPHLIN_SAVE_LOOP};
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&FPid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    FOutput = out[0];
    if (rc != 0) throw std::runtime_error("cannot start the save loop");
  }
  ~TSaveLoop() {
    if (FPid > 0) Kill();
    ::close(FOutput);
  }

  // True once the loop said it is saving (it saved both files whole once).
  bool WaitUntilSaving(std::chrono::milliseconds limit) {
    pollfd poller{FOutput, POLLIN, 0};
    char text[16] = {};
    return ::poll(&poller, 1, static_cast<int>(limit.count())) == 1 && ::read(FOutput, text, sizeof text) > 0 &&
           std::string(text).rfind("saving", 0) == 0;
  }
  // SIGKILL, then reaped. Returns the signal that ended it (0 when it had exited).
  int Kill() {
    ::kill(FPid, SIGKILL);
    int status = 0;
    ::waitpid(FPid, &status, 0);
    FPid = -1;
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }
  // Waits for a normal end; its exit code.
  int Wait() {
    int status = 0;
    ::waitpid(FPid, &status, 0);
    FPid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t FPid = -1;
  int FOutput = -1;
};

TEST(KillDuringSave, StateFilesAreAlwaysOneWholeVersion) {
  TempDir dir;
  const std::string live = dir.path() + "live/";
  for (const char* sub : {"a", "b", "live"}) std::filesystem::create_directory(dir.path() + sub);
  ASSERT_EQ(TSaveLoop({"references", dir.path()}).Wait(), 0);
  const std::string iniA = Read(dir.path() + "a/zephlin.ini"), iniB = Read(dir.path() + "b/zephlin.ini");
  const std::string crcA = Read(dir.path() + "a/state.crc"), crcB = Read(dir.path() + "b/state.crc");
  ASSERT_NE(iniA, iniB);
  ASSERT_NE(crcA, crcB);

  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> delayUs(0, 20000);
  int interrupted = 0;  // kills that caught a save between its temporary file and the rename
  for (int kill = 0; kill < kKills; ++kill) {
    TSaveLoop loop({"loop", live});
    ASSERT_TRUE(loop.WaitUntilSaving(std::chrono::seconds(20))) << "kill " << kill;
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
    ASSERT_EQ(loop.Kill(), SIGKILL) << "kill " << kill;

    const std::string ini = Read(live + "zephlin.ini");
    ASSERT_TRUE(ini == iniA || ini == iniB) << "kill " << kill << ": a torn zephlin.ini of " << ini.size() << " bytes";
    const std::string crc = Read(live + "state.crc");
    ASSERT_TRUE(crc == crcA || crc == crcB) << "kill " << kill << ": a torn state.crc of " << crc.size() << " bytes";
    const std::vector<std::string> temporaries = Temporaries(live);
    ASSERT_LE(temporaries.size(), 1u) << "kill " << kill << ": " << temporaries.front() << " and more";
    interrupted += static_cast<int>(temporaries.size());
  }
  // Kills that landed before a rename are what this test is about; some must have.
  EXPECT_GT(interrupted, 0);
  std::printf("%d kills, %d during a save's temporary file\n", kKills, interrupted);
}

}  // namespace
