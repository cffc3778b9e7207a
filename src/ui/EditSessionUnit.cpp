#include "ui/EditSessionUnit.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <climits>

#include "ftp/IdFTP.h"
#include "platform/Errors.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "platform/Shell.h"
#include "sessions/SessionsUnit.h"
#include "ui/SpinEdit.h"
#include "ui/UiCommon.h"

namespace {

// RadioGroup1's items in order, with the keyword each one stands for.
constexpr std::array<const char*, 4> ModeKeywords = {ModeCopyLocalToRemote, ModeCopyRemoteToLocal,
                                                     ModeSyncLocalToRemote, ModeSyncRemoteToLocal};
constexpr std::array<const char*, 4> ModeCaptions = {
    "Copy files from local to remote", "Copy files from remote to local",
    "Make the remote the same as the local directory", "Make the local the same as the remote directory"};

const char* const SynchronisationText =
    "Synchronisation is performed if you choose either the \"Make the \n"
    "remote the same as the local\" or \"Make the local the same as the \n"
    "remote\" options on the Details page. See the ReadMe file for \n"
    "more information.";

const char* const TestDebugText =
    "Sometimes it's useful to find out what Zephlin is going to do \n"
    "before it does it.  You particularly would like to know what files \n"
    "you're going to trash before they get trashed. Selecting the Test \n"
    "option will cause Zephlin to go through the motions of whatever \n"
    "you have configured but it won't actually do anything. Instead it \n"
    "will log everything that it would do and show you the results.\n"
    "\n"
    "You should do this for one session at a time, the logging isn't \n"
    "thread safe.";

const char* const CrLf = "\r\n";

std::string Replaced(std::string text, char from, char to) {
  std::replace(text.begin(), text.end(), from, to);
  return text;
}

std::string WithTrailing(const std::string& path, char separator) {
  if (!path.empty() && path.back() == separator) return path;
  return path + separator;
}

// The part up to and including the last separator; empty when there is none.
std::string DirectoryPart(const std::string& path, char separator) {
  const size_t last = path.rfind(separator);
  return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

// Seconds from a spin edit as milliseconds for the FTP client; values below 0 and products
// beyond the int range would otherwise wrap into nonsense time-outs.
int TimeoutMilliseconds(int32_t seconds) {
  const int64_t ms = static_cast<int64_t>(seconds) * 1000;
  return static_cast<int>(std::clamp<int64_t>(ms, 0, INT_MAX));
}

QLabel* Caption(const char* text, QWidget* buddy = nullptr) {
  auto* label = new QLabel(QString::fromUtf8(text));
  if (buddy != nullptr) label->setBuddy(buddy);
  return label;
}

QLabel* ReadOnlyText(const char* text) {
  auto* label = new QLabel(QString::fromUtf8(text));
  label->setTextFormat(Qt::PlainText);
  label->setWordWrap(false);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setFrameShape(QFrame::StyledPanel);
  label->setMargin(8);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

}  // namespace

TEditSessionForm::TEditSessionForm(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Session"));
  setFont(ProgramFont());
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setModal(true);

  PageControl1 = new QTabWidget;
  PageControl1->setDocumentMode(true);
  PageControl1->addTab(CreateDetailsPage(), QStringLiteral("Details"));
  PageControl1->addTab(CreateConnectionPage(), QStringLiteral("Connection"));
  PageControl1->addTab(CreateSynchronisationPage(), QStringLiteral("Synchronisation"));
  PageControl1->addTab(CreateTestDebugPage(), QStringLiteral("Test / Debug"));

  OkButton = new QPushButton(QStringLiteral("OK"));
  OkButton->setDefault(true);
  CancelButton = new QPushButton(QStringLiteral("Cancel"));
  connect(OkButton, &QPushButton::clicked, this, &QDialog::accept);
  connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
  auto* strip = new QHBoxLayout;
  strip->addStretch();
  strip->addWidget(OkButton);
  strip->addWidget(CancelButton);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(PageControl1);
  layout->addLayout(strip);
  layout->setSizeConstraint(QLayout::SetFixedSize);  // a fixed dialog border

  FormCreate();
}

TEditSessionForm::~TEditSessionForm() = default;

QWidget* TEditSessionForm::CreateDetailsPage() {
  Edit1 = new QLineEdit;
  Edit2 = new QLineEdit;
  Edit3 = new QLineEdit;
  BrowseButton = new QToolButton;
  BrowseButton->setText(QStringLiteral("..."));
  BrowseButton->setToolTip(QStringLiteral("Browse for local path"));
  connect(BrowseButton, &QToolButton::clicked, this, &TEditSessionForm::BrowseButtonClick);

  auto* paths = new QGroupBox(QStringLiteral("Paths"));
  auto* pathsLayout = new QGridLayout(paths);
  auto* note = Caption("(A directory is denoted by a trailing slash)");
  note->setEnabled(false);
  pathsLayout->addWidget(note, 0, 0, 1, 2);
  pathsLayout->addWidget(Caption("Local Path (directory or file spec)", Edit2), 1, 0, 1, 2);
  pathsLayout->addWidget(Edit2, 2, 0);
  pathsLayout->addWidget(BrowseButton, 2, 1);
  pathsLayout->addWidget(Caption("Remote Path (directory or file spec)", Edit3), 3, 0, 1, 2);
  pathsLayout->addWidget(Edit3, 4, 0, 1, 2);

  auto* left = new QVBoxLayout;
  left->addWidget(Caption("Session Name", Edit1));
  left->addWidget(Edit1);
  left->addWidget(paths);
  left->addWidget(CreateStarterGroup());
  left->addStretch();

  RadioGroup1 = new QGroupBox(QStringLiteral("What Happens During The Session"));
  auto* modeLayout = new QVBoxLayout(RadioGroup1);
  FModeItems = new QButtonGroup(this);
  for (int item = 0; item < static_cast<int>(ModeCaptions.size()); ++item) {
    auto* button = new QRadioButton(QString::fromUtf8(ModeCaptions[static_cast<size_t>(item)]));
    FModeItems->addButton(button, item);
    modeLayout->addWidget(button);
  }

  RadioGroup2 = new QGroupBox(QStringLiteral("What Files Are Copied"));
  auto* recurseLayout = new QVBoxLayout(RadioGroup2);
  FRecurseItems = new QButtonGroup(this);
  const std::array<const char*, 2> recurseCaptions = {"Only those in the specified directory or file spec",
                                                      "Also include everything/matching in sub-directories"};
  for (int item = 0; item < 2; ++item) {
    auto* button = new QRadioButton(QString::fromUtf8(recurseCaptions[static_cast<size_t>(item)]));
    FRecurseItems->addButton(button, item);
    recurseLayout->addWidget(button);
  }

  auto* right = new QVBoxLayout;
  right->addWidget(RadioGroup1);
  right->addWidget(RadioGroup2);
  right->addStretch();

  auto* page = new QWidget;
  auto* layout = new QHBoxLayout(page);
  layout->addLayout(left, 1);
  layout->addLayout(right, 1);
  return page;
}

QWidget* TEditSessionForm::CreateStarterGroup() {
  RadioButton7 = new QRadioButton(QStringLiteral("Manual"));
  RadioButton5 = new QRadioButton(QStringLiteral("Countdown"));
  RadioButton6 = new QRadioButton(QStringLiteral("Detect changes to files or directories"));
  RadioButton3 = new QRadioButton(QStringLiteral("Chain from"));
  SpinEdit1 = new TSpinEdit;
  SpinEdit1->setToolTip(QStringLiteral("Select the countdown time in seconds"));
  SpinEdit3 = new TSpinEdit;
  SpinEdit3->setToolTip(QStringLiteral("Select the detect wait time in seconds"));
  ComboBox1 = new QComboBox;
  ComboBox1->setEditable(false);  // a drop-down list: only its entries can be picked
  ComboBox1->setToolTip(QStringLiteral("Select a session to chain from"));
  ComboBox1->setMinimumContentsLength(14);

  // The change rules: the user's own edits choose the starter that goes with them.
  connect(SpinEdit1, &TSpinEdit::ValueEdited, RadioButton5, [this] { RadioButton5->setChecked(true); });
  connect(SpinEdit3, &TSpinEdit::ValueEdited, RadioButton6, [this] { RadioButton6->setChecked(true); });
  connect(ComboBox1, &QComboBox::activated, RadioButton3, [this] { RadioButton3->setChecked(true); });

  auto* group = new QGroupBox(QStringLiteral("What Starts the Session"));
  auto* grid = new QGridLayout(group);
  grid->addWidget(RadioButton7, 0, 0, 1, 4);
  grid->addWidget(RadioButton5, 1, 0);
  grid->addWidget(SpinEdit1, 1, 1);
  grid->addWidget(Caption("secs", SpinEdit1), 1, 2);
  grid->addWidget(RadioButton6, 2, 0, 1, 4);
  auto* wait = new QHBoxLayout;
  wait->setContentsMargins(20, 0, 0, 0);
  wait->addWidget(Caption("Wait for", SpinEdit3));
  wait->addWidget(SpinEdit3);
  wait->addWidget(Caption("seconds after detection", SpinEdit3));
  wait->addStretch();
  grid->addLayout(wait, 3, 0, 1, 4);
  grid->addWidget(RadioButton3, 4, 0);
  grid->addWidget(ComboBox1, 4, 1, 1, 3);
  grid->setColumnStretch(3, 1);
  return group;
}

QWidget* TEditSessionForm::CreateConnectionPage() {
  Edit6 = new QLineEdit;
  Edit7 = new QLineEdit;
  Edit4 = new QLineEdit;
  Edit5 = new QLineEdit;
  Edit5->setEchoMode(QLineEdit::Password);
  SpinEdit2 = new TSpinEdit;
  CheckBox1 = new QCheckBox(QStringLiteral("Abort session on transfer failure"));
  CheckBox4 = new QCheckBox(QStringLiteral("Passive mode"));
  TestButton = new QPushButton(QStringLiteral("Test"));
  TestButton->setAutoDefault(false);
  connect(TestButton, &QPushButton::clicked, this, &TEditSessionForm::TestButtonClick);

  auto* timeout = new QHBoxLayout;
  timeout->addWidget(SpinEdit2);
  timeout->addWidget(Caption("seconds", SpinEdit2));
  timeout->addStretch();

  auto* grid = new QGridLayout;
  grid->addWidget(Caption("Host", Edit6), 0, 0);
  grid->addWidget(Edit6, 0, 1);
  grid->addWidget(Caption("Port", Edit7), 1, 0);
  grid->addWidget(Edit7, 1, 1);
  grid->addWidget(Caption("Login User Name", Edit4), 2, 0);
  grid->addWidget(Edit4, 2, 1);
  grid->addWidget(Caption("Password", Edit5), 3, 0);
  grid->addWidget(Edit5, 3, 1);
  grid->addWidget(Caption("Timeout", SpinEdit2), 4, 0);
  grid->addLayout(timeout, 4, 1);
  grid->setColumnStretch(1, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(TestButton);

  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  layout->addLayout(grid);
  layout->addSpacing(8);
  layout->addWidget(CheckBox1);
  layout->addWidget(CheckBox4);
  layout->addStretch();
  layout->addLayout(buttons);
  return page;
}

QWidget* TEditSessionForm::CreateSynchronisationPage() {
  Edit8 = new QLineEdit;
  Edit8->setEnabled(false);  // shown only: the session list names the store
  PreloadCrcButton = new QPushButton(QStringLiteral("Preload"));
  PreloadCrcButton->setAutoDefault(false);
  PreloadCrcButton->setToolTip(QStringLiteral("Preload local file information"));
  connect(PreloadCrcButton, &QPushButton::clicked, this, &TEditSessionForm::PreloadCrcButtonClick);

  auto* group = new QGroupBox(QStringLiteral("When Making The Remote The Same As The Local"));
  auto* groupLayout = new QHBoxLayout(group);
  groupLayout->addWidget(Caption("CRC File", Edit8));
  groupLayout->addWidget(Edit8, 1);
  groupLayout->addWidget(PreloadCrcButton);

  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(ReadOnlyText(SynchronisationText));
  layout->addWidget(group);
  layout->addStretch();
  return page;
}

QWidget* TEditSessionForm::CreateTestDebugPage() {
  CheckBox2 = new QCheckBox(QStringLiteral("Test mode (no transfers, logged)"));
  CheckBox3 = new QCheckBox(QStringLiteral("Debug mode (transfers, logged)"));
  TestResultsButton = new QPushButton(QStringLiteral("Results"));
  TestResultsButton->setAutoDefault(false);
  TestResultsButton->setToolTip(QStringLiteral("Show results of the last test run"));
  connect(TestResultsButton, &QPushButton::clicked, this, &TEditSessionForm::TestResultsButtonClick);

  auto* group = new QGroupBox(QStringLiteral("Test Mode"));
  auto* groupLayout = new QGridLayout(group);
  groupLayout->addWidget(CheckBox2, 0, 0);
  groupLayout->addWidget(CheckBox3, 1, 0);
  groupLayout->addWidget(TestResultsButton, 0, 1, 2, 1, Qt::AlignRight | Qt::AlignVCenter);
  groupLayout->setColumnStretch(0, 1);

  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(ReadOnlyText(TestDebugText));
  layout->addWidget(group);
  layout->addStretch();
  return page;
}

void TEditSessionForm::FormCreate() {
  for (QLineEdit* edit : {Edit1, Edit2, Edit3, Edit6, Edit7, Edit4, Edit5, Edit8}) edit->clear();
  RadioButton7->setChecked(true);
  SelectItem(FModeItems, 0);
  SelectItem(FRecurseItems, 0);
  ComboBox1->clear();
  PageControl1->setCurrentIndex(0);
}

int TEditSessionForm::SelectedItem(const QButtonGroup* group) { return group->checkedId(); }

void TEditSessionForm::SelectItem(QButtonGroup* group, int item) {
  if (QAbstractButton* button = group->button(item)) button->setChecked(true);
}

// --- Accessors ---

void TEditSessionForm::SetName(const std::string& value) { Edit1->setText(ToQ(value)); }
std::string TEditSessionForm::GetName() const { return FromQ(Edit1->text()); }
void TEditSessionForm::SetLocalPath(const std::string& value) { Edit2->setText(ToQ(value)); }
std::string TEditSessionForm::GetLocalPath() const { return FromQ(Edit2->text()); }
void TEditSessionForm::SetRemotePath(const std::string& value) { Edit3->setText(ToQ(value)); }
std::string TEditSessionForm::GetRemotePath() const { return FromQ(Edit3->text()); }

void TEditSessionForm::SetSessionStarter(const std::string& value) {
  if (value == StarterManual) RadioButton7->setChecked(true);
  else if (value == StarterCountdown) RadioButton5->setChecked(true);
  else if (value == StarterDetect) RadioButton6->setChecked(true);
  else if (value == StarterChain) RadioButton3->setChecked(true);
}

std::string TEditSessionForm::GetSessionStarter() const {
  if (RadioButton5->isChecked()) return StarterCountdown;
  if (RadioButton6->isChecked()) return StarterDetect;
  if (RadioButton3->isChecked()) return StarterChain;
  return StarterManual;
}

void TEditSessionForm::SetCountdown(int32_t value) { SpinEdit1->SetValue(value); }
int32_t TEditSessionForm::GetCountdown() const { return SpinEdit1->Value(); }
void TEditSessionForm::SetDetectWait(int32_t value) { SpinEdit3->SetValue(value); }
int32_t TEditSessionForm::GetDetectWait() const { return SpinEdit3->Value(); }

void TEditSessionForm::SetSessionMode(const std::string& value) {
  for (size_t item = 0; item < ModeKeywords.size(); ++item)
    if (value == ModeKeywords[item]) SelectItem(FModeItems, static_cast<int>(item));
}

std::string TEditSessionForm::GetSessionMode() const {
  const int item = SelectedItem(FModeItems);
  return ModeKeywords[static_cast<size_t>(std::clamp(item, 0, static_cast<int>(ModeKeywords.size()) - 1))];
}

void TEditSessionForm::SetRecurse(bool value) { SelectItem(FRecurseItems, value ? 1 : 0); }
bool TEditSessionForm::GetRecurse() const { return SelectedItem(FRecurseItems) == 1; }
void TEditSessionForm::SetHost(const std::string& value) { Edit6->setText(ToQ(value)); }
std::string TEditSessionForm::GetHost() const { return FromQ(Edit6->text()); }
void TEditSessionForm::SetPort(int32_t value) { Edit7->setText(QString::number(value)); }

int32_t TEditSessionForm::GetPort() const {
  bool ok = false;
  const int port = Edit7->text().trimmed().toInt(&ok, 10);
  return ok ? static_cast<int32_t>(port) : 21;
}

void TEditSessionForm::SetUserName(const std::string& value) { Edit4->setText(ToQ(value)); }
std::string TEditSessionForm::GetUserName() const { return FromQ(Edit4->text()); }
void TEditSessionForm::SetPassword(const std::string& value) { Edit5->setText(ToQ(value)); }
std::string TEditSessionForm::GetPassword() const { return FromQ(Edit5->text()); }
void TEditSessionForm::SetTimeout(int32_t value) { SpinEdit2->SetValue(value); }
int32_t TEditSessionForm::GetTimeout() const { return SpinEdit2->Value(); }
void TEditSessionForm::SetAbortOnFailure(bool value) { CheckBox1->setChecked(value); }
bool TEditSessionForm::GetAbortOnFailure() const { return CheckBox1->isChecked(); }
void TEditSessionForm::SetPassiveMode(bool value) { CheckBox4->setChecked(value); }
bool TEditSessionForm::GetPassiveMode() const { return CheckBox4->isChecked(); }
void TEditSessionForm::AddParentCandidate(const std::string& name) {
  // A combo box selects its first entry by itself; a candidate alone must not choose a parent.
  const int selected = ComboBox1->currentIndex();
  ComboBox1->addItem(ToQ(name));
  ComboBox1->setCurrentIndex(selected);
}

void TEditSessionForm::SetParentSession(const std::string& value) {
  for (int entry = 0; entry < ComboBox1->count(); ++entry) {
    if (SameNameIgnoringCase(FromQ(ComboBox1->itemText(entry)), value)) {
      ComboBox1->setCurrentIndex(entry);
      return;
    }
  }
  ComboBox1->setCurrentIndex(-1);
}

std::string TEditSessionForm::GetParentSession() const {
  return ComboBox1->currentIndex() < 0 ? std::string() : FromQ(ComboBox1->currentText());
}

void TEditSessionForm::SetCrcFile(const std::string& value) { Edit8->setText(ToQ(value)); }
std::string TEditSessionForm::GetCrcFile() const { return FromQ(Edit8->text()); }
void TEditSessionForm::SetTestMode(bool value) { CheckBox2->setChecked(value); }
bool TEditSessionForm::GetTestMode() const { return CheckBox2->isChecked(); }
void TEditSessionForm::SetDebugMode(bool value) { CheckBox3->setChecked(value); }
bool TEditSessionForm::GetDebugMode() const { return CheckBox3->isChecked(); }

bool TEditSessionForm::ShowModal() { return exec() == QDialog::Accepted; }

// --- Test ---

bool TEditSessionForm::LocalDirectoryExists(const std::string& path) {
  if (path == "/") return true;
  std::string directory = path;
  if (!directory.empty() && directory.back() == '/') directory.pop_back();
  return !directory.empty() && DirectoryExists(directory);
}

bool TEditSessionForm::RemoteDirectoryExists(TIdFTP& ftp, const std::string& path) {
  try {
    ftp.ChangeDirectory(path);
  } catch (const std::exception&) {
    // A directory that cannot be entered is simply one that does not exist; PWD below
    // still fails loudly when the connection itself is gone.
  }
  const std::string current = ftp.PrintWorkingDirectory();
  if (current == "/" && path == "/") return true;
  return SameNameIgnoringCase(current + "/", path);
}

TPathTestReport TEditSessionForm::RunPathTest() const {
  TIdFTP ftp;
  ftp.Username = GetUserName();
  ftp.Password = GetPassword();
  ftp.Host = GetHost();
  ftp.Port = GetPort();
  const int timeout = TimeoutMilliseconds(GetTimeout());
  ftp.ReadTimeout = timeout;
  ftp.ConnectAndLogin(true, timeout);
  const bool connected = ftp.IsConnected();

  std::string localMessage = "Local path test was not performed.";
  std::string remoteMessage = "Remote path test was not performed.";
  bool warning = false;
  std::string local = Replaced(GetLocalPath(), '\\', '/');
  std::string remote = Replaced(GetRemotePath(), '\\', '/');

  // Which side the run would create, and which must exist already, follows from the function.
  const std::string mode = GetSessionMode();
  const bool sendsToRemote = mode == ModeCopyLocalToRemote || mode == ModeSyncLocalToRemote;
  if (mode == ModeCopyLocalToRemote) {
    if (local.empty() || local.back() != '/') local = DirectoryPart(local, '/');
  } else if (mode == ModeCopyRemoteToLocal) {
    if (remote.empty() || remote.back() != '/') remote = DirectoryPart(remote, '/');
  } else {
    local = WithTrailing(local, '/');
    remote = WithTrailing(remote, '/');
  }

  if (LocalDirectoryExists(local)) {
    localMessage = "Local directory exists.";
  } else if (sendsToRemote) {
    localMessage = "Local directory does not exist. You should create it first.";
    warning = true;
  } else {
    localMessage = "Local directory does not currently exist. It will be created.";
  }

  if (RemoteDirectoryExists(ftp, remote)) {
    remoteMessage = "Remote directory exists.";
  } else if (sendsToRemote) {
    remoteMessage = "Remote directory does not currently exist. It will be created.";
  } else {
    remoteMessage = "Remote directory does not exist. You should create it first.";
    warning = true;
  }

  ftp.Disconnect();

  TPathTestReport report;
  report.Warning = warning;
  if (connected) {
    report.Text = std::string("Connection was successful.") + CrLf + CrLf + "Local Dir: " + local + CrLf +
                  localMessage + CrLf + CrLf + "Remote Dir: " + remote + CrLf + remoteMessage;
  }
  return report;
}

void TEditSessionForm::TestButtonClick() {
  TPathTestReport report;
  std::string failure;
  {
    TWaitCursor wait;
    try {
      report = RunPathTest();
    } catch (const std::exception& error) {
      failure = error.what();
    }
  }
  if (!failure.empty()) {
    ShowErrorReport(this, failure);
  } else if (!report.Text.empty()) {
    ShowMessage(this, report.Warning ? QMessageBox::Warning : QMessageBox::Information, report.Text);
  }
}

// --- Preload ---

int TEditSessionForm::ScanLocalFiles(const std::string& spec, bool recurse) {
  const std::string directory = ExtractFilePath(spec);
  const std::string pattern = ExtractFileName(spec);
  int count = 0;
  for (const TSearchRec& entry : FindFiles(directory, pattern)) {
    if (entry.Attr & faDirectory) {
      // Never through a link: a link back up the tree would make the scan endless.
      if (recurse && entry.Name.front() != '.' && !entry.IsSymLink)
        count += ScanLocalFiles(directory + entry.Name + "/" + pattern, true);
      continue;
    }
    if (entry.Attr & (faReadOnly | faHidden)) continue;
    const std::string file = directory + entry.Name;
    FPreloadStore.push_back(TFileCRC{file, FileCrc32(file)});
    ++count;
  }
  return count;
}

void TEditSessionForm::WriteCrcStore(const std::string& fileName) const {
  if (fileName.empty() || fileName.back() == '/') throw EZephlin("Unable to write to " + fileName);
  WriteFileAtomic(fileName, FormatCrcFile(FPreloadStore));
}

std::string TEditSessionForm::PreloadCountMessage(int count) {
  std::string message = std::to_string(count) + " files added to the crc store.";
  if (count == 0) message += " Check your local path. Directories should end with a trailing backslash.";
  return message;
}

void TEditSessionForm::PreloadCrcButtonClick() {
  std::string failure;
  {
    TWaitCursor wait;
    FPreloadStore.clear();
    try {
      std::string path = Replaced(GetLocalPath(), '\\', '/');
      std::string pattern = "*.*";
      if (path.empty() || path.back() != '/') {
        pattern = ExtractFileName(path);
        path = ExtractFilePath(path);
      }
      ScanLocalFiles(path + pattern, GetRecurse());
      WriteCrcStore(ProgramDirectory() + GetCrcFile());
    } catch (const std::exception& error) {
      failure = error.what();
    }
  }
  ShowMessage(this, QMessageBox::Information, PreloadCountMessage(static_cast<int>(FPreloadStore.size())));
  if (!failure.empty()) ShowErrorReport(this, failure);
}

// --- Browse and Results ---

void TEditSessionForm::BrowseButtonClick() {
  const QString chosen = QFileDialog::getExistingDirectory(this, QStringLiteral("Select local path"), Edit2->text(),
                                                           QFileDialog::ShowDirsOnly);
  if (chosen.isEmpty()) return;
  Edit2->setText(ToQ(IncludeTrailingSlash(FromQ(chosen))));
}

void TEditSessionForm::TestResultsButtonClick() {
  const std::string log = ProgramDirectory() + "testlog.txt";
  if (FileExists(log)) OpenWithAssociatedProgram(log);
}
