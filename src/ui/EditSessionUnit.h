#pragma once
// TEditSessionForm: the modal dialog in which one session's settings are shown and changed.
// The session list fills it and reads it back through ISessionEditor; the dialog never
// touches a session itself, it only holds values. Its tools work on what is typed at that
// moment: Test (try the connection and both paths), Preload (fill the session's CRC store
// from the local files), Results (open the last test log) and Browse (pick the local folder).
// Main thread only; Test and Preload block the user interface while they work.

#include <QDialog>
#include <string>
#include <vector>

#include "engine/CrcStore.h"
#include "sessions/SessionEditor.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QToolButton;
class TIdFTP;
class TSpinEdit;

// Severity and text of the Test's result box.
struct TPathTestReport {
  bool Warning = false;
  std::string Text;  // CR LF line ends
};

class TEditSessionForm : public QDialog, public ISessionEditor {
  Q_OBJECT

 public:
  explicit TEditSessionForm(QWidget* parent = nullptr);
  ~TEditSessionForm() override;

  // ISessionEditor
  void SetName(const std::string& value) override;
  std::string GetName() const override;
  void SetLocalPath(const std::string& value) override;
  std::string GetLocalPath() const override;
  void SetRemotePath(const std::string& value) override;
  std::string GetRemotePath() const override;
  void SetSessionStarter(const std::string& value) override;
  std::string GetSessionStarter() const override;
  void SetCountdown(int32_t value) override;
  int32_t GetCountdown() const override;
  void SetDetectWait(int32_t value) override;
  int32_t GetDetectWait() const override;
  void SetSessionMode(const std::string& value) override;
  std::string GetSessionMode() const override;
  void SetRecurse(bool value) override;
  bool GetRecurse() const override;
  void SetHost(const std::string& value) override;
  std::string GetHost() const override;
  void SetPort(int32_t value) override;
  int32_t GetPort() const override;
  void SetUserName(const std::string& value) override;
  std::string GetUserName() const override;
  void SetPassword(const std::string& value) override;
  std::string GetPassword() const override;
  void SetTimeout(int32_t value) override;
  int32_t GetTimeout() const override;
  void SetAbortOnFailure(bool value) override;
  bool GetAbortOnFailure() const override;
  void SetPassiveMode(bool value) override;
  bool GetPassiveMode() const override;
  void AddParentCandidate(const std::string& name) override;
  void SetParentSession(const std::string& value) override;
  std::string GetParentSession() const override;
  void SetCrcFile(const std::string& value) override;
  std::string GetCrcFile() const override;
  void SetTestMode(bool value) override;
  bool GetTestMode() const override;
  void SetDebugMode(bool value) override;
  bool GetDebugMode() const override;
  bool ShowModal() override;

  // The tools, as their buttons run them.
  void TestButtonClick();
  void PreloadCrcButtonClick();
  void BrowseButtonClick();
  void TestResultsButtonClick();

  // Connects with the dialog's settings, tests both paths for the selected function and
  // disconnects; throws the failure of the connection, the login or PWD.
  TPathTestReport RunPathTest() const;
  // A local directory exists: "/" always; any other path with one trailing "/" removed
  // must name an existing directory.
  static bool LocalDirectoryExists(const std::string& path);
  // CWD to the path (its failure ignored), then PWD: the path exists when the working
  // directory plus "/" equals it without regard to case, or when both are exactly "/".
  static bool RemoteDirectoryExists(TIdFTP& ftp, const std::string& path);

  // Adds every matching file under spec (directory part + pattern) to the Preload store,
  // entering sub-directories that match the pattern when recurse is set; returns how many
  // files were added. Hidden and read-only files are skipped.
  int ScanLocalFiles(const std::string& spec, bool recurse);
  // Writes the Preload store to the file in the CRC store format.
  void WriteCrcStore(const std::string& fileName) const;
  const std::vector<TFileCRC>& PreloadStore() const { return FPreloadStore; }
  // The count message of Preload.
  static std::string PreloadCountMessage(int count);

  // The controls, named as the dialog's design names them.
  QTabWidget* PageControl1 = nullptr;
  QLineEdit* Edit1 = nullptr;  // Session Name
  QLineEdit* Edit2 = nullptr;  // Local Path
  QToolButton* BrowseButton = nullptr;
  QLineEdit* Edit3 = nullptr;  // Remote Path
  QRadioButton* RadioButton7 = nullptr;  // Manual
  QRadioButton* RadioButton5 = nullptr;  // Countdown
  TSpinEdit* SpinEdit1 = nullptr;        // countdown seconds
  QRadioButton* RadioButton6 = nullptr;  // Detect
  TSpinEdit* SpinEdit3 = nullptr;        // detect wait seconds
  QRadioButton* RadioButton3 = nullptr;  // Chain from
  QComboBox* ComboBox1 = nullptr;        // parent session
  QGroupBox* RadioGroup1 = nullptr;      // what happens during the session
  QGroupBox* RadioGroup2 = nullptr;      // what files are copied
  QLineEdit* Edit6 = nullptr;  // Host
  QLineEdit* Edit7 = nullptr;  // Port
  QLineEdit* Edit4 = nullptr;  // Login User Name
  QLineEdit* Edit5 = nullptr;  // Password
  TSpinEdit* SpinEdit2 = nullptr;  // Timeout
  QCheckBox* CheckBox1 = nullptr;  // Abort session on transfer failure
  QCheckBox* CheckBox4 = nullptr;  // Passive mode
  QPushButton* TestButton = nullptr;
  QLineEdit* Edit8 = nullptr;  // CRC File
  QPushButton* PreloadCrcButton = nullptr;
  QCheckBox* CheckBox2 = nullptr;  // Test mode
  QCheckBox* CheckBox3 = nullptr;  // Debug mode
  QPushButton* TestResultsButton = nullptr;
  QPushButton* OkButton = nullptr;
  QPushButton* CancelButton = nullptr;

 private:
  QWidget* CreateDetailsPage();
  QWidget* CreateConnectionPage();
  QWidget* CreateSynchronisationPage();
  QWidget* CreateTestDebugPage();
  QWidget* CreateStarterGroup();
  void FormCreate();

  static int SelectedItem(const QButtonGroup* group);
  static void SelectItem(QButtonGroup* group, int item);

  QButtonGroup* FModeItems = nullptr;     // RadioGroup1's four items
  QButtonGroup* FRecurseItems = nullptr;  // RadioGroup2's two items
  std::vector<TFileCRC> FPreloadStore;
};
