#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "sessions/SessionsUnit.h"
#include "support/TempDir.h"

namespace {

// What the editor was given and what the scripted user answers; outlives each editor.
struct EditorScript {
  std::map<std::string, std::string> Text;
  std::map<std::string, int32_t> Number;
  std::map<std::string, bool> Flag;
  std::vector<std::string> Candidates;
  std::vector<std::string> Calls;
  bool Confirm = true;
  std::function<void(EditorScript&)> UserEdits;
};

// An editor that records what the list put into it and answers from its script.
class ScriptedEditor : public ISessionEditor {
 public:
  explicit ScriptedEditor(EditorScript& script) : S(script) {}

#define TEXT_FIELD(F)                                                      \
  void Set##F(const std::string& v) override {                             \
    S.Calls.push_back(#F);                                                 \
    S.Text[#F] = v;                                                        \
  }                                                                        \
  std::string Get##F() const override { return S.Text.count(#F) ? S.Text.at(#F) : ""; }
#define NUMBER_FIELD(F)                                                    \
  void Set##F(int32_t v) override {                                        \
    S.Calls.push_back(#F);                                                 \
    S.Number[#F] = v;                                                      \
  }                                                                        \
  int32_t Get##F() const override { return S.Number.count(#F) ? S.Number.at(#F) : 0; }
#define FLAG_FIELD(F)                                                      \
  void Set##F(bool v) override {                                           \
    S.Calls.push_back(#F);                                                 \
    S.Flag[#F] = v;                                                        \
  }                                                                        \
  bool Get##F() const override { return S.Flag.count(#F) ? S.Flag.at(#F) : false; }

  TEXT_FIELD(Name) TEXT_FIELD(LocalPath) TEXT_FIELD(RemotePath) TEXT_FIELD(SessionStarter)
  NUMBER_FIELD(Countdown) NUMBER_FIELD(DetectWait) TEXT_FIELD(SessionMode) FLAG_FIELD(Recurse)
  TEXT_FIELD(Host) NUMBER_FIELD(Port) TEXT_FIELD(UserName) TEXT_FIELD(Password) NUMBER_FIELD(Timeout)
  FLAG_FIELD(AbortOnFailure) FLAG_FIELD(PassiveMode) TEXT_FIELD(ParentSession) TEXT_FIELD(CrcFile)
  FLAG_FIELD(TestMode) FLAG_FIELD(DebugMode)

  void AddParentCandidate(const std::string& name) override {
    S.Calls.push_back("candidate");
    S.Candidates.push_back(name);
  }
  bool ShowModal() override {
    if (S.UserEdits) S.UserEdits(S);
    return S.Confirm;
  }

 private:
  EditorScript& S;
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
  EXPECT_EQ(s.Name, "NewSession0");
  EXPECT_EQ(s.Port, 21);
  EXPECT_EQ(s.SessionStarter, "");
  EXPECT_EQ(s.CrcFile, "");
  EXPECT_FALSE(s.IsRunning());
  list.AddSession("Backup");
  list.AddSession("NewSession0");  // names need not be unique
  EXPECT_EQ(list.FindSession("BACKUP"), 1);
  EXPECT_EQ(list.FindSession("newsession0"), 0) << "the lower index wins";
  EXPECT_EQ(list.FindSession("Back"), -1);
  EXPECT_EQ(list.GetSession(3), nullptr);
  EXPECT_EQ(list.GetSession(-1), nullptr);
  EXPECT_FALSE(SameNameIgnoringCase("\xC4", "\xE4")) << "only A to Z fold";
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
  EXPECT_EQ(reports, (std::vector<Report>{{0, 0, "Offline", "", ""}, {1, 0, "Offline", "", ""}, {2, 0, "Offline", "", ""}}));
}

TEST_F(SessionList, AddInteractivePrefillsAndSavesOnConfirm) {
  TSessions list;
  list.AddSession("Parent");
  list.SaveAllSessions();
  EditorScript editor;
  editor.UserEdits = [](EditorScript& e) {
    e.Text["Name"] = "Mirror";
    e.Text["SessionStarter"] = "chain";
    e.Text["ParentSession"] = "Parent";
    e.Text["Password"] = "s3cret";
    e.Number["Port"] = 2121;
  };
  UseEditor(list, editor);
  const int32_t added = list.AddSessionInteractive();
  EXPECT_EQ(added, 1);
  EXPECT_EQ(editor.Candidates, std::vector<std::string>{"Parent"});
  EXPECT_EQ(editor.Calls, (std::vector<std::string>{"Name", "Port", "candidate"}));
  const TSession& s = *list.GetSession(1);
  EXPECT_EQ(s.Name, "Mirror");
  EXPECT_EQ(s.Port, 2121);
  EXPECT_EQ(s.ParentSession, "Parent");
  EXPECT_EQ(s.CrcFile.size(), 12u) << "an empty CRC file name is generated";
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
  b.Password = "pw";
  b.Countdown = 5;
  b.ParentSession = "A";
  b.CrcFile = "b.crc";
  b.DebugMode = true;
  list.AddSession("C");
  EditorScript editor;
  editor.UserEdits = [](EditorScript& e) { e.Number["Countdown"] = 60; };
  UseEditor(list, editor);
  list.EditSessionInteractive(1);
  EXPECT_EQ(editor.Candidates, (std::vector<std::string>{"A", "C"}));
  EXPECT_EQ(editor.Text["Password"], "pw");
  EXPECT_EQ(editor.Text["CrcFile"], "b.crc");
  EXPECT_TRUE(editor.Flag["DebugMode"]);
  // Candidates must exist before the parent is chosen.
  const auto candidate = std::find(editor.Calls.begin(), editor.Calls.end(), "candidate");
  const auto parent = std::find(editor.Calls.begin(), editor.Calls.end(), "ParentSession");
  EXPECT_LT(candidate - editor.Calls.begin(), parent - editor.Calls.begin());
  EXPECT_EQ(b.Countdown, 60);
  EXPECT_EQ(b.CrcFile, "b.crc");
  EXPECT_NE(ReadIni().find("countdown=60\n"), std::string::npos);

  editor.Confirm = false;
  editor.UserEdits = [](EditorScript& e) { e.Number["Countdown"] = 1; };
  list.EditSessionInteractive(1);
  EXPECT_EQ(b.Countdown, 60) << "cancel changes nothing";
  list.EditSessionInteractive(9);  // outside the list: nothing
}

TEST_F(SessionList, MenuChangesLiveInMemoryUntilTheNextSave) {
  {
    TSessions list;
    list.GetSession(list.AddSession("A"))->SessionStarter = "countdown";
    list.SaveAllSessions();
    list.GetSession(0)->SessionStarter = "manual";
  }
  TSessions reloaded;
  EXPECT_EQ(reloaded.GetSession(0)->SessionStarter, "countdown");
}
