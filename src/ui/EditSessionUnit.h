#pragma once
// TEditSessionForm: the modal dialog in which one session's settings are shown and changed.
// The session list fills it and reads it back through ISessionEditor; the dialog never
// touches a session itself, it only holds values. Its tools work on what is typed at that
// moment: Test (try the connection and both paths), Preload (fill the session's CRC store
// from the local files), Results (open the last test log) and Browse (pick the local folder).
// Test and Preload work on a thread of their own while the dialog shows a busy bar and a
// Cancel button for them; the dialog stays responsive. Closing the dialog cancels a tool
// that is still working and waits for its thread. Everything else: main thread only.

#include <QDialog>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/SessionTools.h"
#include "sessions/SessionEditor.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGridLayout;
class QGroupBox;
class QHBoxLayout;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QToolButton;
class TSpinEdit;
class TToolCancel;

class TEditSessionForm : public QDialog, public ISessionEditor {
  Q_OBJECT

 public:
  explicit TEditSessionForm(QWidget* parent = nullptr);
  ~TEditSessionForm() override;

  // ISessionEditor
  void AddParentCandidate(const std::string& name) override;
  void SetSettings(const TSessionSettings& settings) override;
  TSessionSettings GetSettings() const override;
  bool ShowModal() override;

  // The tools, as their buttons run them. Test and Preload return at once; their result
  // boxes follow when their thread has finished.
  void TestButtonClick();
  void PreloadCrcButtonClick();
  void PreloadRemoteRecord(const TRunSettings& ASettings);
  void BrowseButtonClick();
  void TestResultsButtonClick();
  // Ends a running Test or Preload without a result box.
  void CancelToolClick();
  // Closes the dialog with its values, unless the local path is not absolute: that is said
  // in a box and the dialog stays open at the path.
  void OkButtonClick();
  bool ToolRunning() const { return FTool.joinable(); }

  // The files of the last Preload.
  const TPreloadEntries& PreloadStore() const { return FPreloadStore; }

  // Any close of the dialog first cancels a running tool and waits for its thread.
  void done(int result) override;

  // The controls, named as the dialog's design names them.
  QTabWidget* PageControl1 = nullptr;
  QLineEdit* Edit1 = nullptr;  // Session Name
  QLineEdit* Edit2 = nullptr;  // Local Path
  QToolButton* BrowseButton = nullptr;
  QLineEdit* Edit3 = nullptr;                   // Remote Path
  QRadioButton* RadioButton7 = nullptr;         // Manual
  QRadioButton* RadioButton5 = nullptr;         // Countdown
  TSpinEdit* SpinEdit1 = nullptr;               // countdown seconds
  QRadioButton* RadioButton6 = nullptr;         // Detect
  TSpinEdit* SpinEdit3 = nullptr;               // detect wait seconds
  QRadioButton* RadioButton3 = nullptr;         // Chain from
  QComboBox* ComboBox1 = nullptr;               // parent session
  QGroupBox* RadioGroup1 = nullptr;             // what happens during the session
  QGroupBox* RadioGroup2 = nullptr;             // what files are copied
  QCheckBox* SkipHiddenCheck = nullptr;         // leave out hidden files (no exclude patterns)
  QPlainTextEdit* Memo1 = nullptr;              // exclude patterns, one a line
  QCheckBox* ExactTimesCheck = nullptr;         // exact times (MLSD)
  QLineEdit* Edit6 = nullptr;                   // Host
  QLineEdit* Edit7 = nullptr;                   // Port
  QLineEdit* Edit4 = nullptr;                   // Login User Name
  QLineEdit* Edit5 = nullptr;                   // Password
  TSpinEdit* SpinEdit2 = nullptr;               // Timeout
  TSpinEdit* ConnectionsEdit = nullptr;         // connections at once
  TSpinEdit* RateLimitEdit = nullptr;           // KiB/s for all of a run's connections, 0 = none
  QCheckBox* CheckBox1 = nullptr;               // Abort session on transfer failure
  QCheckBox* CheckBox4 = nullptr;               // Passive mode
  TSpinEdit* RetriesEdit = nullptr;             // reconnects per run after a lost connection
  QCheckBox* AtomicUploadCheck = nullptr;       // send under a temporary name, then rename
  QComboBox* EncryptionCombo = nullptr;         // Encryption, items in the order of TEncryption
  QLineEdit* TrustedCertificateEdit = nullptr;  // the trusted certificate's fingerprint, shown only
  QPushButton* ForgetButton = nullptr;          // clears it
  QPushButton* TestButton = nullptr;
  // SFTP: the protocol, and the controls of SSH logins, shown only for SFTP.
  QComboBox* ProtocolBox = nullptr;      // items in the order of TProtocol
  QGroupBox* SftpGroup = nullptr;        // the SFTP controls below
  QLineEdit* KeyFileEdit = nullptr;      // private key file
  QToolButton* KeyFileBrowse = nullptr;  // picks it
  QLineEdit* HostKeyEdit = nullptr;      // the trusted host key's fingerprint, shown only
  QPushButton* ForgetHostKeyButton = nullptr;
  QLineEdit* Edit8 = nullptr;  // CRC File
  QPushButton* PreloadCrcButton = nullptr;
  TSpinEdit* DeletionGuardEdit = nullptr;  // the deletion guard's share, in %
  QCheckBox* CheckBox2 = nullptr;          // Test mode
  QCheckBox* CheckBox3 = nullptr;          // Debug mode
  QPushButton* TestResultsButton = nullptr;
  QProgressBar* ToolBusyBar = nullptr;      // shown while Test or Preload works
  QPushButton* ToolCancelButton = nullptr;  // cancels them
  QPushButton* OkButton = nullptr;
  QPushButton* CancelButton = nullptr;

 private:
  QWidget* CreateDetailsPage();
  QWidget* CreateConnectionPage();
  // Parts of the pages, made in the order the pages show them.
  void CreateModeGroup();
  void CreateFilesGroup();
  QGridLayout* CreateServerGrid();
  QHBoxLayout* CreateRetriesRow();
  QWidget* CreateSynchronisationPage();
  QWidget* CreateTestDebugPage();
  QWidget* CreateStarterGroup();
  void FormCreate();

  static int SelectedItem(const QButtonGroup* group);
  static void SelectItem(QButtonGroup* group, int item);

  // The controls that are more than a plain text or check box.
  void SetSessionStarter(const std::string& value);
  std::string GetSessionStarter() const;
  void SetSessionMode(TSessionMode value);
  TSessionMode GetSessionMode() const;
  // The user picked an encryption: implicit TLS proposes its port 990 in place of 21, and
  // leaving implicit TLS proposes 21 in place of 990.
  void EncryptionChosen(int item);
  void SetPort(int32_t value);
  int32_t GetPort() const;
  // SFTP: the protocol row and the SFTP controls; picking a protocol proposes its port (21 and
  // 22 swap) and greys the controls of the other.
  QLayout* CreateProtocolRow();
  QWidget* CreateSftpControls();
  void ProtocolChosen(int item);
  void ShowProtocolControls();
  bool SftpChosen() const;
  void SetParentSession(const std::string& value);
  std::string GetParentSession() const;

  // A tool's work runs on FTool and gives back what to show on the main thread, which is
  // told whether the tool was cancelled.
  using TToolResult = std::function<void(TEditSessionForm* form, bool cancelled)>;
  void RunTool(std::function<TToolResult(TToolCancel& cancel)> work);
  void ToolFinished(uint64_t run, const TToolResult& result);
  void StopTool();  // cancels a running tool and waits for its thread; no result box
  void ShowToolRunning(bool running);

  QButtonGroup* FModeItems = nullptr;     // RadioGroup1's four items
  QButtonGroup* FRecurseItems = nullptr;  // RadioGroup2's two items
  int FEncryptionItem = 0;                // EncryptionCombo's item before the user's last pick
  TPreloadEntries FPreloadStore;
  std::jthread FTool;
  std::shared_ptr<TToolCancel> FToolCancel;
  uint64_t FToolRun = 0;  // numbers the runs, so a result that comes after StopTool is dropped
};
