// "zephlin /list": the sessions and their last runs on standard output, also while another
// copy holds the folder, and nothing started.

#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "ProgramFixture.h"

using namespace std::chrono_literals;

namespace {

class ListSessions : public ProgramFixture {
 protected:
  // Whether the process holds a flock on the program's folder, as the kernel lists it.
  bool HoldsFolderLock(pid_t pid) const {
    struct stat folder {};
    if (::stat(app.path().c_str(), &folder) != 0) return false;
    std::ifstream locks("/proc/locks");
    const std::string inode = ":" + std::to_string(folder.st_ino) + " ";
    for (std::string line; std::getline(locks, line);)
      if (line.find("FLOCK") != std::string::npos && line.find(" " + std::to_string(pid) + " ") != std::string::npos &&
          line.find(inode) != std::string::npos)
        return true;
    return false;
  }
};

TEST_F(ListSessions, PrintsEverySessionWithItsLastRunWhileAnotherCopyHoldsTheFolder) {
  Configure([&](TSessions& list) {
    AddUpload(list, "Upload", "countdown", "/u/").Settings.Countdown = 3600;
    AddUpload(list, "Mirror Site", "manual", "/m/").Settings.SessionMode = SessionModeOf("synclocaltoremote");
    AddUpload(list, "Fresh", "chain", "/f/");
  });
  WriteFileAtomic(
      app.path() + "runs.jsonl",
      R"({"session":"upload","function":"copylocaltoremote","start":"2026-12-08T06:00:00+01:00","end":"2026-12-08T06:00:42+01:00","outcome":"failed","test":false})"
      "\n"
      R"({"session":"Upload","function":"copylocaltoremote","start":"2026-12-08T07:00:00+01:00","end":"2026-12-08T07:00:09+01:00","outcome":"done","test":false})"
      "\n"
      R"({"session":"Mirror Site","function":"synclocaltoremote","start":"2026-12-08T07:30:00+01:00","end":"2026-12-08T07:31:00+01:00","outcome":"stopped","test":true})"
      "\n"
      R"({"session":"Mirror Site","function":"synclocal)");
  const std::unique_ptr<TRunningProgram> first = Launch({"/start"});
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!HoldsFolderLock(first->Pid()) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(HoldsFolderLock(first->Pid()));

  const TChildResult listed = Run({"Fresh", "/force", "/LIST"}, 10s);
  EXPECT_EQ(listed.ExitCode, 0) << listed.Output;
  EXPECT_EQ(listed.Output,
            "Upload\tcopylocaltoremote\tcountdown\tdone\t2026-12-08T07:00:09+01:00\n"
            "Mirror Site\tsynclocaltoremote\tmanual\tstopped (test)\t2026-12-08T07:31:00+01:00\n"
            "Fresh\tcopylocaltoremote\tchain\tnever\t-\n");
  EXPECT_TRUE(first->Running()) << "the first copy goes on";
  EXPECT_FALSE(Uploaded("f/a.txt")) << "a name beside /list starts nothing";
}

}  // namespace
