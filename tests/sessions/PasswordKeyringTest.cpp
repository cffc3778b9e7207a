// Passwords in the keyring: what the settings file holds with a keyring that takes them, one
// that is locked and none at all; a run whose password the keyring keeps back; and the
// desktop keyring itself against a real Secret Service (gnome-keyring under its own session
// bus, see run-keyring-tests), a locked one, and a bus that never answers.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <tuple>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "sessions/PasswordKeyring.h"
#include "sessions/SessionsUnit.h"
#include "support/QtTestApp.h"
#include "support/TempDir.h"

using namespace std::chrono_literals;

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
    if (Locked) return TResult::Unavailable;
    const auto found = Entries.find({entry.Folder, entry.Session});
    if (found == Entries.end()) return TResult::NotFound;
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
  std::string Ini() const { return ReadTextFile(dir.path() + "zephlin.ini"); }
  static bool Holds(const std::string& text, const std::string& line) {
    return text.find("\n" + line + "\n") != std::string::npos;
  }
  // A list with one session "Backup" whose password is "s3cret", saved.
  void SaveOneSession() {
    TSessions list;
    TSession& s = *list.GetSession(list.AddSession("Backup"));
    s.Settings.Password = "s3cret";
    list.SaveAllSessions();
  }

  TempDir dir;
  std::shared_ptr<TMemoryKeyring> keyring = std::make_shared<TMemoryKeyring>();
};

}  // namespace

TEST_F(KeyringSettings, WhereThePasswordGoesWithAKeyringThatTakesItOneThatIsLockedAndNone) {
  struct TCase {
    const char* What;
    bool Installed;
    bool Locked;
    bool InKeyring;
  };
  const TCase cases[] = {
      {"a keyring that takes it", true, false, true},
      {"a locked keyring", true, true, false},
      {"no keyring", false, false, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    keyring->Entries.clear();
    keyring->Locked = c.Locked;
    SetPasswordKeyring(c.Installed ? keyring : nullptr);
    DeleteFile(dir.path() + "zephlin.ini");
    SaveOneSession();
    const std::string ini = Ini();
    EXPECT_EQ(Holds(ini, "password="), c.InKeyring);
    EXPECT_EQ(Holds(ini, "password=" + ScrambleText("s3cret", PasswordKey)), !c.InKeyring);
    EXPECT_EQ(Holds(ini, "passwordstore=keyring"), c.InKeyring);
    EXPECT_EQ(ini.find("passwordstore") != std::string::npos, c.InKeyring) << "no new key without the keyring";
    if (c.InKeyring) {
      EXPECT_EQ((keyring->Entries[{dir.path(), "Backup"}]), "s3cret");
    }
    TSessions loaded;
    EXPECT_EQ(loaded.GetSession(0)->Settings.Password, "s3cret");
    EXPECT_FALSE(loaded.GetSession(0)->PasswordUnavailable);
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
  EXPECT_TRUE(Holds(Ini(), "passwordstore=keyring"));
  EXPECT_TRUE(Holds(Ini(), "password="));
  EXPECT_EQ((keyring->Entries[{dir.path(), "Backup"}]), "s3cret");
}

TEST_F(KeyringSettings, ALockedKeyringEndsTheRunWithoutAWorkerAndSavingKeepsItsEntry) {
  SaveOneSession();
  keyring->Locked = true;
  TSessions list;
  TSession& s = *list.GetSession(0);
  EXPECT_TRUE(s.PasswordUnavailable);
  EXPECT_EQ(s.Settings.Password, "");
  std::vector<std::tuple<std::string, std::string, std::string>> reports;
  list.SetStatusHandler([&](int32_t, int32_t, const std::string& connection, const std::string& function,
                            const std::string& status) { reports.emplace_back(connection, function, status); });
  reports.clear();
  const int fetchesBefore = keyring->Fetches;
  list.StartSession(0, true, true);
  EXPECT_FALSE(s.IsRunning());
  EXPECT_EQ(keyring->Fetches, fetchesBefore + 1) << "the run asks the keyring once more";
  const std::vector<std::tuple<std::string, std::string, std::string>> expected = {
      {"Offline", "", "Starting"},
      {"Disconnected", "Error", "Password not available: keyring locked"},
      {"Offline", "", ""},
  };
  EXPECT_EQ(reports, expected);
  list.SaveAllSessions();
  EXPECT_TRUE(Holds(Ini(), "passwordstore=keyring")) << "the keyring still has it";
  keyring->Locked = false;
  EXPECT_EQ((keyring->Entries[{dir.path(), "Backup"}]), "s3cret");
  reports.clear();
  list.StartSession(0, true, true);
  EXPECT_EQ(s.Settings.Password, "s3cret") << "unlocked: the run gets it";
  EXPECT_FALSE(s.PasswordUnavailable);
  s.Stop();
  ASSERT_TRUE(ProcessEventsUntil([&] { return !s.IsRunning(); }, 10s));
}

// The desktop keyring for real. run-keyring-tests starts each case with a session bus of its
// own and gnome-keyring unlocked ("unlocked") or without a keyring it could open ("locked");
// elsewhere these cases have nothing to talk to and are skipped.
TEST(DesktopKeyring, RoundTripThroughTheSecretService) {
  const char* mode = std::getenv("ZEPHLIN_TEST_KEYRING");
  if (mode == nullptr || std::string(mode) != "unlocked") GTEST_SKIP() << "needs run-keyring-tests";
  QtTestApp();
  const std::shared_ptr<TPasswordKeyring> desktop = MakeDesktopKeyring();
  const TKeyringEntry entry{"/home/u/.config/zephlin/", "Nightly backup"};
  std::string password;
  EXPECT_EQ(desktop->Fetch(entry, password, 10s), TPasswordKeyring::TResult::NotFound);
  EXPECT_EQ(desktop->Store(entry, "pa55 wörd", 10s), TPasswordKeyring::TResult::Done);
  EXPECT_EQ(desktop->Fetch(entry, password, 10s), TPasswordKeyring::TResult::Done);
  EXPECT_EQ(password, "pa55 wörd");
  EXPECT_EQ(desktop->Fetch({"/elsewhere/", "Nightly backup"}, password, 10s), TPasswordKeyring::TResult::NotFound)
      << "the settings folder is part of the entry";
  EXPECT_EQ(desktop->Fetch({"/settings/", "Stored"}, password, 10s), TPasswordKeyring::TResult::Done);
  EXPECT_EQ(password, "stored-before") << "the script's entry, which the locked case cannot read";

  // The session list with it: saved into the keyring, loaded back from it.
  TempDir dir;
  SetProgramDirectory(dir.path());
  SetPasswordKeyring(desktop);
  {
    TSessions list;
    list.GetSession(list.AddSession("Backup"))->Settings.Password = "s3cret";
    list.SaveAllSessions();
  }
  const std::string ini = ReadTextFile(dir.path() + "zephlin.ini");
  EXPECT_NE(ini.find("\npassword=\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("\npasswordstore=keyring\n"), std::string::npos) << ini;
  EXPECT_EQ(TSessions().GetSession(0)->Settings.Password, "s3cret");
  SetPasswordKeyring(nullptr);
  SetProgramDirectory("");
}

TEST(DesktopKeyring, ALockedKeyringGivesNoPasswordAndTheRunEndsWithTheError) {
  const char* mode = std::getenv("ZEPHLIN_TEST_KEYRING");
  if (mode == nullptr || std::string(mode) != "locked") GTEST_SKIP() << "needs run-keyring-tests";
  QtTestApp();
  const std::shared_ptr<TPasswordKeyring> desktop = MakeDesktopKeyring();
  std::string password;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(desktop->Fetch({"/settings/", "Stored"}, password, 5s), TPasswordKeyring::TResult::Done);
  EXPECT_EQ(password, "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

  // A session whose password is there: its run ends with the error, without a worker.
  TempDir dir;
  WriteTextFile(dir.path() + "zephlin.ini",
                "[global]\nsessions=1\n[session0]\nname=Backup\nsessionstarter=manual\npassword=\n"
                "passwordstore=keyring\ntimeout=5\n");
  SetProgramDirectory(dir.path());
  SetPasswordKeyring(desktop);
  {
    TSessions list;
    std::string lastError;
    list.SetStatusHandler(
        [&](int32_t, int32_t, const std::string&, const std::string& function, const std::string& status) {
          if (function == "Error") lastError = status;
        });
    list.StartSession(0, false, true);
    EXPECT_FALSE(list.GetSession(0)->IsRunning());
    EXPECT_EQ(lastError, "Password not available: keyring locked");
  }
  SetPasswordKeyring(nullptr);
  SetProgramDirectory("");
}

// A session bus that accepts the connection and never says a word: the wait ends at the
// limit, and the next call is not held longer either.
TEST(DesktopKeyring, ABusThatNeverAnswersIsUnavailableWithinTheLimit) {
  TempDir dir;
  const std::string path = dir.path() + "bus";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 8), 0);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + path).c_str(), 1);
  ::setenv("XDG_CURRENT_DESKTOP", "KDE", 1);  // the keyring is looked for on the bus itself
  ::setenv("KDE_SESSION_VERSION", "5", 1);
  QtTestApp();
  const std::shared_ptr<TPasswordKeyring> desktop = MakeDesktopKeyring();
  std::string password;
  for (int attempt = 0; attempt < 2; ++attempt) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(desktop->Fetch({"/f/", "s"}, password, 700ms), TPasswordKeyring::TResult::Unavailable);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 600ms);
    EXPECT_LT(waited, 3s);
  }
  ::close(listener);
}

// Headless, from cron or in CI: no session bus at all. Saving does not wait and keeps the
// password scrambled in the file, as it always did.
TEST(DesktopKeyring, WithoutASessionBusThePasswordStaysScrambledInTheFile) {
  TempDir dir;
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  QtTestApp();
  SetProgramDirectory(dir.path());
  SetPasswordKeyring(MakeDesktopKeyring());
  const auto start = std::chrono::steady_clock::now();
  {
    TSessions list;
    TSession& s = *list.GetSession(list.AddSession("Backup"));
    s.Settings.Password = "s3cret";
    list.SaveAllSessions();
  }
  const auto waited = std::chrono::steady_clock::now() - start;
  SetPasswordKeyring(nullptr);
  SetProgramDirectory("");
  const std::string ini = ReadTextFile(dir.path() + "zephlin.ini");
  EXPECT_NE(ini.find("\npassword=" + ScrambleText("s3cret", PasswordKey) + "\n"), std::string::npos) << ini;
  EXPECT_EQ(ini.find("passwordstore"), std::string::npos);
  EXPECT_LT(waited, 5s);
}
