// Passwords in the keyring: what the settings file holds with a keyring that takes them, one
// that is locked and none at all; a run whose password the keyring keeps back; and the
// desktop keyring itself against a real Secret Service (gnome-keyring under a session bus of
// its own, see run-keyring-tests), a locked one, no bus, and a bus that never answers.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>

#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "sessions/PasswordKeyring.h"
#include "sessions/SessionsUnit.h"
#include "support/QtTestApp.h"
#include "support/TempDir.h"

using namespace std::chrono_literals;
using TResult = TPasswordKeyring::TResult;

namespace {

// A keyring in memory that answers at once, or refuses everything while Locked.
class TMemoryKeyring : public TPasswordKeyring {
 public:
  TResult Store(const TKeyringEntry& entry, const std::string& password, std::chrono::milliseconds) override {
    if (Locked) return TResult::Unavailable;
    Entries[{entry.Folder, entry.Session}] = password;
    return TResult::Done;
  }
  TResult Fetch(const TKeyringEntry& entry, std::string& password, std::chrono::milliseconds) override {
    ++Fetches;
    const auto found = Entries.find({entry.Folder, entry.Session});
    if (Locked || found == Entries.end()) return Locked ? TResult::Unavailable : TResult::NotFound;
    password = found->second;
    return TResult::Done;
  }
  bool Locked = false;
  int Fetches = 0;
  std::map<std::pair<std::string, std::string>, std::string> Entries;
};

class KeyringSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    QtTestApp();
    SetProgramDirectory(dir.path());
    SetPasswordKeyring(keyring);
  }
  void TearDown() override {
    SetPasswordKeyring(nullptr);
    SetProgramDirectory("");
  }
  bool IniHolds(const std::string& line) const {
    return ReadTextFile(dir.path() + "zephlin.ini").find("\n" + line + "\n") != std::string::npos;
  }
  // A fresh file with one session "Backup" whose password is "s3cret".
  void SaveOneSession() {
    DeleteFile(dir.path() + "zephlin.ini");
    TSessions list;
    list.GetSession(list.AddSession("Backup"))->Settings.Password = "s3cret";
    list.SaveAllSessions();
  }
  // Starts the first session of the list as the file has it; the text of its "Error" report.
  static std::string RunError(TSessions& list) {
    std::string error;
    list.SetStatusHandler([&](int32_t, int32_t, const std::string&, const std::string& function,
                              const std::string& status) { error = function == "Error" ? status : error; });
    list.StartSession(0, true, true);
    list.SetStatusHandler(nullptr);
    return error;
  }

  TempDir dir;
  std::shared_ptr<TMemoryKeyring> keyring = std::make_shared<TMemoryKeyring>();
};

const std::string Scrambled = "password=" + ScrambleText("s3cret", PasswordKey);

}  // namespace

TEST_F(KeyringSettings, WhereThePasswordGoesWithAKeyringThatTakesItOneThatIsLockedAndNone) {
  const struct {
    const char* What;
    bool Installed, Locked, InKeyring;
  } cases[] = {
      {"a keyring that takes it", true, false, true},
      {"a locked keyring", true, true, false},
      {"no keyring", false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    keyring->Entries.clear();
    keyring->Locked = c.Locked;
    SetPasswordKeyring(c.Installed ? keyring : nullptr);
    SaveOneSession();
    EXPECT_EQ(IniHolds("password="), c.InKeyring);
    EXPECT_EQ(IniHolds(Scrambled), !c.InKeyring);
    EXPECT_EQ(IniHolds("passwordstore=keyring"), c.InKeyring);
    EXPECT_EQ(ReadTextFile(dir.path() + "zephlin.ini").find("passwordstore") != std::string::npos, c.InKeyring)
        << "no new key without the keyring";
    EXPECT_EQ((keyring->Entries[{dir.path(), "Backup"}]), c.InKeyring ? "s3cret" : "");
    EXPECT_EQ(TSessions().GetSession(0)->Settings.Password, "s3cret");
  }
}

TEST_F(KeyringSettings, AScrambledPasswordKeepsWorkingAndMovesToTheKeyringAtTheNextSave) {
  SetPasswordKeyring(nullptr);
  SaveOneSession();
  SetPasswordKeyring(keyring);
  TSessions list;
  EXPECT_EQ(list.GetSession(0)->Settings.Password, "s3cret");
  EXPECT_EQ(keyring->Fetches, 0) << "a password in the file needs no keyring";
  list.SaveSession(0);
  EXPECT_TRUE(IniHolds("passwordstore=keyring") && IniHolds("password="));
  EXPECT_EQ((keyring->Entries[{dir.path(), "Backup"}]), "s3cret");
}

TEST_F(KeyringSettings, ALockedKeyringEndsTheRunWithoutAWorkerAndSavingKeepsItsEntry) {
  SaveOneSession();
  keyring->Locked = true;
  TSessions list;
  TSession& s = *list.GetSession(0);
  EXPECT_TRUE(s.PasswordUnavailable);
  EXPECT_EQ(s.Settings.Password, "");
  const int fetchesBefore = keyring->Fetches;
  std::vector<std::string> reports;
  list.SetStatusHandler(
      [&](int32_t, int32_t, const std::string& connection, const std::string& function, const std::string& status) {
        reports.push_back(connection + "|" + function + "|" + status);
      });
  list.StartSession(0, true, true);
  EXPECT_FALSE(s.IsRunning());
  EXPECT_EQ(keyring->Fetches, fetchesBefore + 1) << "the run asks the keyring once more";
  const std::vector<std::string> expected = {"Offline||", "Offline||Starting",
                                             "Disconnected|Error|Password not available: keyring locked", "Offline||"};
  EXPECT_EQ(reports, expected);
  list.SaveAllSessions();
  EXPECT_TRUE(IniHolds("passwordstore=keyring")) << "the keyring still has it";
  keyring->Locked = false;
  EXPECT_EQ((keyring->Entries[{dir.path(), "Backup"}]), "s3cret");
  EXPECT_EQ(RunError(list), "");
  EXPECT_EQ(s.Settings.Password, "s3cret") << "unlocked: the run gets it";
  s.Stop();
  ASSERT_TRUE(ProcessEventsUntil([&] { return !s.IsRunning(); }, 10s));
}

// The desktop keyring for real: run-keyring-tests starts these two each under a session bus
// of its own, with gnome-keyring unlocked, or locked after an entry was stored; anywhere else
// they have nothing to talk to and skip.
TEST_F(KeyringSettings, DesktopRoundTripThroughTheSecretService) {
  const char* mode = std::getenv("ZEPHLIN_TEST_KEYRING");
  if (mode == nullptr || std::string(mode) != "unlocked") GTEST_SKIP() << "needs run-keyring-tests";
  const std::shared_ptr<TPasswordKeyring> desktop = MakeDesktopKeyring();
  const TKeyringEntry entry{"/home/u/.config/zephlin/", "Nightly backup"};
  std::string password;
  EXPECT_EQ(desktop->Fetch(entry, password, 10s), TResult::NotFound);
  EXPECT_EQ(desktop->Store(entry, "pa55 wörd", 10s), TResult::Done);
  EXPECT_EQ(desktop->Fetch(entry, password, 10s), TResult::Done);
  EXPECT_EQ(password, "pa55 wörd");
  EXPECT_EQ(desktop->Fetch({"/elsewhere/", entry.Session}, password, 10s), TResult::NotFound) << "folder counts";
  EXPECT_EQ(desktop->Fetch({"/settings/", "Stored"}, password, 10s), TResult::Done);
  EXPECT_EQ(password, "stored-before") << "the script's entry, which the locked case cannot read";
  SetPasswordKeyring(desktop);
  SaveOneSession();
  EXPECT_TRUE(IniHolds("passwordstore=keyring") && IniHolds("password="));
  EXPECT_EQ(TSessions().GetSession(0)->Settings.Password, "s3cret");
}

TEST_F(KeyringSettings, DesktopLockedKeyringGivesNoPasswordAndTheRunEndsWithTheError) {
  const char* mode = std::getenv("ZEPHLIN_TEST_KEYRING");
  if (mode == nullptr || std::string(mode) != "locked") GTEST_SKIP() << "needs run-keyring-tests";
  const std::shared_ptr<TPasswordKeyring> desktop = MakeDesktopKeyring();
  std::string password;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(desktop->Fetch({"/settings/", "Stored"}, password, 5s), TResult::Done);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  WriteTextFile(dir.path() + "zephlin.ini",
                "[global]\nsessions=1\n[session0]\nname=Backup\npassword=\npasswordstore=keyring\ntimeout=5\n");
  SetPasswordKeyring(desktop);
  TSessions list;
  EXPECT_EQ(RunError(list), "Password not available: keyring locked");
  EXPECT_FALSE(list.GetSession(0)->IsRunning());
}

// Headless, from cron or in CI: no session bus at all. Saving does not wait and keeps the
// password scrambled in the file, as it always did.
TEST_F(KeyringSettings, DesktopWithoutASessionBusLeavesThePasswordScrambledInTheFile) {
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  SetPasswordKeyring(MakeDesktopKeyring());
  const auto start = std::chrono::steady_clock::now();
  SaveOneSession();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_TRUE(IniHolds(Scrambled));
  EXPECT_FALSE(IniHolds("passwordstore=keyring"));
}

// A session bus that accepts the connection and never says a word: each wait ends at its
// limit, also the one queued behind the first.
TEST(DesktopKeyring, ABusThatNeverAnswersIsUnavailableWithinTheLimit) {
  TempDir dir;
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  (dir.path() + "bus").copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 8), 0);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + dir.path() + "bus").c_str(), 1);
  ::setenv("XDG_CURRENT_DESKTOP", "KDE", 1);  // the keyring is then looked for on the bus itself
  ::setenv("KDE_SESSION_VERSION", "5", 1);
  QtTestApp();
  const std::shared_ptr<TPasswordKeyring> desktop = MakeDesktopKeyring();
  std::string password;
  for (int attempt = 0; attempt < 2; ++attempt) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(desktop->Fetch({"/f/", "s"}, password, 700ms), TResult::Unavailable);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 600ms);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  }
  ::close(listener);
}
