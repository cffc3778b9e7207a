#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <optional>
#include <set>

#include "platform/DateTime.h"
#include "platform/Errors.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "sessions/SessionsUnit.h"
#include "support/TempDir.h"
#include "support/WriteProtected.h"

namespace {

// Every test gets its own program directory and a fixed clock.
class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramDirectory(dir.path());
    SetNowFunction([] { return EncodeDateTime({2026, 12, 6, 16, 0, 0, 0}); });
  }
  void TearDown() override {
    SetNowFunction(nullptr);
    SetProgramDirectory("");
  }
  void WriteIni(const std::string& text) { WriteFileAtomic(dir.path() + "zephlin.ini", text); }
  std::string ReadIni() {
    std::string text;
    ReadWholeFile(dir.path() + "zephlin.ini", text);
    return text;
  }
  TempDir dir;
};

const char* const ExampleFile =
    "[global]\nsessions=1\n[session0]\nname=NewSession0\nlocalpath=C:\\outgoing\\\nremotepath=/incoming/\n"
    "sessionstarter=countdown\ncountdown=300\ndetectwait=0\nsessionmode=copylocaltoremote\nrecurse=1\n"
    "host=192.0.2.10\nport=21\nusername=\npassword=\ntimeout=30\nabortonfailure=0\npassivemode=1\n"
    "encryption=none\ntlsfingerprint=\n"
    "parentsession=\ncrcfile=113D5800.crc\ntestmode=0\ndebugmode=0\nmaxdelete=50\nexacttimes=0\nretries="
    "3\natomicupload=0\nconnections=1\nratelimit=0\nhostkey=\nkeyfile=\nprotocol=ftp\n";

}  // namespace

TEST_F(SettingsFile, SaveAllWritesTheExampleByteForByte) {
  TSessions list;
  ASSERT_EQ(list.Count(), 0) << "no file: an empty list";
  TSession& s = *list.GetSession(list.AddSession(""));
  s.Settings.LocalPath = "C:\\outgoing\\";
  s.Settings.RemotePath = "/incoming/";
  s.Settings.SessionStarter = "countdown";
  s.Settings.Countdown = 300;
  s.Settings.SessionMode = SessionModeOf("copylocaltoremote");
  s.Settings.Recurse = true;
  s.Settings.Host = "192.0.2.10";
  s.Settings.Timeout = 30;
  s.Settings.PassiveMode = true;
  s.SetCrcFile("");
  EXPECT_EQ(s.Settings.CrcFile, "113D5800.crc");
  list.SaveAllSessions();
  EXPECT_EQ(ReadIni(), ExampleFile);
  struct stat st {};
  ASSERT_EQ(::stat((dir.path() + "zephlin.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the file holds passwords";

  TSessions reloaded;
  ASSERT_EQ(reloaded.Count(), 1);
  const TSession& r = *reloaded.GetSession(0);
  EXPECT_EQ(r.Settings.LocalPath, "C:\\outgoing\\");
  EXPECT_EQ(r.Settings.Countdown, 300);
  EXPECT_TRUE(r.Settings.Recurse);
  EXPECT_TRUE(r.Settings.PassiveMode);
  EXPECT_FALSE(r.Settings.AbortOnFailure);
  EXPECT_EQ(r.Settings.CrcFile, "113D5800.crc");
}

TEST_F(SettingsFile, PasswordsRoundTripForEveryByteAndAnyLength) {
  std::string every;
  for (int c = 1; c <= 255; ++c) every.push_back(static_cast<char>(c));
  const std::string longPassword(600, 'q');
  {
    TSessions list;
    list.GetSession(list.AddSession("a"))->Settings.Password = every;
    list.GetSession(list.AddSession("b"))->Settings.Password = longPassword;
    list.GetSession(list.AddSession("c"))->Settings.Password = "";
    list.SaveAllSessions();
  }
  const std::string ini = ReadIni();
  EXPECT_NE(ini.find("password=" + ScrambleText(every, PasswordKey) + "\n"), std::string::npos);
  EXPECT_NE(ini.find("password=\n"), std::string::npos) << "an empty password is an empty value";
  TSessions list;
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.GetSession(0)->Settings.Password, every);
  EXPECT_EQ(list.GetSession(1)->Settings.Password, longPassword);
  EXPECT_EQ(list.GetSession(2)->Settings.Password, "");
}

TEST(Scramble, StoredFormIsReversedHexGroups) {
  // 'a' ^ 'M' = 0x2C, 'b' ^ 'o' = 0x0D: the first character's group comes last.
  EXPECT_EQ(ScrambleText("ab", PasswordKey), "000D002C");
  EXPECT_EQ(ScrambleText("", PasswordKey), "");
  std::string plain = "unchanged";
  EXPECT_TRUE(UnscrambleText("000D002C", PasswordKey, plain));
  EXPECT_EQ(plain, "ab");
  // The key wraps after nine characters.
  const std::string ten = "0123456789";
  EXPECT_EQ(ScrambleText(ten, PasswordKey).substr(0, 4), ScrambleText("9", "M"));
  EXPECT_FALSE(UnscrambleText("00D", PasswordKey, plain));
  EXPECT_FALSE(UnscrambleText("00G1", PasswordKey, plain));
}

TEST_F(SettingsFile, OddValuesReadAsTheirDefaults) {
  WriteIni(
      "[GLOBAL]\r\nSessions=3\r\n[session0]\r\nport=0x15\r\nrecurse=true\r\ncountdown=abc\r\npassword=12Z4\r\n"
      "timeout=$15\r\nabortonfailure=2\r\ndetectwait=-7\r\nname = ' spaced '\r\n[session2]\r\nport=99999999999\r\n"
      "passivemode=0x\r\ntestmode=$\r\ndebugmode=-1\r\n[session3]\r\nname=ignored\r\n");
  TSessions list;
  ASSERT_EQ(list.Count(), 3);
  const TSession& a = *list.GetSession(0);
  EXPECT_EQ(a.Settings.Port, 21);
  EXPECT_FALSE(a.Settings.Recurse);
  EXPECT_EQ(a.Settings.Countdown, 0);
  EXPECT_EQ(a.Settings.Password, "") << "a password that is not scrambled text loads as empty";
  EXPECT_EQ(a.Settings.Timeout, 21);
  EXPECT_TRUE(a.Settings.AbortOnFailure);
  EXPECT_EQ(a.Settings.DetectWait, -7);
  EXPECT_EQ(a.Settings.Name, " spaced ");
  const TSession& missing = *list.GetSession(1);
  EXPECT_EQ(missing.Settings.Name, "NewSession1");
  EXPECT_EQ(missing.Settings.Port, 21);
  EXPECT_EQ(missing.Settings.SessionStarter, "");
  EXPECT_EQ(missing.Settings.CrcFile.size(), 12u);
  EXPECT_EQ(missing.Settings.Timeout, 30) << "a new session waits 30 seconds";
  const TSession& c = *list.GetSession(2);
  EXPECT_EQ(c.Settings.Name, "NewSession2");
  EXPECT_EQ(c.Settings.Port, 21) << "out of 32-bit range";
  EXPECT_FALSE(c.Settings.PassiveMode);
  EXPECT_FALSE(c.Settings.TestMode);
  EXPECT_TRUE(c.Settings.DebugMode);
}

TEST_F(SettingsFile, GeneratedCrcNamesAreUniqueWithinTheList) {
  WriteIni("[global]\nsessions=3\n[session1]\ncrcfile=own.crc\n");
  TSessions list;
  EXPECT_EQ(list.GetSession(0)->Settings.CrcFile, "113D5800.crc");
  EXPECT_EQ(list.GetSession(1)->Settings.CrcFile, "own.crc");
  EXPECT_EQ(list.GetSession(2)->Settings.CrcFile, "113D57FF.crc") << "the next second's name (n wraps negative)";
  EXPECT_EQ(ReadIni().find("113D"), std::string::npos) << "generated names are not written back on load";
}

TEST_F(SettingsFile, CrcNameOfTheMostNegativeSecondKeepsItsBitPattern) {
  // 2^31 seconds after day 0 wraps to the most negative 32-bit number.
  const TDateTime wrap = 2147483648.0 / 86400.0;
  SetNowFunction([wrap] { return wrap; });
  EXPECT_EQ(TSession::GenerateCrcFileName(), "80000000.crc");
}

TEST_F(SettingsFile, CloneAndRemoveKeepTheFileInStep) {
  {
    TSessions list;
    for (const char* name : {"A", "B", "C"}) {
      TSession& s = *list.GetSession(list.AddSession(name));
      s.Settings.Host = std::string("host-") + name;
      s.Settings.CrcFile = std::string(name) + ".crc";
      s.Settings.TestMode = true;
      s.Settings.DebugMode = true;
    }
    list.SaveAllSessions();
    const int32_t clone = list.CloneSession(0);
    EXPECT_EQ(clone, 3);
    const TSession& c = *list.GetSession(clone);
    EXPECT_EQ(c.Settings.Name, "A_3");
    EXPECT_EQ(c.Settings.Host, "host-A");
    EXPECT_EQ(c.Settings.CrcFile, "113D5800.crc") << "a store of its own, unused";
    EXPECT_FALSE(c.Settings.TestMode);
    EXPECT_FALSE(c.Settings.DebugMode);
    const std::string ini = ReadIni();
    EXPECT_NE(ini.find("sessions=4\n"), std::string::npos);
    EXPECT_NE(ini.find("[session3]\nname=A_3\n"), std::string::npos);
    EXPECT_NE(ini.find("crcfile=113D5800.crc\ntestmode=0\ndebugmode=0\n"), std::string::npos);
    EXPECT_EQ(list.GetSession(list.CloneSession(3))->Settings.CrcFile, "113D57FF.crc") << "not the first clone's";
    list.RemoveSession(4);

    EXPECT_TRUE(list.RemoveSession(1));
    EXPECT_FALSE(list.RemoveSession(7));
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list.GetSession(1)->Settings.Name, "C");
    EXPECT_EQ(list.GetSession(1)->Index, 1);
    EXPECT_EQ(list.GetSession(1)->Settings.Host, "host-C");
    const std::string after = ReadIni();
    EXPECT_EQ(after.find("[session3]"), std::string::npos) << "the old highest section is gone";
    EXPECT_NE(after.find("[session1]\nname=C\n"), std::string::npos);
  }
  TSessions reloaded;
  ASSERT_EQ(reloaded.Count(), 3);
  EXPECT_EQ(reloaded.GetSession(2)->Settings.Name, "A_3");
  EXPECT_EQ(reloaded.GetSession(2)->Settings.CrcFile, "113D5800.crc");
}

TEST_F(SettingsFile, SaveSessionKeepsForeignLinesAndOtherSections) {
  WriteIni("; my notes\n[global]\nsessions=1\n[session0]\nname=Old\nextra=keep\n[unrelated]\nk=v\n");
  TSessions list;
  list.GetSession(0)->Settings.Name = "New";
  list.SaveSession(0);
  list.SaveSession(5);  // outside the list: nothing
  const std::string ini = ReadIni();
  EXPECT_EQ(ini.rfind("; my notes\n[global]\nsessions=1\n[session0]\nname=New\nextra=keep\nlocalpath=\n", 0), 0u)
      << ini;
  EXPECT_NE(ini.find("[unrelated]\nk=v\n"), std::string::npos);
}

TEST_F(SettingsFile, RefusedWriteRaisesAndKeepsTheOldFile) {
  TSessions list;
  list.AddSession("kept");
  list.SaveAllSessions();
  const std::string before = ReadIni();
  list.GetSession(0)->Settings.Name = "changed";
  ::chmod(dir.path().c_str(), 0755);
  const std::string message = RunWithDirectoryWriteProtected(dir.path(), [&] {
    try {
      list.SaveAllSessions();
      return std::string("saved");
    } catch (const EZephlin& e) {
      return std::string(e.what());
    }
  });
  EXPECT_EQ(message, "Unable to write to " + dir.path() + "zephlin.ini");
  EXPECT_EQ(ReadIni(), before);
  EXPECT_EQ(list.GetSession(0)->Settings.Name, "changed") << "memory keeps the change";
}

// --- The key table: every key written, read back and defaulted the same way ---

namespace {

// A value for the key that no new session has, different for every key.
void SetDistinct(const TSettingsKey& key, size_t row, TSessionSettings& s) {
  if (const auto* text = std::get_if<TTextSetting>(&key.Field)) s.** text = "v" + std::to_string(row) + " \xE4=;";
  if (const auto* integer = std::get_if<TIntegerSetting>(&key.Field)) s.** integer = -1000 - static_cast<int32_t>(row);
  if (const auto* flag = std::get_if<TFlagSetting>(&key.Field)) s.** flag = true;
  if (const auto* optional = std::get_if<TOptionalTextSetting>(&key.Field)) s.** optional = "v" + std::to_string(row);
  if (const auto* protocol = std::get_if<TProtocolSetting>(&key.Field)) s.** protocol = TProtocol::Sftp;
  if (const auto* mode = std::get_if<TModeSetting>(&key.Field)) s.** mode = TSessionMode::SyncRemoteToLocal;
}

// The value as the file stores it: text as it is or scrambled, integers in decimal, flags 1.
std::string StoredText(const TSettingsKey& key, const TSessionSettings& s) {
  if (const auto* text = std::get_if<TTextSetting>(&key.Field))
    return key.Scrambled ? ScrambleText(s.**text, PasswordKey) : s.**text;
  if (const auto* integer = std::get_if<TIntegerSetting>(&key.Field)) return std::to_string(s.**integer);
  if (const auto* optional = std::get_if<TOptionalTextSetting>(&key.Field)) return *(s.**optional);
  if (const auto* protocol = std::get_if<TProtocolSetting>(&key.Field)) return ProtocolKeyword(s.**protocol);
  if (const auto* mode = std::get_if<TModeSetting>(&key.Field)) return SessionModeKeyword(s.**mode);
  return "1";
}

bool SameValue(const TSettingsKey& key, const TSessionSettings& a, const TSessionSettings& b) {
  return std::visit([&](auto field) { return a.*field == b.*field; }, key.Field);
}

// The session's section as "key=value" lines, without the section line.
std::vector<std::string> SectionLines(const std::string& ini, const std::string& section) {
  std::vector<std::string> lines;
  size_t at = ini.find("[" + section + "]\n");
  if (at == std::string::npos) return lines;
  at = ini.find('\n', at) + 1;
  while (at < ini.size() && ini[at] != '[') {
    const size_t end = ini.find('\n', at);
    lines.push_back(ini.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

}  // namespace

TEST_F(SettingsFile, EveryKeyIsWrittenInTableOrderAndReadsBack) {
  TSessionSettings stored;
  for (size_t row = 0; row < SessionSettingsKeys.size(); ++row) SetDistinct(SessionSettingsKeys[row], row, stored);
  {
    TSessions list;
    list.GetSession(list.AddSession(""))->Settings = stored;
    list.SaveAllSessions();
  }
  const std::vector<std::string> lines = SectionLines(ReadIni(), "session0");
  ASSERT_EQ(lines.size(), SessionSettingsKeys.size());
  TSessions reloaded;
  ASSERT_EQ(reloaded.Count(), 1);
  for (size_t row = 0; row < SessionSettingsKeys.size(); ++row) {
    const TSettingsKey& key = SessionSettingsKeys[row];
    EXPECT_EQ(lines[row], std::string(key.Key) + "=" + StoredText(key, stored));
    EXPECT_TRUE(SameValue(key, reloaded.GetSession(0)->Settings, stored)) << key.Key;
  }
}

TEST_F(SettingsFile, AMissingKeyLeavesTheValueOfANewSession) {
  TSessionSettings stored;
  for (size_t row = 0; row < SessionSettingsKeys.size(); ++row) SetDistinct(SessionSettingsKeys[row], row, stored);
  {
    TSessions list;
    list.GetSession(list.AddSession(""))->Settings = stored;
    list.SaveAllSessions();
  }
  const std::string full = ReadIni();
  TSessionSettings fresh;
  fresh.Name = "NewSession0";
  fresh.CrcFile = "113D5800.crc";  // generated from the clock
  for (const TSettingsKey& key : SessionSettingsKeys) {
    const size_t line = full.find("\n" + std::string(key.Key) + "=") + 1;
    WriteIni(full.substr(0, line) + full.substr(full.find('\n', line) + 1));
    TSessions list;
    ASSERT_EQ(list.Count(), 1);
    for (const TSettingsKey& other : SessionSettingsKeys) {
      const TSessionSettings& expected = &other == &key ? fresh : stored;
      EXPECT_TRUE(SameValue(other, list.GetSession(0)->Settings, expected)) << key.Key << " missing, " << other.Key;
    }
  }
}

// "exclude" tells a session without the key (dot names hidden) from one whose patterns are
// empty (nothing left out); "exacttimes" is off for a stored session without it; an empty or
// unknown "protocol" is FTP, as every session stored before SFTP is.
TEST_F(SettingsFile, ExcludeKeepsItsAbsenceAndExactTimesDefaultsOff) {
  const struct {
    const char* Lines;
    std::optional<std::string> Exclude;
    bool ExactTimes;
    const char* Saved;  // the session's section after saving, from "maxdelete" on
  } cases[] = {
      {"", std::nullopt, false,
       "maxdelete=50\nexacttimes=0\nretries=3\natomicupload=0\nconnections=1\nratelimit=0\nhostkey=\nkeyfile="
       "\nprotocol=ftp\n"},
      {"exclude=\n", "", false,
       "maxdelete=50\nexclude=\nexacttimes=0\nretries=3\natomicupload=0\nconnections=1\nratelimit=0\nhostkey=\nkeyfile="
       "\nprotocol=ftp\n"},
      {"exclude=.git/;*.tmp\nexacttimes=1\n", ".git/;*.tmp", true,
       "maxdelete=50\nexclude=.git/"
       ";*.tmp\nexacttimes=1\nretries=3\natomicupload=0\nconnections=1\nratelimit=0\nhostkey=\nkeyfile=\nprotocol="
       "ftp\n"},
      {"protocol=\n", std::nullopt, false,
       "maxdelete=50\nexacttimes=0\nretries=3\natomicupload=0\nconnections=1\nratelimit=0\nhostkey=\nkeyfile="
       "\nprotocol=ftp\n"},
      {"protocol=SFTP\n", std::nullopt, false,
       "maxdelete=50\nexacttimes=0\nretries=3\natomicupload=0\nconnections=1\nratelimit=0\nhostkey=\nkeyfile="
       "\nprotocol=ftp\n"},
      {"protocol=sftp\n", std::nullopt, false,
       "maxdelete=50\nexacttimes=0\nretries=3\natomicupload=0\nconnections=1\nratelimit=0\nhostkey=\nkeyfile="
       "\nprotocol=sftp\n"},
  };
  for (const auto& c : cases) {
    WriteIni(std::string("[global]\nsessions=1\n[session0]\nname=A\n") + c.Lines);
    TSessions list;
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.GetSession(0)->Settings.Exclude, c.Exclude) << c.Lines;
    EXPECT_EQ(list.GetSession(0)->Settings.ExactTimes, c.ExactTimes) << c.Lines;
    list.SaveAllSessions();
    const std::string ini = ReadIni();
    EXPECT_EQ(ini.substr(ini.find("maxdelete=")), c.Saved) << c.Lines;
  }
  // Saving one session into the file it came from drops the key once it is no longer set.
  TSessions list;
  list.GetSession(0)->Settings.Exclude.reset();
  list.SaveSession(0);
  EXPECT_EQ(ReadIni().find("exclude="), std::string::npos);
}

TEST_F(SettingsFile, UnknownKeysSurviveSavingOneSessionButNotSavingAll) {
  const struct {
    const char* Save;
    bool Survives;
  } cases[] = {{"one", true}, {"all", false}};
  for (const auto& c : cases) {
    WriteIni("[global]\nsessions=1\n[session0]\nname=A\nlater=kept\n");
    TSessions list;
    if (std::string(c.Save) == "one")
      list.SaveSession(0);
    else
      list.SaveAllSessions();
    EXPECT_EQ(ReadIni().find("later=kept\n") != std::string::npos, c.Survives) << c.Save;
  }
}

// --- Hostile files ---

TEST_F(SettingsFile, HostileValuesAreBoundedOrReplaced) {
  const struct {
    const char* Name;
    std::string Ini;
    int32_t Count;
    std::string CrcFile;  // of session 0
    bool Warned;
  } cases[] = {
      {"huge count", "[global]\nsessions=2000000000\n[session0]\ncrcfile=a.crc\n[Session2]\nname=C\n", 3, "a.crc",
       true},
      {"huge count, no sections", "[global]\nsessions=10001\n", 0, "", true},
      {"largest count", "[global]\nsessions=10000\n[session0]\ncrcfile=a.crc\n", 10000, "a.crc", false},
      {"store in another folder", "[global]\nsessions=1\n[session0]\ncrcfile=../../etc/x.crc\n", 1, "113D5800.crc",
       false},
      {"store in a sub-folder", "[global]\nsessions=1\n[session0]\ncrcfile=sub/x.crc\n", 1, "113D5800.crc", false},
      {"store is the folder", "[global]\nsessions=1\n[session0]\ncrcfile=..\n", 1, "113D5800.crc", false},
      {"plain name", "[global]\nsessions=1\n[session0]\ncrcfile=x.y.crc\n", 1, "x.y.crc", false},
  };
  for (const auto& c : cases) {
    WriteIni(c.Ini);
    ::testing::internal::CaptureStderr();
    TSessions list;
    const std::string printed = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(list.Count(), c.Count) << c.Name;
    if (c.Count > 0) {
      EXPECT_EQ(list.GetSession(0)->Settings.CrcFile, c.CrcFile) << c.Name;
    }
    EXPECT_EQ(printed.find("zephlin: ") != std::string::npos, c.Warned) << c.Name << ": " << printed;
  }
}

TEST_F(SettingsFile, LoadingTakesTimeInProportionToTheSessions) {
  // Sessions without a store name all get one generated in the same second; each name must
  // be found without trying every name given before it against every session.
  std::string ini = "[global]\nsessions=2000\n";
  for (int i = 0; i < 2000; ++i) ini += "[session" + std::to_string(i) + "]\nname=S" + std::to_string(i) + "\n";
  WriteIni(ini);
  const auto start = std::chrono::steady_clock::now();
  TSessions list;
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(list.Count(), 2000);
  std::set<std::string> names;
  for (int32_t i = 0; i < list.Count(); ++i) names.insert(list.GetSession(i)->Settings.CrcFile);
  EXPECT_EQ(names.size(), 2000u) << "every session has a store of its own";
  EXPECT_LT(took, std::chrono::seconds(5)) << "a few milliseconds when it is linear";
}

TEST_F(SettingsFile, ALineBreakInAValueIsRefusedAndNothingIsWritten) {
  TSessions list;
  list.AddSession("kept");
  list.SaveAllSessions();
  const std::string before = ReadIni();
  for (const char* value : {"evil\nsessions=99", "evil\r", "\rrecurse=1"}) {
    list.GetSession(0)->Settings.LocalPath = value;
    for (const bool all : {false, true}) {
      try {
        all ? list.SaveAllSessions() : list.SaveSession(0);
        ADD_FAILURE() << "saved " << value;
      } catch (const EZephlin& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Unable to write to " + dir.path() + "zephlin.ini: the localpath of session kept holds a line break");
      }
      EXPECT_EQ(ReadIni(), before);
    }
  }
}
