// The session editor: accessors, change rules, spin edits, the wiring into the session list,
// Test against a real server, Preload, Browse and Results.

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
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <fstream>
#include <memory>

#include "platform/FileSystem.h"
#include "sessions/SessionsUnit.h"
#include "support/RealFtpServer.h"
#include "ui/EditSessionUnit.h"
#include "ui/SpinEdit.h"
#include "UiTestApp.h"

namespace {

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

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

class EditSessionTest : public UiTest {
 protected:
  TEditSessionForm form;
};

}  // namespace

TEST_F(EditSessionTest, StartsEmptyWithManualStarterAndFirstItems) {
  EXPECT_EQ(form.windowTitle(), "Session");
  EXPECT_EQ(form.PageControl1->count(), 4);
  EXPECT_EQ(form.PageControl1->tabText(3), "Test / Debug");
  EXPECT_EQ(form.PageControl1->currentIndex(), 0);
  EXPECT_EQ(form.GetName(), "");
  EXPECT_EQ(form.GetSessionStarter(), "manual");
  EXPECT_EQ(form.GetSessionMode(), "copylocaltoremote");
  EXPECT_FALSE(form.GetRecurse());
  EXPECT_EQ(form.GetPort(), 21);  // an empty port text is not a number
  EXPECT_EQ(form.GetCountdown(), 0);
  EXPECT_EQ(form.GetParentSession(), "");
  EXPECT_FALSE(form.Edit8->isEnabled());
  EXPECT_EQ(form.Edit5->echoMode(), QLineEdit::Password);
  EXPECT_TRUE(form.OkButton->isDefault());
}

TEST_F(EditSessionTest, StarterAndModeKeywordsAreMatchedExactly) {
  for (const char* starter : {"countdown", "detect", "chain", "manual"}) {
    form.SetSessionStarter(starter);
    EXPECT_EQ(form.GetSessionStarter(), starter);
  }
  form.SetSessionStarter("detect");
  form.SetSessionStarter("Countdown");  // wrong case: the choice stays
  form.SetSessionStarter("");
  EXPECT_EQ(form.GetSessionStarter(), "detect");

  for (const char* mode : {"copyremotetolocal", "synclocaltoremote", "syncremotetolocal", "copylocaltoremote"}) {
    form.SetSessionMode(mode);
    EXPECT_EQ(form.GetSessionMode(), mode);
  }
  form.SetSessionMode("syncremotetolocal");
  form.SetSessionMode("SyncRemoteToLocal");
  EXPECT_EQ(form.GetSessionMode(), "syncremotetolocal");

  form.SetRecurse(true);
  EXPECT_TRUE(form.GetRecurse());
  form.SetRecurse(false);
  EXPECT_FALSE(form.GetRecurse());
}

TEST_F(EditSessionTest, TextAndNumberAccessorsRoundTrip) {
  form.SetName("Backup");
  form.SetLocalPath("/srv/site/*.htm");
  form.SetRemotePath("/www/");
  form.SetHost("127.0.0.1");
  form.SetUserName("bob");
  form.SetPassword("p@ss word");
  form.SetCrcFile("113D5800.crc");
  form.SetTimeout(-7);
  form.SetDetectWait(2147483647);
  form.SetAbortOnFailure(true);
  form.SetPassiveMode(true);
  form.SetTestMode(true);
  form.SetDebugMode(true);
  EXPECT_EQ(form.GetName(), "Backup");
  EXPECT_EQ(form.GetLocalPath(), "/srv/site/*.htm");
  EXPECT_EQ(form.GetRemotePath(), "/www/");
  EXPECT_EQ(form.GetHost(), "127.0.0.1");
  EXPECT_EQ(form.GetUserName(), "bob");
  EXPECT_EQ(form.GetPassword(), "p@ss word");
  EXPECT_EQ(form.GetCrcFile(), "113D5800.crc");
  EXPECT_EQ(form.GetTimeout(), -7);
  EXPECT_EQ(form.GetDetectWait(), 2147483647);
  EXPECT_TRUE(form.GetAbortOnFailure() && form.GetPassiveMode() && form.GetTestMode() && form.GetDebugMode());

  form.SetPort(2121);
  EXPECT_EQ(form.Edit7->text(), "2121");
  EXPECT_EQ(form.GetPort(), 2121);
  form.Edit7->setText("-5");
  EXPECT_EQ(form.GetPort(), -5);  // nothing is validated
  form.Edit7->setText("21a");
  EXPECT_EQ(form.GetPort(), 21);
  form.Edit7->setText("99999999999");
  EXPECT_EQ(form.GetPort(), 21);
}

TEST_F(EditSessionTest, ParentIsFoundWithoutRegardToCaseAndKeepsTheCandidatesCase) {
  form.AddParentCandidate("Nightly");
  form.AddParentCandidate("Backup");
  form.AddParentCandidate("backup");
  EXPECT_EQ(form.GetParentSession(), "");  // candidates alone choose no parent
  EXPECT_EQ(form.GetSessionStarter(), "manual");  // and no starter
  form.SetParentSession("BACKUP");
  EXPECT_EQ(form.ComboBox1->currentIndex(), 1);
  EXPECT_EQ(form.GetParentSession(), "Backup");
  form.SetParentSession("Weekly");
  EXPECT_EQ(form.ComboBox1->currentIndex(), -1);
  EXPECT_EQ(form.GetParentSession(), "");
  EXPECT_EQ(form.GetSessionStarter(), "manual");
}

TEST_F(EditSessionTest, OnlyTheUsersEditsChooseTheStarter) {
  form.SetSessionStarter("manual");
  form.SetCountdown(30);
  form.SetDetectWait(10);
  EXPECT_EQ(form.GetSessionStarter(), "manual");
  EXPECT_EQ(form.GetCountdown(), 30);

  TypeText(form.SpinEdit1, "5");
  EXPECT_EQ(form.GetSessionStarter(), "countdown");

  SendKey(form.SpinEdit3, Qt::Key_Up);
  EXPECT_EQ(form.GetDetectWait(), 11);
  EXPECT_EQ(form.GetSessionStarter(), "detect");

  form.AddParentCandidate("A");
  form.AddParentCandidate("B");
  form.SetParentSession("a");
  EXPECT_EQ(form.GetSessionStarter(), "detect");
  SendKey(form.ComboBox1, Qt::Key_Down);
  EXPECT_EQ(form.GetParentSession(), "B");
  EXPECT_EQ(form.GetSessionStarter(), "chain");
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
    shownName = editor->GetName();
    shownPort = editor->Edit7->text().toStdString();
    editor->SetLocalPath("/data/");
    editor->SetSessionMode("synclocaltoremote");
    editor->SetParentSession("PARENT");
    editor->SetSessionStarter("chain");
    editor->OkButton->click();
    return true;
  });
  const int32_t index = sessions.AddSessionInteractive();
  EXPECT_EQ(shownName, "NewSession1");
  EXPECT_EQ(shownPort, "21");
  ASSERT_EQ(index, 1);
  const TSession& added = *sessions.GetSession(1);
  EXPECT_EQ(added.Name, "NewSession1");
  EXPECT_EQ(added.LocalPath, "/data/");
  EXPECT_EQ(added.SessionMode, "synclocaltoremote");
  EXPECT_EQ(added.SessionStarter, "chain");
  EXPECT_EQ(added.ParentSession, "Parent");
  EXPECT_EQ(added.Port, 21);
}

TEST_F(EditSessionTest, CancelledEditLeavesTheSessionAlone) {
  TProgramDirScope dir;
  TSessions sessions;
  sessions.SetEditorFactory([] { return std::make_unique<TEditSessionForm>(); });
  const int32_t index = sessions.AddSession("Keep");
  sessions.GetSession(index)->Countdown = 30;
  sessions.GetSession(index)->SessionStarter = "manual";

  std::string starterShown;
  TBoxAnswerer answerer(QMessageBox::Ok, [&](QWidget* modal) {
    auto* editor = qobject_cast<TEditSessionForm*>(modal);
    if (editor == nullptr) return false;
    starterShown = editor->GetSessionStarter();
    editor->SetName("Changed");
    editor->CancelButton->click();
    return true;
  });
  sessions.EditSessionInteractive(index);
  EXPECT_EQ(starterShown, "manual");  // a loaded countdown does not choose "Countdown"
  EXPECT_EQ(sessions.GetSession(index)->Name, "Keep");
}

// --- Test against a real server ---

class EditSessionServerTest : public EditSessionTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ForceDirectories(serverRoot.path() + "pub"));
    ASSERT_TRUE(ForceDirectories(local.path() + "data"));
    server = std::make_unique<RealFtpServer>(RealFtpServer::Kind::PyFtpdLib, serverRoot.path());
    form.SetHost("127.0.0.1");
    form.SetPort(server->port());
    form.SetUserName(server->user());
    form.SetPassword(server->password());
    form.SetTimeout(10);
  }

  // Runs the Test as the button does and returns the boxes it showed.
  std::vector<TShownBox> RunTest() {
    TBoxAnswerer answerer;
    form.TestButtonClick();
    return answerer.Boxes;
  }

  TempDir serverRoot;
  TempDir local;
  std::unique_ptr<RealFtpServer> server;
};

TEST_F(EditSessionServerTest, CopyLocalToRemoteTestsTheLocalDirectoryPartAndTheRemotePathAsIs) {
  form.SetSessionMode("copylocaltoremote");
  form.SetLocalPath(local.path() + "data/*.htm");
  form.SetRemotePath("/pub/");
  auto boxes = RunTest();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Icon, QMessageBox::Information);
  EXPECT_EQ(boxes[0].Text, "Connection was successful.\n\nLocal Dir: " + local.path() +
                               "data/\nLocal directory exists.\n\nRemote Dir: /pub/\nRemote directory exists.");

  form.SetRemotePath("/PUB");  // an existing directory, but without its trailing slash
  boxes = RunTest();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Icon, QMessageBox::Information);
  EXPECT_NE(boxes[0].Text.find("Remote Dir: /PUB\nRemote directory does not currently exist. It will be created."),
            std::string::npos)
      << boxes[0].Text;
}

TEST_F(EditSessionServerTest, SyncLocalToRemoteWarnsOfAMissingLocalDirectory) {
  form.SetSessionMode("synclocaltoremote");
  form.SetLocalPath(local.path() + "missing");
  form.SetRemotePath("pub\\new");  // backslashes become slashes; a slash is appended
  const auto boxes = RunTest();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Icon, QMessageBox::Warning);
  EXPECT_EQ(boxes[0].Text, "Connection was successful.\n\nLocal Dir: " + local.path() +
                               "missing/\nLocal directory does not exist. You should create it first.\n\n"
                               "Remote Dir: pub/new/\nRemote directory does not currently exist. It will be created.");
}

TEST_F(EditSessionServerTest, RemoteToLocalFunctionsWarnOfAMissingRemoteDirectoryOnly) {
  form.SetSessionMode("copyremotetolocal");
  form.SetLocalPath(local.path() + "new/");
  form.SetRemotePath("/gone/index.htm");
  auto boxes = RunTest();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Icon, QMessageBox::Warning);
  EXPECT_EQ(boxes[0].Text, "Connection was successful.\n\nLocal Dir: " + local.path() +
                               "new/\nLocal directory does not currently exist. It will be created.\n\n"
                               "Remote Dir: /gone/\nRemote directory does not exist. You should create it first.");

  form.SetSessionMode("syncremotetolocal");
  form.SetLocalPath(local.path() + "fresh");
  form.SetRemotePath("/");
  boxes = RunTest();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Icon, QMessageBox::Information);  // a directory the run creates raises nothing
  EXPECT_EQ(boxes[0].Text, "Connection was successful.\n\nLocal Dir: " + local.path() +
                               "fresh/\nLocal directory does not currently exist. It will be created.\n\n"
                               "Remote Dir: /\nRemote directory exists.");
}

TEST_F(EditSessionServerTest, RefusedLoginShowsOnlyTheErrorBox) {
  form.SetPassword("wrong");
  const auto boxes = RunTest();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Icon, QMessageBox::Critical);
  EXPECT_EQ(boxes[0].Text.rfind("Authentication failed.", 0), 0u) << boxes[0].Text;  // the server's reply
}

TEST_F(EditSessionTest, RefusedConnectionShowsOnlyTheErrorBox) {
  form.SetHost("127.0.0.1");
  form.SetPort(RefusedPort());
  form.SetTimeout(5);
  TBoxAnswerer answerer;
  form.TestButtonClick();
  ASSERT_EQ(answerer.Boxes.size(), 1u);
  EXPECT_EQ(answerer.Boxes[0].Icon, QMessageBox::Critical);
  EXPECT_EQ(answerer.Boxes[0].Text, "Socket Error # 10061\nConnection refused.");
  EXPECT_EQ(answerer.Boxes[0].Buttons, QMessageBox::Ok);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);  // the wait cursor is gone again
}

TEST(LocalDirectoryExistsTest, RootAlwaysAndOneTrailingSlashIgnored) {
  TempDir dir;
  EXPECT_TRUE(TEditSessionForm::LocalDirectoryExists("/"));
  EXPECT_TRUE(TEditSessionForm::LocalDirectoryExists(dir.path()));
  EXPECT_TRUE(TEditSessionForm::LocalDirectoryExists(dir.path().substr(0, dir.path().size() - 1)));
  EXPECT_FALSE(TEditSessionForm::LocalDirectoryExists(dir.path() + "none/"));
  EXPECT_FALSE(TEditSessionForm::LocalDirectoryExists(""));
  WriteText(dir.path() + "file", "x");
  EXPECT_FALSE(TEditSessionForm::LocalDirectoryExists(dir.path() + "file/"));
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
    WriteText(root + "logs/a.txt", "a");        // E8B7BE43
    WriteText(root + "sub/c.txt", "abc");       // 352441C2
    WriteText(root + ".git/x.txt", "abc");
    form.SetCrcFile("store.crc");
  }

  std::vector<TShownBox> Preload() {
    TBoxAnswerer answerer;
    form.PreloadCrcButtonClick();
    return answerer.Boxes;
  }

  TProgramDirScope program;
  TempDir local;
  std::string root;
};

TEST_F(PreloadTest, DirectoryWithSubDirectoriesSkipsHiddenAndReadOnlyFiles) {
  form.SetLocalPath(root);
  form.SetRecurse(true);
  const auto boxes = Preload();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Icon, QMessageBox::Information);
  EXPECT_EQ(boxes[0].Text, "4 files added to the crc store.");
  EXPECT_EQ(ReadText(program.path() + "store.crc"),
            root + "a.txt\r\n-873187034\r\n" + root + "b.dat\r\n0\r\n" + root + "logs/a.txt\r\n-390611389\r\n" +
                root + "sub/c.txt\r\n891568578\r\n");
}

TEST_F(PreloadTest, PatternAlsoChoosesTheSubDirectoriesEntered) {
  form.SetLocalPath(local.path() + "data\\*.txt");
  form.SetRecurse(true);
  const auto boxes = Preload();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Text, "1 files added to the crc store.");
  ASSERT_EQ(form.PreloadStore().size(), 1u);
  EXPECT_EQ(form.PreloadStore()[0].FileName, root + "a.txt");
}

TEST_F(PreloadTest, DirectoryWithoutTrailingSlashAddsNothingAndExplains) {
  WriteText(program.path() + "store.crc", "old\r\n1\r\n");
  form.SetLocalPath(local.path() + "data");
  const auto boxes = Preload();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Text,
            "0 files added to the crc store. Check your local path. Directories should end with a trailing backslash.");
  EXPECT_EQ(ReadText(program.path() + "store.crc"), "");
}

TEST_F(PreloadTest, WithoutACrcFileNameTheCountComesFirstThenTheWriteFailure) {
  form.SetCrcFile("");
  form.SetLocalPath(root);
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
  form.SetLocalPath(dir.path());
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
  EXPECT_EQ(form.GetLocalPath(), dir.path() + "site/");
}

TEST_F(EditSessionTest, ResultsOpensTheTestLogOnlyWhenItExists) {
  TProgramDirScope program;
  TOpenRecorder recorder;
  form.TestResultsButtonClick();
  EXPECT_TRUE(recorder.Opened.empty());
  WriteText(program.path() + "testlog.txt", "log");
  form.TestResultsButtonClick();
  EXPECT_EQ(recorder.Opened, std::vector<std::string>{program.path() + "testlog.txt"});
}
