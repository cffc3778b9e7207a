#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "platform/Text.h"
#include "sessions/SessionsUnit.h"
#include "support/TempDir.h"

namespace {

// What the list put into the editor and what the scripted user answers; outlives each editor.
struct EditorScript {
  TSessionSettings Shown;
  std::vector<std::string> Candidates;
  std::vector<std::string> Calls;
  bool Confirm = true;
  std::function<void(TSessionSettings&)> UserEdits;
};

// An editor that records what the list put into it and answers from its script.
class ScriptedEditor : public ISessionEditor {
 public:
  explicit ScriptedEditor(EditorScript& script) : S(script) {}

  void AddParentCandidate(const std::string& name) override {
    S.Calls.push_back("candidate");
    S.Candidates.push_back(name);
  }
  void SetSettings(const TSessionSettings& settings) override {
    S.Calls.push_back("settings");
    S.Shown = Edited = settings;
  }
  TSessionSettings GetSettings() const override { return Edited; }
  bool ShowModal() override {
    if (S.UserEdits) S.UserEdits(Edited);
    return S.Confirm;
  }

 private:
  EditorScript& S;
  TSessionSettings Edited;
};

class SessionList : public ::testing::Test {
 protected:
  void SetUp() override { SetProgramDirectory(dir.path()); }
  void TearDown() override { SetProgramDirectory(""); }
  std::string ReadIni() {
    std::string text;
    ReadWholeFile(dir.path() + "zephlin.ini", text);
    return text;
  }
  void UseEditor(TSessions& list, EditorScript& script) {
    list.SetEditorFactory([&script] { return std::make_unique<ScriptedEditor>(script); });
  }
  TempDir dir;
};

using Report = std::tuple<int32_t, int32_t, std::string, std::string, std::string>;

}  // namespace

TEST_F(SessionList, AddFindAndDefaults) {
  TSessions list;
  EXPECT_EQ(list.FindSession("x"), -1);
  const int32_t first = list.AddSession("");
  const TSession& s = *list.GetSession(first);
  EXPECT_EQ(s.Settings.Name, "NewSession0");
  EXPECT_EQ(s.Settings.Port, 21);
  EXPECT_EQ(s.Settings.SessionStarter, "");
  EXPECT_EQ(s.Settings.CrcFile, "");
  EXPECT_EQ(s.Settings.Timeout, 30);
  EXPECT_FALSE(s.IsRunning());
  list.AddSession("Backup");
  list.AddSession("NewSession0");  // names need not be unique
  EXPECT_EQ(list.FindSession("BACKUP"), 1);
  EXPECT_EQ(list.FindSession("newsession0"), 0) << "the lower index wins";
  EXPECT_EQ(list.FindSession("Back"), -1);
  EXPECT_EQ(list.GetSession(3), nullptr);
  EXPECT_EQ(list.GetSession(-1), nullptr);
  EXPECT_FALSE(SameTextIgnoringCase("\xC4", "\xE4")) << "only A to Z fold";
  EXPECT_EQ(ReadIni(), "") << "adding writes nothing";
}

TEST_F(SessionList, StatusHandlerFillsEveryRowWithTheIdleReport) {
  TSessions list;
  list.AddSession("a");
  list.AddSession("b");
  std::vector<Report> reports;
  list.SetStatusHandler([&](int32_t i, int32_t r, const std::string& c, const std::string& f, const std::string& s) {
    reports.emplace_back(i, r, c, f, s);
  });
  list.AddSession("c");
  EXPECT_EQ(reports,
            (std::vector<Report>{{0, 0, "Offline", "", ""}, {1, 0, "Offline", "", ""}, {2, 0, "Offline", "", ""}}));
}

TEST_F(SessionList, AddInteractivePrefillsAndSavesOnConfirm) {
  TSessions list;
  list.AddSession("Parent");
  list.SaveAllSessions();
  EditorScript editor;
  editor.UserEdits = [](TSessionSettings& e) {
    e.Name = "Mirror";
    e.SessionStarter = "chain";
    e.ParentSession = "Parent";
    e.Password = "s3cret";
    e.Port = 2121;
  };
  UseEditor(list, editor);
  const int32_t added = list.AddSessionInteractive();
  EXPECT_EQ(added, 1);
  EXPECT_EQ(editor.Candidates, std::vector<std::string>{"Parent"});
  EXPECT_EQ(editor.Calls, (std::vector<std::string>{"candidate", "settings"}));
  EXPECT_EQ(editor.Shown.Name, "NewSession1");
  EXPECT_EQ(editor.Shown.Port, 21);
  EXPECT_EQ(editor.Shown.Timeout, 30);
  EXPECT_TRUE(editor.Shown.ExactTimes) << "new sessions get exact times";
  EXPECT_EQ(editor.Shown.Exclude, std::nullopt) << "and leave out hidden files";
  const TSession& s = *list.GetSession(1);
  EXPECT_EQ(s.Settings.Name, "Mirror");
  EXPECT_EQ(s.Settings.Port, 2121);
  EXPECT_EQ(s.Settings.ParentSession, "Parent");
  EXPECT_EQ(s.Settings.CrcFile.size(), 12u) << "an empty CRC file name is generated";
  EXPECT_NE(ReadIni().find("[session1]\nname=Mirror\n"), std::string::npos);
  EXPECT_EQ(ReadIni().find("s3cret"), std::string::npos) << "passwords are stored scrambled";

  editor.Confirm = false;
  EXPECT_EQ(list.AddSessionInteractive(), -1);
  EXPECT_EQ(list.Count(), 2);
}

TEST_F(SessionList, EditInteractiveFillsEverySettingAndLeavesItselfOutOfTheParents) {
  TSessions list;
  list.AddSession("A");
  TSession& b = *list.GetSession(list.AddSession("B"));
  b.Settings.Password = "pw";
  b.Settings.Countdown = 5;
  b.Settings.ParentSession = "A";
  b.Settings.CrcFile = "b.crc";
  b.Settings.DebugMode = true;
  list.AddSession("C");
  EditorScript editor;
  editor.UserEdits = [](TSessionSettings& e) { e.Countdown = 60; };
  UseEditor(list, editor);
  list.EditSessionInteractive(1);
  EXPECT_EQ(editor.Candidates, (std::vector<std::string>{"A", "C"}));
  EXPECT_EQ(editor.Shown.Password, "pw");
  EXPECT_EQ(editor.Shown.ParentSession, "A");
  EXPECT_EQ(editor.Shown.CrcFile, "b.crc");
  EXPECT_TRUE(editor.Shown.DebugMode);
  // Candidates must exist before the parent is chosen.
  EXPECT_EQ(editor.Calls, (std::vector<std::string>{"candidate", "candidate", "settings"}));
  EXPECT_EQ(b.Settings.Countdown, 60);
  EXPECT_EQ(b.Settings.CrcFile, "b.crc");
  EXPECT_NE(ReadIni().find("countdown=60\n"), std::string::npos);

  editor.Confirm = false;
  editor.UserEdits = [](TSessionSettings& e) { e.Countdown = 1; };
  list.EditSessionInteractive(1);
  EXPECT_EQ(b.Settings.Countdown, 60) << "cancel changes nothing";
  list.EditSessionInteractive(9);  // outside the list: nothing
}

TEST_F(SessionList, MenuChangesLiveInMemoryUntilTheNextSave) {
  {
    TSessions list;
    list.GetSession(list.AddSession("A"))->Settings.SessionStarter = "countdown";
    list.SaveAllSessions();
    list.GetSession(0)->Settings.SessionStarter = "manual";
  }
  TSessions reloaded;
  EXPECT_EQ(reloaded.GetSession(0)->Settings.SessionStarter, "countdown");
}
