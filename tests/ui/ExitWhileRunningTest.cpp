// The main window closed with "Yes" while a worker is in the middle of a big download: the
// window goes at once, the worker is stopped and waited for within seconds, and the old
// local file is still there whole, with no partial file beside it.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "UiTestApp.h"
#include "platform/FileSystem.h"
#include "sessions/SessionsUnit.h"
#include "support/RealFtpServer.h"
#include "ui/MainFormUnit.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

size_t ThreadCount() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) ++count;
  return count;
}

// The hidden temporary file a download of big.bin is received into, if one is there.
std::string PartialDownload(const std::string& directory) {
  for (const auto& entry : fs::directory_iterator(directory))
    if (entry.path().filename().string().rfind(".big.bin", 0) == 0) return entry.path().string();
  return "";
}

class ExitWhileRunning : public UiTest {
 protected:
  ExitWhileRunning() {
    { std::ofstream(remoteRoot.path() + "big.bin"); }
    fs::resize_file(remoteRoot.path() + "big.bin", uintmax_t{4} << 30);  // sparse: no disk used
    WriteFileAtomic(local.path() + "big.bin", "the last good copy");
  }

  TProgramDirScope programDir;
  TempDir remoteRoot, local;
  RealFtpServer server{RealFtpServer::Kind::PyFtpdLib, remoteRoot.path()};
};

TEST_F(ExitWhileRunning, ClosingWithYesStopsTheTransferAndKeepsTheOldFile) {
  auto form = std::make_unique<TMainForm>();
  form->StartupPending = false;
  TSession& session = *form->Sessions().GetSession(form->Sessions().AddSession("Big"));
  session.Settings.SessionStarter = "manual";
  session.Settings.SessionMode = SessionModeOf("copyremotetolocal");
  session.Settings.LocalPath = local.path();
  session.Settings.RemotePath = "/";
  server.Configure(session.Settings, 30);
  const size_t threadsBefore = ThreadCount();
  session.Start(false, false);
  ASSERT_TRUE(ProcessUiEventsUntil(
      [&] {
        const std::string partial = PartialDownload(local.path());
        std::error_code error;
        return !partial.empty() && fs::file_size(partial, error) > 0 && !error;
      },
      30s))
      << "the download never started";
  ASSERT_TRUE(session.IsRunning()) << "the download ended before the window closed";

  const auto closing = std::chrono::steady_clock::now();
  {
    TBoxAnswerer answerer(QMessageBox::Yes);
    EXPECT_TRUE(form->close());
    EXPECT_EQ(answerer.Boxes.size(), 1u) << "the close query asks while a worker runs";
  }
  form.reset();  // what the program does next: the window and its session list go
  EXPECT_LT(std::chrono::steady_clock::now() - closing, 5s);
  EXPECT_EQ(ThreadCount(), threadsBefore) << "a worker was left running";

  std::string content;
  ASSERT_TRUE(ReadWholeFile(local.path() + "big.bin", content));
  EXPECT_EQ(content, "the last good copy") << "a partial download replaced the file";
  EXPECT_EQ(PartialDownload(local.path()), "") << "a temporary file was left behind";
}

}  // namespace
