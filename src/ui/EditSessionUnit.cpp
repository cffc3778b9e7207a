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
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <array>

#include "engine/ExcludeFilter.h"
#include "engine/SessionTools.h"
#include "engine/TransferPaths.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "platform/Shell.h"
#include "platform/Text.h"
#include "sessions/SessionsUnit.h"
#include "ui/SpinEdit.h"
#include "ui/UiCommon.h"

namespace {

// RadioGroup1's items in order, with the function each one stands for.
constexpr std::array<TSessionMode, 4> ModeItems = {TSessionMode::CopyLocalToRemote, TSessionMode::CopyRemoteToLocal,
                                                   TSessionMode::SyncLocalToRemote, TSessionMode::SyncRemoteToLocal};
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

QLabel* Caption(const char* text, QWidget* buddy = nullptr) {
  auto* label = new QLabel(QString::fromUtf8(text));
  if (buddy != nullptr) label->setBuddy(buddy);
  return label;
}

// The Test's failure on a refused certificate, with the certificate; true when the user
// chose to trust it. Nobody to answer: an error report, and no trust.
bool AskToTrustCertificate(QWidget* parent, const std::string& text,
                           const char* trust = "Trust this certificate for this session") {
  if (NobodyToAnswer()) {
    ShowErrorReport(parent, text);
    return false;
  }
  QMessageBox box(QMessageBox::Warning, QString::fromLatin1(ProgramTitle),
                  ToQ(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")),
                  QMessageBox::Yes | QMessageBox::Close, parent);
  box.setTextFormat(Qt::PlainText);
  box.button(QMessageBox::Yes)->setText(QString::fromUtf8(trust));
  box.setDefaultButton(QMessageBox::Close);
  return box.exec() == QMessageBox::Yes;
}

// An SSH host key as the Test shows it: its type and fingerprint.
std::string HostKeyDescription(const std::string& AType, const std::string& AFingerprint) {
  return "Key type: " + AType + "\r\nFingerprint: " + AFingerprint;
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

  ToolBusyBar = new QProgressBar;
  ToolBusyBar->setRange(0, 0);  // no known end: the bar only shows that work goes on
  ToolBusyBar->setTextVisible(false);
  ToolCancelButton = new QPushButton(QStringLiteral("Cancel"));
  ToolCancelButton->setAutoDefault(false);
  connect(ToolCancelButton, &QPushButton::clicked, this, &TEditSessionForm::CancelToolClick);
  for (QWidget* busy : {static_cast<QWidget*>(ToolBusyBar), static_cast<QWidget*>(ToolCancelButton)}) {
    QSizePolicy policy = busy->sizePolicy();
    policy.setRetainSizeWhenHidden(true);  // the fixed-size dialog keeps its size
    busy->setSizePolicy(policy);
    busy->hide();
  }
  OkButton = new QPushButton(QStringLiteral("OK"));
  OkButton->setDefault(true);
  CancelButton = new QPushButton(QStringLiteral("Cancel"));
  connect(OkButton, &QPushButton::clicked, this, &TEditSessionForm::OkButtonClick);
  connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
  auto* strip = new QHBoxLayout;
  strip->addWidget(ToolBusyBar);
  strip->addWidget(ToolCancelButton);
  strip->addStretch();
  strip->addWidget(OkButton);
  strip->addWidget(CancelButton);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(PageControl1);
  layout->addLayout(strip);
  layout->setSizeConstraint(QLayout::SetFixedSize);  // a fixed dialog border

  FormCreate();
}

TEditSessionForm::~TEditSessionForm() { StopTool(); }

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

  CreateModeGroup();
  CreateFilesGroup();

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
  ConnectionsEdit = new TSpinEdit;
  ConnectionsEdit->setToolTip(QStringLiteral("Files of a directory transferred at once, each over its own connection"));
  RateLimitEdit = new TSpinEdit;
  RateLimitEdit->setToolTip(QStringLiteral("All of the session's connections together"));
  CheckBox1 = new QCheckBox(QStringLiteral("Abort session on transfer failure"));
  CheckBox4 = new QCheckBox(QStringLiteral("Passive mode"));
  RetriesEdit = new TSpinEdit;
  AtomicUploadCheck =
      new QCheckBox(QStringLiteral("Replace remote files in one step (send under a temporary name, then rename)"));
  EncryptionCombo = new QComboBox;
  EncryptionCombo->addItems({QStringLiteral("Plain FTP (not encrypted)"), QStringLiteral("Explicit TLS (recommended)"),
                             QStringLiteral("Implicit TLS")});
  connect(EncryptionCombo, &QComboBox::activated, this, &TEditSessionForm::EncryptionChosen);
  TrustedCertificateEdit = new QLineEdit;
  TrustedCertificateEdit->setReadOnly(true);
  TrustedCertificateEdit->setPlaceholderText(QStringLiteral("none: only certificates that verify"));
  ForgetButton = new QPushButton(QStringLiteral("Forget"));
  ForgetButton->setAutoDefault(false);
  ForgetButton->setToolTip(QStringLiteral("Forget the trusted certificate"));
  ForgetButton->setEnabled(false);
  connect(ForgetButton, &QPushButton::clicked, TrustedCertificateEdit, &QLineEdit::clear);
  connect(TrustedCertificateEdit, &QLineEdit::textChanged, ForgetButton,
          [this] { ForgetButton->setEnabled(!TrustedCertificateEdit->text().isEmpty()); });
  TestButton = new QPushButton(QStringLiteral("Test"));
  TestButton->setAutoDefault(false);
  connect(TestButton, &QPushButton::clicked, this, &TEditSessionForm::TestButtonClick);

  QGridLayout* grid = CreateServerGrid();
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(TestButton);

  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  layout->addLayout(CreateProtocolRow());
  layout->addLayout(grid);
  layout->addWidget(CreateSftpControls());
  layout->addSpacing(8);
  layout->addWidget(CheckBox1);
  layout->addWidget(CheckBox4);
  layout->addLayout(CreateRetriesRow());
  layout->addWidget(AtomicUploadCheck);
  layout->addStretch();
  layout->addLayout(buttons);
  return page;
}

void TEditSessionForm::CreateModeGroup() {
  RadioGroup1 = new QGroupBox(QStringLiteral("What Happens During The Session"));
  auto* modeLayout = new QVBoxLayout(RadioGroup1);
  FModeItems = new QButtonGroup(this);
  for (int item = 0; item < static_cast<int>(ModeCaptions.size()); ++item) {
    auto* button = new QRadioButton(QString::fromUtf8(ModeCaptions[static_cast<size_t>(item)]));
    FModeItems->addButton(button, item);
    modeLayout->addWidget(button);
  }
}

void TEditSessionForm::CreateFilesGroup() {
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

  // A session without exclude patterns of its own leaves out hidden (dot) files.
  SkipHiddenCheck = new QCheckBox(QStringLiteral("Leave out hidden files"));
  Memo1 = new QPlainTextEdit;
  Memo1->setPlaceholderText(QStringLiteral(".git/\n*.tmp\n/cache/"));
  connect(SkipHiddenCheck, &QCheckBox::toggled, Memo1, [this](bool hidden) { Memo1->setEnabled(!hidden); });
  SkipHiddenCheck->setChecked(true);
  recurseLayout->addWidget(SkipHiddenCheck);
  recurseLayout->addWidget(Caption("Leave out instead (one pattern a line; a trailing / for directories)", Memo1));
  recurseLayout->addWidget(Memo1);
  ExactTimesCheck = new QCheckBox(QStringLiteral("Exact times (MLSD, where the server offers it)"));
  ExactTimesCheck->setToolTip(QStringLiteral("Switching this makes every file look changed once."));
  recurseLayout->addWidget(ExactTimesCheck);
  auto* exactNote = Caption("Switching this makes every file look changed once.");
  exactNote->setEnabled(false);
  recurseLayout->addWidget(exactNote);
}

QGridLayout* TEditSessionForm::CreateServerGrid() {
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
  grid->addWidget(Caption("Encryption", EncryptionCombo), 5, 0);
  grid->addWidget(EncryptionCombo, 5, 1);
  auto* pinned = new QHBoxLayout;
  pinned->addWidget(TrustedCertificateEdit, 1);
  pinned->addWidget(ForgetButton);
  grid->addWidget(Caption("Trusted certificate (SHA-256)", TrustedCertificateEdit), 6, 0);
  grid->addLayout(pinned, 6, 1);
  auto* connections = new QHBoxLayout;
  connections->addWidget(ConnectionsEdit);
  connections->addWidget(Caption("at once (1 to 8)", ConnectionsEdit));
  connections->addStretch();
  grid->addWidget(Caption("Connections", ConnectionsEdit), 7, 0);
  grid->addLayout(connections, 7, 1);
  auto* rateLimit = new QHBoxLayout;
  rateLimit->addWidget(RateLimitEdit);
  rateLimit->addWidget(Caption("KiB/s (0 = no limit)", RateLimitEdit));
  rateLimit->addStretch();
  grid->addWidget(Caption("Limit transfers to", RateLimitEdit), 8, 0);
  grid->addLayout(rateLimit, 8, 1);
  grid->setColumnStretch(1, 1);
  return grid;
}

QHBoxLayout* TEditSessionForm::CreateRetriesRow() {
  auto* retries = new QHBoxLayout;
  retries->addWidget(Caption("When the connection is lost, reconnect up to", RetriesEdit));
  retries->addWidget(RetriesEdit);
  retries->addWidget(Caption("times per run (0 = end the run)", RetriesEdit));
  retries->addStretch();
  return retries;
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

  DeletionGuardEdit = new TSpinEdit;
  auto* guard = new QHBoxLayout;
  guard->addWidget(Caption("Never delete more than", DeletionGuardEdit));
  guard->addWidget(DeletionGuardEdit);
  guard->addWidget(Caption("% of the files of a directory (0 = no limit)", DeletionGuardEdit));
  guard->addStretch();

  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(ReadOnlyText(SynchronisationText));
  layout->addWidget(group);
  layout->addLayout(guard);
  layout->addStretch();
  return page;
}

QWidget* TEditSessionForm::CreateTestDebugPage() {
  CheckBox2 = new QCheckBox(QStringLiteral("Test mode (no transfers, logged)"));
  CheckBox3 = new QCheckBox(QStringLiteral("Debug mode (transfers, logged)"));
  TestResultsButton = new QPushButton(QStringLiteral("Results"));
  TestResultsButton->setAutoDefault(false);
  TestResultsButton->setToolTip(QStringLiteral("Show results of the last test run\n") +
                                ToQ(StateDirectory() + "testlog.txt"));
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
  for (QLineEdit* edit : {Edit1, Edit2, Edit3, Edit6, Edit7, Edit4, Edit5, Edit8, TrustedCertificateEdit})
    edit->clear();
  EncryptionCombo->setCurrentIndex(0);
  KeyFileEdit->clear();
  HostKeyEdit->clear();
  ProtocolBox->setCurrentIndex(0);
  ShowProtocolControls();
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

// --- Settings ---

void TEditSessionForm::SetSettings(const TSessionSettings& settings) {
  Edit1->setText(ToQ(settings.Name));
  Edit2->setText(ToQ(settings.LocalPath));
  Edit3->setText(ToQ(settings.RemotePath));
  SetSessionStarter(settings.SessionStarter);
  SpinEdit1->SetValue(settings.Countdown);
  SpinEdit3->SetValue(settings.DetectWait);
  SetSessionMode(settings.SessionMode);
  SelectItem(FRecurseItems, settings.Recurse ? 1 : 0);
  Edit6->setText(ToQ(settings.Host));
  SetPort(settings.Port);
  Edit4->setText(ToQ(settings.UserName));
  Edit5->setText(ToQ(settings.Password));
  SpinEdit2->SetValue(settings.Timeout);
  ConnectionsEdit->SetValue(settings.Connections);
  RateLimitEdit->SetValue(settings.RateLimit);
  CheckBox1->setChecked(settings.AbortOnFailure);
  CheckBox4->setChecked(settings.PassiveMode);
  RetriesEdit->SetValue(settings.Retries);
  AtomicUploadCheck->setChecked(settings.AtomicUpload);
  FEncryptionItem = static_cast<int>(EncryptionOf(settings.Encryption));
  EncryptionCombo->setCurrentIndex(FEncryptionItem);
  TrustedCertificateEdit->setText(ToQ(settings.TlsFingerprint));
  KeyFileEdit->setText(ToQ(settings.KeyFile));
  HostKeyEdit->setText(ToQ(settings.HostKey));
  ProtocolBox->setCurrentIndex(static_cast<int>(settings.Protocol));
  ShowProtocolControls();
  SetParentSession(settings.ParentSession);
  Edit8->setText(ToQ(settings.CrcFile));
  DeletionGuardEdit->SetValue(settings.MaxDelete);
  SkipHiddenCheck->setChecked(!settings.Exclude);
  QStringList patterns;
  for (const std::string& pattern : TExcludeFilter::SplitPatterns(settings.Exclude.value_or("")))
    patterns.append(ToQ(pattern));
  Memo1->setPlainText(patterns.join(QLatin1Char('\n')));
  ExactTimesCheck->setChecked(settings.ExactTimes);
  CheckBox2->setChecked(settings.TestMode);
  CheckBox3->setChecked(settings.DebugMode);
}

TSessionSettings TEditSessionForm::GetSettings() const {
  TSessionSettings settings;
  settings.Name = FromQ(Edit1->text());
  settings.LocalPath = FromQ(Edit2->text());
  settings.RemotePath = FromQ(Edit3->text());
  settings.SessionStarter = GetSessionStarter();
  settings.Countdown = SpinEdit1->Value();
  settings.DetectWait = SpinEdit3->Value();
  settings.SessionMode = GetSessionMode();
  settings.Recurse = SelectedItem(FRecurseItems) == 1;
  settings.Host = FromQ(Edit6->text());
  settings.Port = GetPort();
  settings.UserName = FromQ(Edit4->text());
  settings.Password = FromQ(Edit5->text());
  settings.Timeout = SpinEdit2->Value();
  settings.Connections = ConnectionsEdit->Value();
  settings.RateLimit = std::max(RateLimitEdit->Value(), 0);  // a negative limit means none
  settings.AbortOnFailure = CheckBox1->isChecked();
  settings.PassiveMode = CheckBox4->isChecked();
  settings.Retries = RetriesEdit->Value();
  settings.AtomicUpload = AtomicUploadCheck->isChecked();
  settings.Encryption = EncryptionKeyword(static_cast<TEncryption>(std::max(EncryptionCombo->currentIndex(), 0)));
  settings.TlsFingerprint = FromQ(TrustedCertificateEdit->text());
  settings.KeyFile = FromQ(KeyFileEdit->text());
  settings.HostKey = FromQ(HostKeyEdit->text());
  settings.Protocol = SftpChosen() ? TProtocol::Sftp : TProtocol::Ftp;
  settings.ParentSession = GetParentSession();
  settings.CrcFile = FromQ(Edit8->text());
  settings.MaxDelete = DeletionGuardEdit->Value();
  if (!SkipHiddenCheck->isChecked()) {
    std::vector<std::string> patterns;
    for (const QString& line : Memo1->toPlainText().split(QLatin1Char('\n'))) patterns.push_back(FromQ(line));
    settings.Exclude = TExcludeFilter::JoinPatterns(patterns);
  }
  settings.ExactTimes = ExactTimesCheck->isChecked();
  settings.TestMode = CheckBox2->isChecked();
  settings.DebugMode = CheckBox3->isChecked();
  RemoveLineBreaks(settings);
  return settings;
}

void TEditSessionForm::SetSessionStarter(const std::string& value) {
  if (value == StarterManual)
    RadioButton7->setChecked(true);
  else if (value == StarterCountdown)
    RadioButton5->setChecked(true);
  else if (value == StarterDetect)
    RadioButton6->setChecked(true);
  else if (value == StarterChain)
    RadioButton3->setChecked(true);
}

std::string TEditSessionForm::GetSessionStarter() const {
  if (RadioButton5->isChecked()) return StarterCountdown;
  if (RadioButton6->isChecked()) return StarterDetect;
  if (RadioButton3->isChecked()) return StarterChain;
  return StarterManual;
}

void TEditSessionForm::SetSessionMode(TSessionMode value) {
  for (size_t item = 0; item < ModeItems.size(); ++item)
    if (value == ModeItems[item]) SelectItem(FModeItems, static_cast<int>(item));
}

TSessionMode TEditSessionForm::GetSessionMode() const {
  const int item = SelectedItem(FModeItems);
  return ModeItems[static_cast<size_t>(std::clamp(item, 0, static_cast<int>(ModeItems.size()) - 1))];
}

void TEditSessionForm::EncryptionChosen(int item) {
  const bool implicit = item == static_cast<int>(TEncryption::Implicit);
  const bool wasImplicit = FEncryptionItem == static_cast<int>(TEncryption::Implicit);
  const QString port = Edit7->text().trimmed();
  if (implicit && port == QLatin1String("21"))
    Edit7->setText(QStringLiteral("990"));
  else if (!implicit && wasImplicit && port == QLatin1String("990"))
    Edit7->setText(QStringLiteral("21"));
  FEncryptionItem = item;
}

void TEditSessionForm::SetPort(int32_t value) { Edit7->setText(QString::number(value)); }

int32_t TEditSessionForm::GetPort() const {
  bool ok = false;
  const int port = Edit7->text().trimmed().toInt(&ok, 10);
  return ok ? static_cast<int32_t>(port) : 21;
}

void TEditSessionForm::AddParentCandidate(const std::string& name) {
  // A combo box selects its first entry by itself; a candidate alone must not choose a parent.
  const int selected = ComboBox1->currentIndex();
  ComboBox1->addItem(ToQ(name));
  ComboBox1->setCurrentIndex(selected);
}

void TEditSessionForm::SetParentSession(const std::string& value) {
  for (int entry = 0; entry < ComboBox1->count(); ++entry) {
    if (SameTextIgnoringCase(FromQ(ComboBox1->itemText(entry)), value)) {
      ComboBox1->setCurrentIndex(entry);
      return;
    }
  }
  ComboBox1->setCurrentIndex(-1);
}

std::string TEditSessionForm::GetParentSession() const {
  return ComboBox1->currentIndex() < 0 ? std::string() : FromQ(ComboBox1->currentText());
}

bool TEditSessionForm::ShowModal() { return exec() == QDialog::Accepted; }

// --- Test and Preload ---

void TEditSessionForm::TestButtonClick() {
  const TRunSettings settings = GetSettings();
  const bool sftp = SftpChosen();
  RunTool([settings, sftp](TToolCancel& cancel) -> TToolResult {
    TPathTestReport report;
    std::string failure;
    std::string refusedFingerprint;  // of a certificate the user may choose to trust
    try {
      report = TestSessionPaths(settings, cancel);
    } catch (const ECertificateRefused& error) {
      const std::string description = sftp
                                          ? HostKeyDescription(error.Certificate.Subject, error.Certificate.Fingerprint)
                                          : CertificateDescription(error.Certificate);
      failure = std::string(error.what()) + "\r\n\r\n" + description;
      refusedFingerprint = error.Certificate.Fingerprint;
    } catch (const std::exception& error) {
      failure = error.what();
    }
    return [report, failure, refusedFingerprint, sftp](TEditSessionForm* form, bool cancelled) {
      if (cancelled) return;
      if (!refusedFingerprint.empty() && sftp) {
        if (AskToTrustCertificate(form, failure, "Trust this host key for this session"))
          form->HostKeyEdit->setText(ToQ(refusedFingerprint));
      } else if (!refusedFingerprint.empty()) {
        if (AskToTrustCertificate(form, failure)) form->TrustedCertificateEdit->setText(ToQ(refusedFingerprint));
      } else if (!failure.empty()) {
        ShowErrorReport(form, failure);
      } else if (!report.Text.empty()) {
        ShowMessage(form, report.Warning ? QMessageBox::Warning : QMessageBox::Information, report.Text);
      }
    };
  });
}

void TEditSessionForm::PreloadCrcButtonClick() {
  const TRunSettings settings = GetSettings();
  if (settings.SessionMode == TSessionMode::SyncRemoteToLocal) return PreloadRemoteRecord(settings);
  RunTool([settings](TToolCancel& cancel) -> TToolResult {
    auto store = std::make_shared<TPreloadEntries>();
    std::string failure;
    try {
      PreloadCrcStore(settings, *store, cancel);
    } catch (const std::exception& error) {
      failure = error.what();
    }
    return [store, failure](TEditSessionForm* form, bool cancelled) {
      form->FPreloadStore = std::move(*store);
      if (cancelled) return;
      ShowMessage(form, QMessageBox::Information, PreloadCountMessage(static_cast<int>(form->FPreloadStore.size())));
      if (!failure.empty()) ShowErrorReport(form, failure);
    };
  });
}

// "Make the local the same" keeps no CRC store: its Preload records what the server lists.
void TEditSessionForm::PreloadRemoteRecord(const TRunSettings& ASettings) {
  RunTool([ASettings](TToolCancel& cancel) -> TToolResult {
    int count = 0;
    std::string failure;
    try {
      count = PreloadRemoteState(ASettings, cancel);
    } catch (const std::exception& error) {
      failure = error.what();
    }
    return [count, failure](TEditSessionForm* form, bool cancelled) {
      if (cancelled) return;
      if (failure.empty())
        ShowMessage(form, QMessageBox::Information, PreloadRemoteCountMessage(count));
      else
        ShowErrorReport(form, failure);
    };
  });
}

void TEditSessionForm::CancelToolClick() {
  if (FToolCancel) FToolCancel->Cancel();
}

void TEditSessionForm::RunTool(std::function<TToolResult(TToolCancel& cancel)> work) {
  if (ToolRunning()) return;
  auto cancel = std::make_shared<TToolCancel>();
  FToolCancel = cancel;
  const uint64_t run = ++FToolRun;
  ShowToolRunning(true);
  FTool = std::jthread([this, run, cancel, work = std::move(work)] {
    TToolResult result = work(*cancel);
    QMetaObject::invokeMethod(
        this, [this, run, result = std::move(result)] { ToolFinished(run, result); }, Qt::QueuedConnection);
  });
}

void TEditSessionForm::ToolFinished(uint64_t run, const TToolResult& result) {
  if (run != FToolRun || !FTool.joinable()) return;  // stopped meanwhile: nothing to show
  FTool.join();
  const bool cancelled = FToolCancel->Cancelled();
  FToolCancel.reset();
  ShowToolRunning(false);
  result(this, cancelled);
}

void TEditSessionForm::StopTool() {
  if (!FTool.joinable()) return;
  FToolCancel->Cancel();
  FTool.join();
  FToolCancel.reset();
  ShowToolRunning(false);
}

void TEditSessionForm::ShowToolRunning(bool running) {
  ToolBusyBar->setVisible(running);
  ToolCancelButton->setVisible(running);
  for (QPushButton* button : {TestButton, PreloadCrcButton, OkButton}) button->setEnabled(!running);
}

void TEditSessionForm::OkButtonClick() {
  const std::string localPath = FromQ(Edit2->text());
  if (!IsAbsoluteLocalPath(localPath)) {
    ShowMessage(this, QMessageBox::Warning,
                "Local path must be absolute: " + localPath + "\r\nGive the whole path, beginning with \"/\".");
    PageControl1->setCurrentIndex(0);
    Edit2->setFocus();
    return;
  }
  accept();
}

void TEditSessionForm::done(int result) {
  StopTool();
  QDialog::done(result);
}

// --- Browse and Results ---

void TEditSessionForm::BrowseButtonClick() {
  const QString chosen = QFileDialog::getExistingDirectory(this, QStringLiteral("Select local path"), Edit2->text(),
                                                           QFileDialog::ShowDirsOnly);
  if (chosen.isEmpty()) return;
  Edit2->setText(ToQ(WithTrailingSlash(FromQ(chosen))));
}

void TEditSessionForm::TestResultsButtonClick() {
  const std::string log = StateDirectory() + "testlog.txt";
  if (FileExists(log)) OpenWithAssociatedProgram(log);
}

// --- SFTP ---

QLayout* TEditSessionForm::CreateProtocolRow() {
  ProtocolBox = new QComboBox;
  ProtocolBox->addItems({QStringLiteral("FTP"), QStringLiteral("SFTP (SSH)")});
  connect(ProtocolBox, &QComboBox::activated, this, &TEditSessionForm::ProtocolChosen);
  auto* row = new QHBoxLayout;
  row->addWidget(Caption("Protocol", ProtocolBox));
  row->addWidget(ProtocolBox);
  row->addStretch();
  return row;
}

QWidget* TEditSessionForm::CreateSftpControls() {
  KeyFileEdit = new QLineEdit;
  KeyFileEdit->setPlaceholderText(QStringLiteral("none: the agent's keys, then the password"));
  KeyFileBrowse = new QToolButton;
  KeyFileBrowse->setText(QStringLiteral("..."));
  KeyFileBrowse->setToolTip(QStringLiteral("Browse for a private key file"));
  connect(KeyFileBrowse, &QToolButton::clicked, this, [this] {
    const QString chosen =
        QFileDialog::getOpenFileName(this, QStringLiteral("Select private key file"), KeyFileEdit->text(), QString(),
                                     nullptr, QFileDialog::DontResolveSymlinks | QFileDialog::HideNameFilterDetails);
    if (!chosen.isEmpty()) KeyFileEdit->setText(chosen);
  });
  HostKeyEdit = new QLineEdit;
  HostKeyEdit->setReadOnly(true);
  HostKeyEdit->setPlaceholderText(QStringLiteral("none: only keys that ~/.ssh/known_hosts names"));
  ForgetHostKeyButton = new QPushButton(QStringLiteral("Forget"));
  ForgetHostKeyButton->setAutoDefault(false);
  ForgetHostKeyButton->setToolTip(QStringLiteral("Forget the trusted host key"));
  ForgetHostKeyButton->setEnabled(false);
  connect(ForgetHostKeyButton, &QPushButton::clicked, HostKeyEdit, &QLineEdit::clear);
  connect(HostKeyEdit, &QLineEdit::textChanged, ForgetHostKeyButton,
          [this] { ForgetHostKeyButton->setEnabled(!HostKeyEdit->text().isEmpty()); });

  SftpGroup = new QGroupBox(QStringLiteral("SFTP"));
  auto* grid = new QGridLayout(SftpGroup);
  auto* keyFile = new QHBoxLayout;
  keyFile->addWidget(KeyFileEdit, 1);
  keyFile->addWidget(KeyFileBrowse);
  grid->addWidget(Caption("Key file", KeyFileEdit), 0, 0);
  grid->addLayout(keyFile, 0, 1);
  auto* hostKey = new QHBoxLayout;
  hostKey->addWidget(HostKeyEdit, 1);
  hostKey->addWidget(ForgetHostKeyButton);
  grid->addWidget(Caption("Trusted host key (SHA-256)", HostKeyEdit), 1, 0);
  grid->addLayout(hostKey, 1, 1);
  grid->setColumnStretch(1, 1);
  QSizePolicy policy = SftpGroup->sizePolicy();
  policy.setRetainSizeWhenHidden(true);  // the fixed-size dialog keeps its size
  SftpGroup->setSizePolicy(policy);
  return SftpGroup;
}

bool TEditSessionForm::SftpChosen() const { return ProtocolBox->currentIndex() == 1; }

void TEditSessionForm::ProtocolChosen(int item) {
  const int32_t port = GetPort();
  if (item == 1 && (port == 21 || port == 990)) SetPort(22);
  const bool implicitTls = static_cast<TEncryption>(EncryptionCombo->currentIndex()) == TEncryption::Implicit;
  if (item == 0 && port == 22) SetPort(implicitTls ? 990 : 21);
  ShowProtocolControls();
}

void TEditSessionForm::ShowProtocolControls() {
  const bool sftp = SftpChosen();
  for (QWidget* ftpOnly : {static_cast<QWidget*>(EncryptionCombo), static_cast<QWidget*>(CheckBox4),
                           static_cast<QWidget*>(TrustedCertificateEdit)})
    ftpOnly->setEnabled(!sftp);
  ForgetButton->setEnabled(!sftp && !TrustedCertificateEdit->text().isEmpty());
  SftpGroup->setVisible(sftp);
}
