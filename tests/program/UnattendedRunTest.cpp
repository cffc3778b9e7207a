// What an unattended run tells: its exit status, its errors on standard error when nobody can
// answer a box, a summary log that survives a crash, the modes of the files it makes, and one
// copy of the program per folder.

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <thread>

#include "ProgramFixture.h"
#include "platform/FileLock.h"

namespace {

using namespace std::chrono_literals;

// A port on 127.0.0.1 where nothing listens.
int ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// What runs a program as an ordinary user: nothing to add when this is not root; none when
// this is root and no tool can drop its rights.
std::optional<std::vector<std::string>> AsOrdinaryUser() {
  if (::geteuid() != 0) return std::vector<std::string>{};
  if (::access("/usr/sbin/runuser", X_OK) == 0)
    return std::vector<std::string>{"/usr/sbin/runuser", "-u", "nobody", "--"};
  if (::access("/usr/bin/setpriv", X_OK) == 0)
    return std::vector<std::string>{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  return std::nullopt;
}

class UnattendedRun : public ProgramFixture {
 protected:
  bool WaitForLogLine(const std::vector<std::string>& pieces, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (FindLine(SummaryLog(), pieces) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }
};

// --- Exit status ---

struct TExitCase {
  const char* Name;
  std::vector<std::string> Arguments;
  std::function<void(TSession& bad)> Break;  // what is wrong with the session "Bad"
  bool HoldCrcStore;                         // another run holds Bad's CRC store
  int ExitCode;
  std::vector<std::string> LogLine;  // pieces of a line the summary log holds
};

void PrintTo(const TExitCase& run, std::ostream* out) { *out << run.Name; }

class ExitStatus : public UnattendedRun, public ::testing::WithParamInterface<TExitCase> {};

TEST_P(ExitStatus, TellsWhetherEveryRunEndedWithDone) {
  const TExitCase& c = GetParam();
  Configure([&](TSessions& list) {
    AddUpload(list, "Good", "manual", "/good/");
    TSession& bad = AddUpload(list, "Bad", "manual", "/bad/");
    bad.Settings.SessionMode = SessionModeOf("synclocaltoremote");
    bad.Settings.CrcFile = "bad.crc";
    c.Break(bad);
  });
  std::optional<TFileLock> store;
  if (c.HoldCrcStore) store.emplace(LockFileNameFor(app.path() + "bad.crc"));
  std::vector<std::string> arguments{"/log"};
  arguments.insert(arguments.end(), c.Arguments.begin(), c.Arguments.end());
  const TChildResult result = Run(arguments);
  ASSERT_FALSE(result.TimedOut) << result.Output;
  EXPECT_EQ(result.ExitCode, c.ExitCode) << result.Output;
  EXPECT_NE(FindLine(SummaryLog(), c.LogLine), std::string::npos) << SummaryLog();
  EXPECT_TRUE(Uploaded("good/a.txt"));
  EXPECT_FALSE(Uploaded("bad/a.txt"));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ExitStatus,
    ::testing::Values(TExitCase{"EveryRunDone", {"Good", "/exit"}, [](TSession&) {}, false, 0, {"Good", "Done"}},
                      TExitCase{"RefusedLogin",
                                {"Good", "Bad", "/exit"},
                                [](TSession& s) { s.Settings.Password = "wrong"; },
                                false,
                                2,
                                {"Bad", "Error", "530"}},
                      TExitCase{"ClosedPort",
                                {"Bad", "Good", "/exit"},
                                [](TSession& s) { s.Settings.Port = ClosedPort(); },
                                false,
                                2,
                                {"Bad", "Error"}},
                      TExitCase{"CrcStoreInUse",
                                {"Good", "Bad", "/exit"},
                                [](TSession&) {},
                                true,
                                2,
                                {"Bad", "Error", "CRC store in use: bad.crc"}}),
    [](const ::testing::TestParamInfo<TExitCase>& run) { return std::string(run.param.Name); });

// --- Errors without a display ---

TEST_F(UnattendedRun, AnUnwritableFolderIsReportedOnStandardErrorAndTheRunGoesOn) {
  const std::optional<std::vector<std::string>> asUser = AsOrdinaryUser();
  if (!asUser) GTEST_SKIP() << "running as root without runuser or setpriv";
  Configure([&](TSessions& list) { AddUpload(list, "Up", "manual", "/up/"); });
  // Readable by everyone, writable by nobody but root.
  const std::vector<std::string> directories{app.path(), local.path(), local.path() + "sub"};
  for (const std::string& directory : directories) ASSERT_EQ(::chmod(directory.c_str(), 0555), 0);
  ASSERT_EQ(::chmod((app.path() + "zephlin.ini").c_str(), 0644), 0);
  std::vector<std::string> argv = *asUser;
  for (const std::string& argument : Argv({"/hide", "/log", "Up", "/exit"})) argv.push_back(argument);

  const TChildResult result = RunChild(argv, NoDisplay(), "/", 20s);
  for (const std::string& directory : directories) ::chmod(directory.c_str(), 0700);
  ASSERT_FALSE(result.TimedOut) << "waited for an answer nobody can give\n" << result.Output;
  EXPECT_LT(result.Elapsed, 15s);
  EXPECT_NE(result.Output.find("zephlin: Unable to write to " + app.path() + "zephlin.log"), std::string::npos)
      << result.Output;
  EXPECT_EQ(result.ExitCode, 2) << result.Output;
  EXPECT_TRUE(Uploaded("up/a.txt")) << "the session still ran";
}

// --- The summary log as it grows ---

TEST_F(UnattendedRun, SummaryLogKeepsWhatWasLoggedWhenTheProgramIsKilled) {
  Configure([&](TSessions& list) { AddUpload(list, "Tick", "countdown", "/t/").Settings.Countdown = 0; });
  const std::unique_ptr<TRunningProgram> program = Launch({"/hide", "/log", "/start"});
  ASSERT_TRUE(WaitForLogLine({"Tick", "Done"}, 30s)) << SummaryLog();
  program->Signal(SIGKILL);
  ASSERT_TRUE(program->WaitForExit(10s));
  const std::string log = SummaryLog();
  EXPECT_EQ(log.rfind("Zephlin v2 by ", 0), 0u) << log;
  EXPECT_NE(FindLine(log, {"Tick", "Starting"}), std::string::npos) << log;
  EXPECT_NE(FindLine(log, {"Tick", "Done"}), std::string::npos) << log;
  EXPECT_EQ(log.find("Session Completed"), std::string::npos) << "the program never ended in order";
}

// --- Modes of the files a run makes ---

class FileModes : public UnattendedRun, public ::testing::WithParamInterface<mode_t> {};

TEST_P(FileModes, FollowTheUmaskAndTheSettingsStayPrivate) {
  Configure([&](TSessions& list) {
    TSession& s = AddUpload(list, "Sync", "manual", "/s/");
    s.Settings.SessionMode = SessionModeOf("synclocaltoremote");
    s.Settings.CrcFile = "sync.crc";
    s.Settings.DebugMode = true;
  });
  const mode_t before = ::umask(GetParam());
  const TChildResult result = Run({"/log", "Sync", "/exit"});
  ::umask(before);
  ASSERT_FALSE(result.TimedOut) << result.Output;
  ASSERT_EQ(result.ExitCode, 0) << result.Output;
  for (const char* name : {"zephlin.log", "sync.crc", "testlog.txt", ".sync.crc.lock", "runs.jsonl"})
    EXPECT_EQ(ModeOf(app.path() + name), 0666 & ~GetParam()) << name;
  EXPECT_EQ(ModeOf(app.path() + "zephlin.ini"), 0600u);
}

INSTANTIATE_TEST_SUITE_P(Umasks, FileModes, ::testing::Values(mode_t{027}, mode_t{002}),
                         [](const ::testing::TestParamInfo<mode_t>& mask) {
                           return "Umask0" + std::to_string(mask.param >> 3) + std::to_string(mask.param & 7);
                         });

// --- Two copies in one folder ---

TEST_F(UnattendedRun, ASecondCopyInTheSameFolderStepsBack) {
  Configure([&](TSessions& list) {
    TSession& s = AddUpload(list, "Watch", "detect", "/w/");
    s.Settings.DetectWait = 1;
  });
  std::unique_ptr<TRunningProgram> first = Launch({"/hide", "/log", "/start"});
  ASSERT_TRUE(WaitForLogLine({"Watch", "Detect"}, 30s)) << SummaryLog();

  const TChildResult named = Run({"Watch", "/exit"}, 15s);
  ASSERT_FALSE(named.TimedOut) << named.Output;
  EXPECT_EQ(named.ExitCode, 1);
  EXPECT_NE(named.Output.find(app.path() + " is in use by another copy of the program"), std::string::npos)
      << named.Output;
  const TChildResult armed = Run({"/start"}, 15s);
  ASSERT_FALSE(armed.TimedOut) << armed.Output;
  EXPECT_EQ(armed.ExitCode, 1);
  // A start that only wants the window asks the first copy, which has none to show.
  const TChildResult plain = Run({}, 15s);
  ASSERT_FALSE(plain.TimedOut) << plain.Output;
  EXPECT_EQ(plain.ExitCode, 1);
  EXPECT_NE(plain.Output.find("which runs without a display"), std::string::npos) << plain.Output;
  EXPECT_TRUE(first->Running()) << "the first copy goes on";
  EXPECT_NE(FindLine(SummaryLog(), {"Watch", "Detect"}), std::string::npos) << "the first copy's log was replaced";

  // The lock ends with its holder, however it ends.
  first->Signal(SIGKILL);
  ASSERT_TRUE(first->WaitForExit(10s));
  const TChildResult after = Run({"Watch", "/force", "/exit"}, 30s);
  ASSERT_FALSE(after.TimedOut) << after.Output;
  EXPECT_EQ(after.ExitCode, 0) << after.Output;
  EXPECT_TRUE(Uploaded("w/a.txt"));
}

}  // namespace
