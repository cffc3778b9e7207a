// The session editor: settings in and out, change rules, spin edits, the wiring into the
// session list, Test against a real server and on its own thread, Preload, Browse and Results.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>

#include "UiTestApp.h"
#include "engine/SessionTools.h"
#include "platform/FileSystem.h"
#include "sessions/SessionsUnit.h"
#include "support/FakeFtpServer.h"
#include "support/RealFtpServer.h"
#include "support/TlsCertificates.h"
#include "ui/EditSessionUnit.h"
#include "ui/SpinEdit.h"

namespace {

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string ReadText(const std::string& path) {
  std::string content;
  EXPECT_TRUE(ReadWholeFile(path, content)) << path;
  return content;
}

// A TCP port on 127.0.0.1 that nothing listens on (bound once, then released).
int RefusedPort() {
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

// Changes the dialog's settings the way the session list fills it: all of them at once.
void ChangeSettings(TEditSessionForm& form, const std::function<void(TSessionSettings&)>& change) {
  TSessionSettings settings = form.GetSettings();
  change(settings);
  form.SetSettings(settings);
}

class EditSessionTest : public UiTest {
 protected:
  void Change(const std::function<void(TSessionSettings&)>& change) { ChangeSettings(form, change); }
  TSessionSettings Shown() const { return form.GetSettings(); }
  // Runs a tool as its button does and waits for its result boxes.
  std::vector<TShownBox> RunTool(void (TEditSessionForm::*click)(),
                                 QMessageBox::StandardButton answer = QMessageBox::Ok) {
    TBoxAnswerer answerer(answer);
    (form.*click)();
    EXPECT_TRUE(ProcessUiEventsUntil([this] { return !form.ToolRunning(); }, std::chrono::seconds(30)));
    return answerer.Boxes;
  }
  TEditSessionForm form;
};

}  // namespace

TEST_F(EditSessionTest, StartsEmptyWithManualStarterAndFirstItems) {
  EXPECT_EQ(form.windowTitle(), "Session");
  EXPECT_EQ(form.PageControl1->count(), 4);
  EXPECT_EQ(form.PageControl1->tabText(3), "Test / Debug");
  EXPECT_EQ(form.PageControl1->currentIndex(), 0);
  EXPECT_EQ(Shown().Name, "");
  EXPECT_EQ(Shown().SessionStarter, "manual");
  EXPECT_EQ(SessionModeKeyword(Shown().SessionMode), "copylocaltoremote");
  EXPECT_FALSE(Shown().Recurse);
  EXPECT_EQ(Shown().Port, 21);  // an empty port text is not a number
  EXPECT_EQ(Shown().Countdown, 0);
  EXPECT_EQ(Shown().ParentSession, "");
  EXPECT_FALSE(form.Edit8->isEnabled());
  EXPECT_EQ(form.Edit5->echoMode(), QLineEdit::Password);
  EXPECT_TRUE(form.OkButton->isDefault());
}

TEST_F(EditSessionTest, StarterAndModeKeywordsAreMatchedExactly) {
  for (const std::string starter : {"countdown", "detect", "chain", "manual"}) {
    Change([&](TSessionSettings& s) { s.SessionStarter = starter; });
    EXPECT_EQ(Shown().SessionStarter, starter);
  }
  Change([](TSessionSettings& s) { s.SessionStarter = "detect"; });
  Change([](TSessionSettings& s) { s.SessionStarter = "Countdown"; });  // wrong case: the choice stays
  Change([](TSessionSettings& s) { s.SessionStarter = ""; });
  EXPECT_EQ(Shown().SessionStarter, "detect");

  for (const std::string mode : {"copyremotetolocal", "synclocaltoremote", "syncremotetolocal", "copylocaltoremote"}) {
    Change([&](TSessionSettings& s) { s.SessionMode = SessionModeOf(mode); });
    EXPECT_EQ(SessionModeKeyword(Shown().SessionMode), mode);
  }
  Change([](TSessionSettings& s) { s.SessionMode = SessionModeOf("syncremotetolocal"); });
  Change([](TSessionSettings& s) { s.SessionMode = SessionModeOf("SyncRemoteToLocal"); });
  EXPECT_EQ(SessionModeKeyword(Shown().SessionMode), "syncremotetolocal");

  Change([](TSessionSettings& s) { s.Recurse = true; });
  EXPECT_TRUE(Shown().Recurse);
  Change([](TSessionSettings& s) { s.Recurse = false; });
  EXPECT_FALSE(Shown().Recurse);
}

// A session without exclude patterns shows "Leave out hidden files" checked; unchecking it
// gives the session patterns, one a line in the editor, joined by ";" in the settings.
TEST_F(EditSessionTest, ExcludePatternsAndExactTimes) {
  const struct {
    std::optional<std::string> Exclude;
    bool Checked;
    const char* Lines;
  } rows[] = {{std::nullopt, true, ""}, {"", false, ""}, {".git/;*.tmp", false, ".git/\n*.tmp"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Exclude.value_or("(none)"));
    Change([&](TSessionSettings& s) { s.Exclude = row.Exclude; });
    EXPECT_EQ(form.SkipHiddenCheck->isChecked(), row.Checked);
    EXPECT_EQ(form.Memo1->isEnabled(), !row.Checked);
    EXPECT_EQ(form.Memo1->toPlainText().toStdString(), row.Lines);
    EXPECT_EQ(Shown().Exclude, row.Exclude);
  }
  form.Memo1->setPlainText(QStringLiteral(" node_modules/ \n\n/cache/"));
  EXPECT_EQ(Shown().Exclude, "node_modules/;/cache/");
  form.SkipHiddenCheck->setChecked(true);
  EXPECT_FALSE(form.Memo1->isEnabled());
  EXPECT_EQ(Shown().Exclude, std::nullopt);

  for (const bool exact : {true, false}) {
    Change([&](TSessionSettings& s) { s.ExactTimes = exact; });
    EXPECT_EQ(form.ExactTimesCheck->isChecked(), exact);
    EXPECT_EQ(Shown().ExactTimes, exact);
  }
}

TEST_F(EditSessionTest, TextAndNumberSettingsRoundTrip) {
  Change([](TSessionSettings& s) {
    s.Name = "Backup";
    s.LocalPath = "/srv/site/*.htm";
    s.RemotePath = "/www/";
    s.Host = "127.0.0.1";
    s.UserName = "bob";
    s.Password = "p@ss word";
    s.CrcFile = "113D5800.crc";
    s.Timeout = -7;
    s.DetectWait = 2147483647;
    s.MaxDelete = 20;
    s.Retries = 7;
    s.AtomicUpload = true;
    s.Connections = 4;
    s.RateLimit = 512;
    s.AbortOnFailure = true;
    s.PassiveMode = true;
    s.TestMode = true;
    s.DebugMode = true;
  });
  const TSessionSettings shown = Shown();
  EXPECT_EQ(shown.Name, "Backup");
  EXPECT_EQ(shown.LocalPath, "/srv/site/*.htm");
  EXPECT_EQ(shown.RemotePath, "/www/");
  EXPECT_EQ(shown.Host, "127.0.0.1");
  EXPECT_EQ(shown.UserName, "bob");
  EXPECT_EQ(shown.Password, "p@ss word");
  EXPECT_EQ(shown.CrcFile, "113D5800.crc");
  EXPECT_EQ(shown.Timeout, -7);
  EXPECT_EQ(shown.DetectWait, 2147483647);
  EXPECT_EQ(form.DeletionGuardEdit->Value(), 20);  // the deletion guard, on the Synchronisation page
  EXPECT_EQ(shown.MaxDelete, 20);
  EXPECT_EQ(form.RetriesEdit->Value(), 7);  // reconnects, on the Connection page
  EXPECT_EQ(shown.Retries, 7);
  EXPECT_TRUE(form.AtomicUploadCheck->isChecked() && shown.AtomicUpload);
  EXPECT_EQ(form.ConnectionsEdit->Value(), 4);  // connections, on the Connection page
  EXPECT_EQ(shown.Connections, 4);
  EXPECT_EQ(form.RateLimitEdit->Value(), 512);  // KiB/s, on the Connection page
  EXPECT_EQ(shown.RateLimit, 512);
  form.RateLimitEdit->SetValue(-3);
  EXPECT_EQ(Shown().RateLimit, 0) << "a negative limit is no limit";
  EXPECT_TRUE(shown.AbortOnFailure && shown.PassiveMode && shown.TestMode && shown.DebugMode);

  // A line break would end the value in the settings file: pasted text loses its breaks.
  Change([](TSessionSettings& s) {
    s.Name = "Back\r\nup";
    s.LocalPath = "/srv/\nsite/";
  });
  EXPECT_EQ(Shown().Name + Shown().LocalPath, "Backup/srv/site/");

  Change([](TSessionSettings& s) { s.Port = 2121; });
  EXPECT_EQ(form.Edit7->text(), "2121");
  EXPECT_EQ(Shown().Port, 2121);
  form.Edit7->setText("-5");
  EXPECT_EQ(Shown().Port, -5);  // nothing is validated
  form.Edit7->setText("21a");
  EXPECT_EQ(Shown().Port, 21);
  form.Edit7->setText("99999999999");
  EXPECT_EQ(Shown().Port, 21);
}

TEST_F(EditSessionTest, ParentIsFoundWithoutRegardToCaseAndKeepsTheCandidatesCase) {
  form.AddParentCandidate("Nightly");
  form.AddParentCandidate("Backup");
  form.AddParentCandidate("backup");
  EXPECT_EQ(Shown().ParentSession, "");         // candidates alone choose no parent
  EXPECT_EQ(Shown().SessionStarter, "manual");  // and no starter
  Change([](TSessionSettings& s) { s.ParentSession = "BACKUP"; });
  EXPECT_EQ(form.ComboBox1->currentIndex(), 1);
  EXPECT_EQ(Shown().ParentSession, "Backup");
  Change([](TSessionSettings& s) { s.ParentSession = "Weekly"; });
  EXPECT_EQ(form.ComboBox1->currentIndex(), -1);
  EXPECT_EQ(Shown().ParentSession, "");
  EXPECT_EQ(Shown().SessionStarter, "manual");
}

TEST_F(EditSessionTest, OnlyTheUsersEditsChooseTheStarter) {
  Change([](TSessionSettings& s) {
    s.SessionStarter = "manual";
    s.Countdown = 30;
    s.DetectWait = 10;
  });
  EXPECT_EQ(Shown().SessionStarter, "manual");
  EXPECT_EQ(Shown().Countdown, 30);

  TypeText(form.SpinEdit1, "5");
  EXPECT_EQ(Shown().SessionStarter, "countdown");

  SendKey(form.SpinEdit3, Qt::Key_Up);
  EXPECT_EQ(Shown().DetectWait, 11);
  EXPECT_EQ(Shown().SessionStarter, "detect");

  form.AddParentCandidate("A");
  form.AddParentCandidate("B");
  Change([](TSessionSettings& s) { s.ParentSession = "a"; });
  EXPECT_EQ(Shown().SessionStarter, "detect");
  SendKey(form.ComboBox1, Qt::Key_Down);
  EXPECT_EQ(Shown().ParentSession, "B");
  EXPECT_EQ(Shown().SessionStarter, "chain");
}

TEST_F(EditSessionTest, SpinEditsTakeAnyWholeNumberAndReadOtherTextAsZero) {
  TSpinEdit& spin = *form.SpinEdit1;
  spin.SetValue(12);
  SendKey(&spin, Qt::Key_End);
  TypeText(&spin, "x");  // refused with a beep
  EXPECT_EQ(spin.Text(), "12");
  TypeText(&spin, "-");
  EXPECT_EQ(spin.Text(), "12-");
  EXPECT_EQ(spin.Value(), 0);  // typed, but not a whole number

  spin.SetValue(3);
  SendKey(&spin, Qt::Key_End);
  TypeText(&spin, QLocale().decimalPoint() + "5");
  EXPECT_EQ(spin.Value(), 0);

  spin.SetValue(-2147483647);
  SendKey(&spin, Qt::Key_Down);
  EXPECT_EQ(spin.Value(), -2147483647 - 1);
  SendKey(&spin, Qt::Key_Down);  // stays at the end of the range
  EXPECT_EQ(spin.Value(), -2147483647 - 1);
  spin.SetValue(2147483647);
  SendKey(&spin, Qt::Key_Up);
  EXPECT_EQ(spin.Value(), 2147483647);
}

TEST_F(EditSessionTest, SessionListAddsAndEditsThroughTheDialog) {
  TProgramDirScope dir;
  TSessions sessions;
  sessions.SetEditorFactory([] { return std::make_unique<TEditSessionForm>(); });
  sessions.AddSession("Parent");

  // The dialog shows the defaults of a new session; the user fills it in and confirms.
  std::string shownName;
  std::string shownPort;
  TBoxAnswerer answerer(QMessageBox::Ok, [&](QWidget* modal) {
    auto* editor = qobject_cast<TEditSessionForm*>(modal);
    if (editor == nullptr) return false;
    shownName = editor->GetSettings().Name;
    shownPort = editor->Edit7->text().toStdString();
    ChangeSettings(*editor, [](TSessionSettings& s) {
      s.LocalPath = "/data/";
      s.SessionMode = SessionModeOf("synclocaltoremote");
      s.ParentSession = "PARENT";
      s.SessionStarter = "chain";
    });
    editor->OkButton->click();
    return true;
  });
  const int32_t index = sessions.AddSessionInteractive();
  EXPECT_EQ(shownName, "NewSession1");
  EXPECT_EQ(shownPort, "21");
  ASSERT_EQ(index, 1);
  const TSession& added = *sessions.GetSession(1);
  EXPECT_EQ(added.Settings.Name, "NewSession1");
  EXPECT_EQ(added.Settings.LocalPath, "/data/");
  EXPECT_EQ(SessionModeKeyword(added.Settings.SessionMode), "synclocaltoremote");
  EXPECT_EQ(added.Settings.SessionStarter, "chain");
  EXPECT_EQ(added.Settings.ParentSession, "Parent");
  EXPECT_EQ(added.Settings.Port, 21);
}

TEST_F(EditSessionTest, OkRefusesALocalPathThatIsNotAbsolute) {
  struct TCase {
    std::string Path;
    bool Accepted;
  };
  const TCase cases[] = {{"", false}, {"site/", false}, {"./site", false}, {"C:\\site", false}, {"/srv/site/", true}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Path);
    TEditSessionForm editor;
    editor.Edit2->setText(QString::fromStdString(c.Path));
    TBoxAnswerer answerer;
    editor.OkButtonClick();
    EXPECT_EQ(editor.result() == QDialog::Accepted, c.Accepted);
    ASSERT_EQ(answerer.Boxes.size(), c.Accepted ? 0u : 1u);
    if (!c.Accepted) {
      EXPECT_EQ(answerer.Boxes[0].Icon, QMessageBox::Warning);
      EXPECT_EQ(answerer.Boxes[0].Text.rfind("Local path must be absolute: " + c.Path + "\n", 0), 0u)
          << answerer.Boxes[0].Text;
    }
  }
}

TEST_F(EditSessionTest, CancelledEditLeavesTheSessionAlone) {
  TProgramDirScope dir;
  TSessions sessions;
  sessions.SetEditorFactory([] { return std::make_unique<TEditSessionForm>(); });
  const int32_t index = sessions.AddSession("Keep");
  sessions.GetSession(index)->Settings.Countdown = 30;
  sessions.GetSession(index)->Settings.SessionStarter = "manual";

  std::string starterShown;
  TBoxAnswerer answerer(QMessageBox::Ok, [&](QWidget* modal) {
    auto* editor = qobject_cast<TEditSessionForm*>(modal);
    if (editor == nullptr) return false;
    starterShown = editor->GetSettings().SessionStarter;
    ChangeSettings(*editor, [](TSessionSettings& s) { s.Name = "Changed"; });
    editor->CancelButton->click();
    return true;
  });
  sessions.EditSessionInteractive(index);
  EXPECT_EQ(starterShown, "manual");  // a loaded countdown does not choose "Countdown"
  EXPECT_EQ(sessions.GetSession(index)->Settings.Name, "Keep");
}

// --- Test against a real server ---

class EditSessionServerTest : public EditSessionTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ForceDirectories(serverRoot.path() + "pub"));
    ASSERT_TRUE(ForceDirectories(local.path() + "data"));
    server = std::make_unique<RealFtpServer>(RealFtpServer::Kind::PyFtpdLib, serverRoot.path());
    Change([this](TSessionSettings& s) {
      s.Host = "127.0.0.1";
      s.Port = server->port();
      s.UserName = server->user();
      s.Password = server->password();
      s.Timeout = 10;
    });
  }

  std::vector<TShownBox> RunTest() { return RunTool(&TEditSessionForm::TestButtonClick); }
  void Paths(const std::string& mode, const std::string& localPath, const std::string& remotePath) {
    Change([&](TSessionSettings& s) {
      s.SessionMode = SessionModeOf(mode);
      s.LocalPath = localPath;
      s.RemotePath = remotePath;
    });
  }

  TempDir serverRoot;
  TempDir local;
  std::unique_ptr<RealFtpServer> server;
};

// With exclude patterns the Test lists the remote directory as a run would, and says so when
// the server shows no hidden files there.
TEST_F(EditSessionServerTest, WithPatternsTheTestTellsWhetherHiddenFilesAreListed) {
  const std::string note = "\nIt lists no hidden files, which are then neither fetched nor deleted.";
  const struct {
    std::optional<std::string> Exclude;
    bool DotFile;  // the remote directory holds ".htaccess"
    bool Noted;
  } rows[] = {{std::nullopt, false, false}, {".git/", false, true}, {".git/", true, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.Exclude ? "patterns" : "no patterns") + (row.DotFile ? ", .htaccess" : ""));
    if (row.DotFile) WriteText(serverRoot.path() + "pub/.htaccess", "deny");
    Paths("syncremotetolocal", local.path() + "data/", "/pub/");
    Change([&](TSessionSettings& s) { s.Exclude = row.Exclude; });
    const auto boxes = RunTest();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].Text.ends_with("Remote directory exists." + std::string(row.Noted ? note : "")))
        << boxes[0].Text;
  }
}

TEST_F(EditSessionServerTest, CopyLocalToRemoteTestsTheLocalDirectoryPartAndTheRemotePathAsIs) {
  Paths("copylocaltoremote", local.path() + "data/*.htm", "/pub/");
  auto boxes = RunTest();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Icon, QMessageBox::Information);
  EXPECT_EQ(boxes[0].Text, "Connection was successful.\n\nLocal Dir: " + local.path() +
                               "data/\nLocal directory exists.\n\nRemote Dir: /pub/\nRemote directory exists.");

  Change([](TSessionSettings& s) { s.RemotePath = "/PUB"; });  // an existing directory, without its trailing slash
  boxes = RunTest();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Icon, QMessageBox::Information);
  EXPECT_NE(boxes[0].Text.find("Remote Dir: /PUB\nRemote directory does not currently exist. It will be created."),
            std::string::npos)
      << boxes[0].Text;
}

TEST_F(EditSessionServerTest, SyncLocalToRemoteWarnsOfAMissingLocalDirectory) {
  Paths("synclocaltoremote", local.path() + "missing", "pub\\new");  // backslashes become slashes; a slash is appended
  const auto boxes = RunTest();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Icon, QMessageBox::Warning);
  EXPECT_EQ(boxes[0].Text, "Connection was successful.\n\nLocal Dir: " + local.path() +
                               "missing/\nLocal directory does not exist. You should create it first.\n\n"
                               "Remote Dir: pub/new/\nRemote directory does not currently exist. It will be created.");
}

TEST_F(EditSessionServerTest, RemoteToLocalFunctionsWarnOfAMissingRemoteDirectoryOnly) {
  Paths("copyremotetolocal", local.path() + "new/", "/gone/index.htm");
  auto boxes = RunTest();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Icon, QMessageBox::Warning);
  EXPECT_EQ(boxes[0].Text, "Connection was successful.\n\nLocal Dir: " + local.path() +
                               "new/\nLocal directory does not currently exist. It will be created.\n\n"
                               "Remote Dir: /gone/\nRemote directory does not exist. You should create it first.");

  Paths("syncremotetolocal", local.path() + "fresh", "/");
  boxes = RunTest();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Icon, QMessageBox::Information);  // a directory the run creates raises nothing
  EXPECT_EQ(boxes[0].Text, "Connection was successful.\n\nLocal Dir: " + local.path() +
                               "fresh/\nLocal directory does not currently exist. It will be created.\n\n"
                               "Remote Dir: /\nRemote directory exists.");
}

TEST_F(EditSessionServerTest, RefusedLoginShowsOnlyTheErrorBox) {
  Change([](TSessionSettings& s) { s.Password = "wrong"; });
  const auto boxes = RunTest();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Icon, QMessageBox::Critical);
  EXPECT_EQ(boxes[0].Text.rfind("Authentication failed.", 0), 0u) << boxes[0].Text;  // the server's reply
}

TEST_F(EditSessionTest, RefusedConnectionShowsOnlyTheErrorBox) {
  Change([](TSessionSettings& s) {
    s.Host = "127.0.0.1";
    s.Port = RefusedPort();
    s.Timeout = 5;
  });
  const auto boxes = RunTool(&TEditSessionForm::TestButtonClick);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Icon, QMessageBox::Critical);
  EXPECT_EQ(boxes[0].Text, "Socket Error # 10061\nConnection refused.");
  EXPECT_EQ(boxes[0].Buttons, QMessageBox::Ok);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// --- Encryption ---

TEST_F(EditSessionTest, ANewSessionStartsWithExplicitTlsAStoredOneWithoutTheKeyStaysPlain) {
  TProgramDirScope dir;
  WriteText(dir.path() + "zephlin.ini", "[global]\nsessions=1\n[session0]\nname=Old\nport=21\n");
  TSessions sessions;
  sessions.SetEditorFactory([] { return std::make_unique<TEditSessionForm>(); });
  std::vector<std::string> shown;
  TBoxAnswerer answerer(QMessageBox::Ok, [&](QWidget* modal) {
    auto* editor = qobject_cast<TEditSessionForm*>(modal);
    if (editor == nullptr) return false;
    shown.push_back(editor->EncryptionCombo->currentText().toStdString());
    editor->Edit2->setText(QStringLiteral("/srv/site/"));  // OK needs an absolute local path
    editor->OkButton->click();
    return true;
  });
  sessions.EditSessionInteractive(0);
  ASSERT_EQ(sessions.AddSessionInteractive(), 1);
  EXPECT_EQ(shown, (std::vector<std::string>{"Plain FTP (not encrypted)", "Explicit TLS (recommended)"}));
  EXPECT_EQ(sessions.GetSession(0)->Settings.Encryption, "none");
  EXPECT_EQ(sessions.GetSession(1)->Settings.Encryption, "explicit");
  // Uploads in one step likewise; both reconnect three times.
  EXPECT_FALSE(sessions.GetSession(0)->Settings.AtomicUpload);
  EXPECT_TRUE(sessions.GetSession(1)->Settings.AtomicUpload);
  EXPECT_EQ(sessions.GetSession(0)->Settings.Retries, 3);
  EXPECT_EQ(sessions.GetSession(1)->Settings.Retries, 3);
  // A new session transfers over four connections; a stored one without the key over one,
  // and neither has a bandwidth limit.
  EXPECT_EQ(sessions.GetSession(0)->Settings.Connections, 1);
  EXPECT_EQ(sessions.GetSession(1)->Settings.Connections, 4);
  EXPECT_EQ(sessions.GetSession(0)->Settings.RateLimit + sessions.GetSession(1)->Settings.RateLimit, 0);
}

TEST_F(EditSessionTest, ImplicitTlsProposesItsPortAndLeavingItProposes21Back) {
  enum { Plain, Explicit, Implicit };
  const struct {
    const char* Port;
    int From, To;
    const char* Expected;
  } cases[] = {
      {"21", Plain, Implicit, "990"}, {"2121", Explicit, Implicit, "2121"}, {"990", Implicit, Explicit, "21"},
      {"990", Implicit, Plain, "21"}, {"990", Plain, Explicit, "990"},      {"21", Implicit, Explicit, "21"},
  };
  for (const auto& c : cases) {
    Change([&](TSessionSettings& s) { s.Encryption = EncryptionKeyword(static_cast<TEncryption>(c.From)); });
    form.Edit7->setText(c.Port);
    form.EncryptionCombo->setCurrentIndex(c.To);
    emit form.EncryptionCombo->activated(c.To);  // as the user's pick
    EXPECT_EQ(form.Edit7->text().toStdString(), c.Expected) << c.Port << " " << c.From << " -> " << c.To;
    EXPECT_EQ(Shown().Encryption, EncryptionKeywords[c.To]);
  }
  Change([](TSessionSettings& s) { s.Encryption = "Implicit"; });  // not a keyword: explicit TLS, never plain
  EXPECT_EQ(Shown().Encryption, "explicit");
}

TEST_F(EditSessionTest, SftpProposesPort22GreysTheFtpControlsAndKeepsItsOwn) {
  enum { Ftp, Sftp };
  const struct {
    const char* Port;
    int To;
    const char* Expected;
  } cases[] = {
      {"21", Sftp, "22"}, {"990", Sftp, "22"}, {"2222", Sftp, "2222"}, {"22", Ftp, "21"}, {"2222", Ftp, "2222"}};
  for (const auto& c : cases) {
    form.Edit7->setText(c.Port);
    form.ProtocolBox->setCurrentIndex(c.To);
    emit form.ProtocolBox->activated(c.To);  // as the user's pick
    EXPECT_EQ(form.Edit7->text().toStdString(), c.Expected) << c.Port << " -> " << c.To;
    for (QWidget* ftpOnly : {static_cast<QWidget*>(form.EncryptionCombo), static_cast<QWidget*>(form.CheckBox4),
                             static_cast<QWidget*>(form.TrustedCertificateEdit)})
      EXPECT_EQ(ftpOnly->isEnabled(), c.To == Ftp);
    EXPECT_EQ(form.SftpGroup->isHidden(), c.To == Ftp);
    EXPECT_EQ(Shown().Protocol, c.To == Sftp ? TProtocol::Sftp : TProtocol::Ftp);
  }
  form.ProtocolBox->setCurrentIndex(Ftp);
  Change([](TSessionSettings& s) {
    s.Protocol = TProtocol::Sftp;
    s.HostKey = "SHA256:abc";
    s.KeyFile = "/home/u/.ssh/id_ed25519";
  });
  EXPECT_EQ(Shown().HostKey, "SHA256:abc");
  EXPECT_EQ(Shown().KeyFile, "/home/u/.ssh/id_ed25519");
  EXPECT_TRUE(form.ProtocolBox->isEnabled());
  EXPECT_EQ(form.ProtocolBox->currentIndex(), Sftp) << "a stored SFTP session opens as one";
  EXPECT_FALSE(form.EncryptionCombo->isEnabled());
  form.ForgetHostKeyButton->click();
  EXPECT_EQ(Shown().HostKey, "");
}

TEST_F(EditSessionTest, TestOffersToTrustARefusedCertificateAndForgetClearsThePin) {
  const TlsCertificates certificates;
  TempDir root;
  RealFtpServer::Options options;
  options.tls = RealFtpServer::Tls::Explicit;
  options.certFile = certificates.selfSigned().certFile;
  options.keyFile = certificates.selfSigned().keyFile;
  RealFtpServer server(RealFtpServer::Kind::PyFtpdLib, root.path(), options);
  Change([&](TSessionSettings& s) {
    server.Configure(s, 10);
    s.Encryption = "explicit";
    s.LocalPath = root.path();
    s.RemotePath = "/";
  });
  const std::string fingerprint = certificates.selfSigned().fingerprint;

  const struct {
    QMessageBox::StandardButton Answer;
    const char* Pinned;  // "" or "*" for the server's fingerprint
    QMessageBox::Icon Icon;
  } steps[] = {
      {QMessageBox::Close, "", QMessageBox::Warning},    // declined: nothing pinned
      {QMessageBox::Yes, "*", QMessageBox::Warning},     // trusted: pinned
      {QMessageBox::Ok, "*", QMessageBox::Information},  // the pinned certificate now passes
  };
  for (const auto& step : steps) {
    const auto boxes = RunTool(&TEditSessionForm::TestButtonClick, step.Answer);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Icon, step.Icon);
    if (step.Icon == QMessageBox::Warning) {
      const std::string head = "Server certificate not trusted: self-signed certificate; SHA-256 " + fingerprint +
                               "\n\nSubject: CN=localhost\nIssuer: CN=localhost\nValid from ";
      const std::string tail = " UTC\nSHA-256: " + fingerprint;
      EXPECT_EQ(boxes[0].Text.rfind(head, 0), 0u) << boxes[0].Text;
      EXPECT_TRUE(boxes[0].Text.ends_with(tail) && boxes[0].Text.find(" UTC until ") != std::string::npos)
          << boxes[0].Text;
      EXPECT_EQ(boxes[0].Buttons, QMessageBox::Yes | QMessageBox::Close);
    }
    const std::string pinned = std::string(step.Pinned) == "*" ? fingerprint : "";
    EXPECT_EQ(Shown().TlsFingerprint, pinned);
    EXPECT_EQ(form.TrustedCertificateEdit->text().toStdString(), pinned);
    EXPECT_EQ(form.ForgetButton->isEnabled(), !pinned.empty());
  }
  form.ForgetButton->click();
  EXPECT_EQ(Shown().TlsFingerprint, "");
  EXPECT_FALSE(form.ForgetButton->isEnabled());
}

// --- Test on its own thread ---

using namespace std::chrono_literals;

// Points the dialog at a server that accepts the connection and then never says a word, with
// a time-out far longer than any test waits, and starts the Test.
void StartSilentTest(TEditSessionForm& dialog, const FakeFtpServer& silent) {
  ChangeSettings(dialog, [&](TSessionSettings& s) {
    s.Host = "127.0.0.1";
    s.Port = silent.port();
    s.Timeout = 600;
  });
  dialog.TestButtonClick();
}

TEST_F(EditSessionTest, ATestOfASilentServerKeepsTheWindowAliveAndEndsAtOnceWhenCancelled) {
  const struct {
    const char* Ending;
    std::function<void(TEditSessionForm&)> End;
  } endings[] = {
      {"the tool's Cancel button", [](TEditSessionForm& dialog) { dialog.ToolCancelButton->click(); }},
      {"closing the dialog", [](TEditSessionForm& dialog) { dialog.reject(); }},
  };
  for (const auto& ending : endings) {
    SCOPED_TRACE(ending.Ending);
    FakeFtpServer silent("STALL\n");
    TBoxAnswerer answerer;
    StartSilentTest(form, silent);
    EXPECT_TRUE(form.ToolRunning());
    EXPECT_FALSE(form.TestButton->isEnabled() || form.PreloadCrcButton->isEnabled() || form.OkButton->isEnabled());
    EXPECT_FALSE(form.ToolBusyBar->isHidden() || form.ToolCancelButton->isHidden());

    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(10);
    ProcessEventsFor(300ms);
    EXPECT_GE(ticks, 5) << "the event loop went on while the Test waited";
    ASSERT_TRUE(form.ToolRunning()) << "the server is still silent";

    const auto ending_started = std::chrono::steady_clock::now();
    ending.End(form);
    EXPECT_TRUE(ProcessUiEventsUntil([this] { return !form.ToolRunning(); }, 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - ending_started, 2s);
    ProcessEventsFor(100ms);
    EXPECT_TRUE(answerer.Boxes.empty()) << "an ended Test shows no result";
    EXPECT_TRUE(form.TestButton->isEnabled() && form.PreloadCrcButton->isEnabled() && form.OkButton->isEnabled());
    EXPECT_TRUE(form.ToolBusyBar->isHidden() && form.ToolCancelButton->isHidden());
  }
}

TEST_F(EditSessionTest, DestroyingTheDialogDuringATestEndsItsThreadAtOnce) {
  FakeFtpServer silent("STALL\n");
  auto dialog = std::make_unique<TEditSessionForm>();
  StartSilentTest(*dialog, silent);
  ProcessEventsFor(50ms);
  ASSERT_TRUE(dialog->ToolRunning());
  const auto started = std::chrono::steady_clock::now();
  dialog.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  ProcessEventsFor(100ms);  // a result the thread posted on its way out goes nowhere
}

TEST(LocalDirectoryExistsTest, RootAlwaysAndOneTrailingSlashIgnored) {
  TempDir dir;
  EXPECT_TRUE(LocalDirectoryExists("/"));
  EXPECT_TRUE(LocalDirectoryExists(dir.path()));
  EXPECT_TRUE(LocalDirectoryExists(dir.path().substr(0, dir.path().size() - 1)));
  EXPECT_FALSE(LocalDirectoryExists(dir.path() + "none/"));
  EXPECT_FALSE(LocalDirectoryExists(""));
  WriteText(dir.path() + "file", "x");
  EXPECT_FALSE(LocalDirectoryExists(dir.path() + "file/"));
}

// --- Preload ---

class PreloadTest : public EditSessionTest {
 protected:
  void SetUp() override {
    root = local.path() + "data/";
    ASSERT_TRUE(ForceDirectories(root + "logs"));
    ASSERT_TRUE(ForceDirectories(root + "sub"));
    ASSERT_TRUE(ForceDirectories(root + ".git"));
    WriteText(root + "a.txt", "123456789");  // the CRC-32 check value CBF43926
    WriteText(root + "b.dat", "");
    WriteText(root + ".hidden", "123456789");
    WriteText(root + "ro.txt", "123456789");
    ::chmod((root + "ro.txt").c_str(), 0444);
    WriteText(root + "logs/a.txt", "a");   // E8B7BE43
    WriteText(root + "sub/c.txt", "abc");  // 352441C2
    WriteText(root + ".git/x.txt", "abc");
    Change([](TSessionSettings& s) { s.CrcFile = "store.crc"; });
  }

  std::vector<TShownBox> Preload() { return RunTool(&TEditSessionForm::PreloadCrcButtonClick); }
  void LocalPath(const std::string& path, bool recurse = false) {
    Change([&](TSessionSettings& s) {
      s.LocalPath = path;
      s.Recurse = recurse;
    });
  }

  TProgramDirScope program;
  TempDir local;
  std::string root;
};

TEST_F(PreloadTest, DirectoryWithSubDirectoriesSkipsHiddenAndReadOnlyFiles) {
  LocalPath(root, true);
  const auto boxes = Preload();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Icon, QMessageBox::Information);
  EXPECT_EQ(boxes[0].Text, "4 files added to the crc store.");
  EXPECT_EQ(ReadText(program.path() + "store.crc"), root + "a.txt\r\n-873187034\r\n" + root + "b.dat\r\n0\r\n" + root +
                                                        "logs/a.txt\r\n-390611389\r\n" + root +
                                                        "sub/c.txt\r\n891568578\r\n");
}

TEST_F(PreloadTest, ExcludePatternsDecideInsteadOfTheHiddenRule) {
  LocalPath(root, true);
  Change([](TSessionSettings& s) { s.Exclude = ".git/;*.dat"; });
  const auto boxes = Preload();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Text, "4 files added to the crc store.");
  EXPECT_EQ(ReadText(program.path() + "store.crc"),
            root + ".hidden\r\n-873187034\r\n" + root + "a.txt\r\n-873187034\r\n" + root +
                "logs/a.txt\r\n-390611389\r\n" + root + "sub/c.txt\r\n891568578\r\n");
}

TEST_F(PreloadTest, PatternAlsoChoosesTheSubDirectoriesEntered) {
  LocalPath(local.path() + "data\\*.txt", true);
  const auto boxes = Preload();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Text, "1 files added to the crc store.");
  ASSERT_EQ(form.PreloadStore().size(), 1u);
  EXPECT_EQ(form.PreloadStore()[0].FileName, root + "a.txt");
}

TEST_F(PreloadTest, DirectoryWithoutTrailingSlashAddsNothingAndExplains) {
  WriteText(program.path() + "store.crc", "old\r\n1\r\n");
  LocalPath(local.path() + "data");
  const auto boxes = Preload();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Text,
            "0 files added to the crc store. Check your local path. Directories should end with a trailing backslash.");
  EXPECT_EQ(ReadText(program.path() + "store.crc"), "");
}

TEST_F(PreloadTest, WithoutACrcFileNameTheCountComesFirstThenTheWriteFailure) {
  Change([](TSessionSettings& s) { s.CrcFile = ""; });
  LocalPath(root);
  const auto boxes = Preload();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].Text, "2 files added to the crc store.");
  EXPECT_EQ(boxes[1].Icon, QMessageBox::Critical);
  EXPECT_EQ(boxes[1].Text, "Unable to write to " + program.path());
}

// --- Browse and Results ---

TEST_F(EditSessionTest, BrowsePutsTheChosenDirectoryWithATrailingSlash) {
  TempDir dir;
  ASSERT_TRUE(ForceDirectories(dir.path() + "site"));
  Change([&](TSessionSettings& s) { s.LocalPath = dir.path(); });
  QString title;
  TBoxAnswerer answerer(QMessageBox::Ok, [&](QWidget* modal) {
    auto* picker = qobject_cast<QFileDialog*>(modal);
    if (picker == nullptr) return false;
    title = picker->windowTitle();
    picker->setDirectory(QString::fromStdString(dir.path() + "site"));
    QMetaObject::invokeMethod(picker, "accept", Qt::QueuedConnection);
    return true;
  });
  form.BrowseButtonClick();
  EXPECT_EQ(title, "Select local path");
  EXPECT_EQ(Shown().LocalPath, dir.path() + "site/");
}

TEST_F(EditSessionTest, ResultsOpensTheTestLogOnlyWhenItExists) {
  TProgramDirScope program;
  TOpenRecorder recorder;
  form.TestResultsButtonClick();
  EXPECT_TRUE(recorder.Opened.empty());
  WriteText(program.path() + "testlog.txt", "log");
  form.TestResultsButtonClick();
  EXPECT_EQ(recorder.Opened, std::vector<std::string>{program.path() + "testlog.txt"});
  const TEditSessionForm here;
  EXPECT_EQ(here.TestResultsButton->toolTip().toStdString(),
            "Show results of the last test run\n" + program.path() + "testlog.txt")
      << "the hint says where the log is";
}
