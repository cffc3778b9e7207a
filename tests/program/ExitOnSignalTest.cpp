// The program asked to end by the system while it runs unattended (SIGTERM from a service
// manager, Ctrl-C in a terminal) in the middle of a big download: it ends in order within
// seconds, writes its summary log, and leaves no partial file under the final name.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "RunningProgram.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "sessions/SessionsUnit.h"
#include "support/QtTestApp.h"
#include "support/RealFtpServer.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr uintmax_t kBigSize = uintmax_t{4} << 30;  // sparse on the server: no disk is used

// The hidden temporary file a download is received into, if one is there.
std::string PartialDownload(const std::string& directory) {
  for (const auto& entry : fs::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(".big.bin", 0) == 0) return entry.path().string();
  }
  return "";
}

class ExitOnSignal : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    QtTestApp();
    fs::copy_file(ZEPHLIN_PROGRAM, app.path() + "zephlin");
    { std::ofstream(remoteRoot.path() + "big.bin"); }
    fs::resize_file(remoteRoot.path() + "big.bin", kBigSize);
    WriteFileAtomic(local.path() + "big.bin", "the last good copy");
    SetProgramDirectory(app.path());
    {
      TSessions list;
      TSession& s = *list.GetSession(list.AddSession("Big"));
      s.Settings.SessionStarter = "manual";
      s.Settings.SessionMode = SessionModeOf("copyremotetolocal");
      s.Settings.LocalPath = local.path();
      s.Settings.RemotePath = "/";
      server.Configure(s.Settings, 30);
      list.SaveAllSessions();
    }
    SetProgramDirectory("");
  }

  TempDir app, local, remoteRoot, elsewhere;
  RealFtpServer server{RealFtpServer::Kind::PyFtpdLib, remoteRoot.path()};
};

TEST_P(ExitOnSignal, DuringABigDownloadEndsInOrderWithinFiveSeconds) {
  TRunningProgram program({app.path() + "zephlin", "/hide", "/log", "Big", "/exit"},
                          {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="}, elsewhere.path(),
                          app.path() + "output.txt");
  // Wait until the transfer is under way: its temporary file has grown.
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  std::string partial;
  while (std::chrono::steady_clock::now() < deadline && program.Running()) {
    partial = PartialDownload(local.path());
    if (!partial.empty() && fs::exists(partial) && fs::file_size(partial) > 0) break;
    std::this_thread::sleep_for(2ms);
  }
  ASSERT_FALSE(partial.empty()) << "the download never started";
  ASSERT_TRUE(program.Running()) << "the download ended before the signal";

  const auto signalled = std::chrono::steady_clock::now();
  program.Signal(GetParam());
  ASSERT_TRUE(program.WaitForExit(5s)) << "still running 5 s after the signal";
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, 5s);
  EXPECT_EQ(program.TermSignal, 0) << "ended by the signal instead of in order";
  EXPECT_EQ(program.ExitCode, 0);

  std::string content;
  ASSERT_TRUE(ReadWholeFile(local.path() + "big.bin", content));
  EXPECT_EQ(content, "the last good copy") << "a partial download replaced the file";
  EXPECT_EQ(PartialDownload(local.path()), "") << "a temporary file was left behind";
  std::string log;
  EXPECT_TRUE(ReadWholeFile(app.path() + "zephlin.log", log)) << "no summary log: the program did not end in order";
  EXPECT_NE(log.find("Big"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Signals, ExitOnSignal, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& signal) {
                           return std::string(signal.param == SIGTERM ? "SIGTERM" : "SIGINT");
                         });

}  // namespace
