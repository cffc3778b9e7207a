#include "ui/MainFormUnit.h"

#include <cstdio>

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIconEngine>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionProgressBar>
#include <QStyledItemDelegate>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "platform/DateTime.h"
#include "platform/ProgramDir.h"
#include "platform/Shell.h"
#include "sessions/SessionsUnit.h"
#include "ui/AboutFormUnit.h"
#include "ui/DesktopNotifier.h"
#include "ui/EditSessionUnit.h"
#include "ui/HistoryWindow.h"
#include "ui/TrayIcon.h"
#include "ui/UiCommon.h"

namespace {

const char* const CloseQuestion = "There are one or more ftp sessions active. Are you sure you want to quit?";

// Columns of the list view, left to right; "Status" takes the width the others leave.
enum TColumn { colSession, colTime, colConnection, colFunction, colStatus, colProgress, colLastRun, colCount };

// The Progress cell keeps its share (thousandths, -1 for none) under this role beside its text.
constexpr int ProgressRole = Qt::UserRole + 1;
// The rows' progress is drawn at most this often, however fast the events come.
constexpr int ProgressRefreshMs = 250;

// The list view measures every cell of the first row whenever one of its texts changes (to
// learn the height of all rows), and laying out text was the costliest step of a status
// report, which the run waits for. The columns have fixed widths and every cell holds one
// line, so only the height counts, and it depends on the font alone: it is measured once per
// font, with a sample line.
class TLineHeightDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    if (!FMeasured || FFont != option.font) {
      QStyleOptionViewItem sample = option;
      initStyleOption(&sample, index);
      sample.text = QStringLiteral("Xg");
      sample.features &= ~QStyleOptionViewItem::HasDecoration;
      const QWidget* widget = option.widget;
      const QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
      FHeight = style->sizeFromContents(QStyle::CT_ItemViewItem, &sample, QSize(), widget).height();
      FFont = option.font;
      FMeasured = true;
    }
    return {option.rect.width() > 0 ? option.rect.width() : 1, FHeight};
  }

 private:
  mutable bool FMeasured = false;
  mutable QFont FFont;
  mutable int FHeight = 0;
};

// The Progress cell: a progress bar carrying the cell's text while a share is known, the text
// alone otherwise.
class TProgressDelegate : public TLineHeightDelegate {
 public:
  using TLineHeightDelegate::TLineHeightDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const QVariant share = index.data(ProgressRole);
    if (!share.isValid() || share.toInt() < 0) {
      TLineHeightDelegate::paint(painter, option, index);
      return;
    }
    const QWidget* widget = option.widget;
    const QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.text.clear();
    style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);
    QStyleOptionProgressBar bar;
    bar.QStyleOption::operator=(option);
    bar.rect = option.rect.adjusted(2, 1, -2, -1);
    bar.state = (option.state & QStyle::State_Enabled) | QStyle::State_Horizontal;
    bar.minimum = 0;
    bar.maximum = 1000;
    bar.progress = share.toInt();
    bar.text = index.data().toString();
    bar.textVisible = true;
    bar.textAlignment = Qt::AlignCenter;
    style->drawControl(QStyle::CE_ProgressBar, &bar, painter, widget);
  }
};

// Width of each summary-log column; the status is never cut.
constexpr size_t NameWidth = 20;
constexpr size_t ConnectionWidth = 16;
constexpr size_t FunctionWidth = 23;

// A picture from the desktop's icon theme, or the style's own where the theme has none,
// looked up when it is first drawn rather than when the window is built: the style's own
// pictures load the image plug-ins, milliseconds that an unattended run, which never shows
// the window, need not spend.
class TPictureEngine : public QIconEngine {
 public:
  TPictureEngine(const char* themeName, QStyle::StandardPixmap fallback) : FThemeName(themeName), FFallback(fallback) {}

  QIconEngine* clone() const override { return new TPictureEngine(*this); }
  QString iconName() override { return Picture().name(); }
  QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
    return Picture().availableSizes(mode, state);
  }
  QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    return Picture().actualSize(size, mode, state);
  }
  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    return Picture().pixmap(size, mode, state);
  }
  QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override {
    return Picture().pixmap(size, scale, mode, state);
  }
  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
    Picture().paint(painter, rect, Qt::AlignCenter, mode, state);
  }

 private:
  const QIcon& Picture() {
    if (!FLookedUp) {
      FPicture = QIcon::fromTheme(QString::fromLatin1(FThemeName), QApplication::style()->standardIcon(FFallback));
      FLookedUp = true;
    }
    return FPicture;
  }

  const char* FThemeName;
  QStyle::StandardPixmap FFallback;
  bool FLookedUp = false;
  QIcon FPicture;
};

QIcon Picture(const char* themeName, QStyle::StandardPixmap fallback) {
  return QIcon(new TPictureEngine(themeName, fallback));
}

// The number of characters of a UTF-8 text (continuation bytes do not count).
size_t CharacterCount(const std::string& text) {
  return static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// The byte length of the first `characters` characters of a UTF-8 text.
size_t PrefixBytes(const std::string& text, size_t characters) {
  size_t seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && seen++ == characters) return i;
  }
  return text.size();
}

// The "Last run" cell: the end time, or the date when it was not today, and the outcome.
std::string LastRunText(TDateTime end, const std::string& outcome) {
  const std::string when = DayCount(end) == DayCount(Now()) ? FormatHourMinute(end) : FormatShortDate(end);
  return when + " " + outcome;
}

// The tray icon's tip while runs have failed: the program and as many of the sessions' names
// as the tip holds, with how many more there are.
std::string FailedRunsHint(const std::vector<std::string>& names) {
  std::string hint = std::string(ProgramTitle) + " - failed: ";
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string next = hint + (i > 0 ? ", " : "") + names[i];
    const size_t left = names.size() - i - 1;
    const std::string more = left > 0 ? " +" + std::to_string(left) + " more" : "";
    if (i > 0 && CharacterCount(next + more) > static_cast<size_t>(TTrayIcon::MaxTipLength))
      return hint + " +" + std::to_string(names.size() - i) + " more";
    hint = next;
  }
  return hint;
}

// Where the settings, the CRC stores and the logs are, for the Read Me button's hint.
std::string WhereFilesAre() {
  const TFileLocations where = FileLocations();
  if (where.Portable) return "\nSettings, CRC stores and logs: " + where.SettingsDirectory;
  return "\nSettings: " + where.SettingsDirectory + "\nCRC stores and logs: " + where.StateDirectory;
}

}  // namespace

TMainForm::TMainForm(QWidget* parent) : QWidget(parent) {
  setWindowTitle(QString::fromLatin1(ProgramTitle));
  setWindowIcon(ProgramIcon());
  setFont(ProgramFont());
  resize(1240, 381);
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());

  CreateControls();
  HookApplicationEvents();
  // Closing this window ends the program, also while it is hidden in the notification area;
  // a dialog closed meanwhile (the editor at start-up, the About box) must not end it.
  QApplication::setQuitOnLastWindowClosed(false);
  connect(this, &TMainForm::Closed, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
  FLastRunTimer.setInterval(60'000);
  connect(&FLastRunTimer, &QTimer::timeout, this, [this] {
    for (int32_t index = 0; index < ListView1->topLevelItemCount(); ++index) ShowLastRun(index);
  });
  FLastRunTimer.start();
  FProgressClock.start();
  FProgressTimer.setSingleShot(true);
  connect(&FProgressTimer, &QTimer::timeout, this, &TMainForm::RefreshProgress);
  FNotifier = new TDesktopNotifier(this);
  FNotifier->OnHistory = [this](const std::string& name) {
    if (THistoryWindow* window = ShowHistory(FSessions->FindSession(name))) window->activateWindow();
  };

  FSessions = std::make_unique<TSessions>();
  FSessions->SetEditorFactory([this] { return std::make_unique<TEditSessionForm>(this); });
  FSessions->Ledger().OnRecorded = [this](const TSession& session, const TRunOutcome& outcome) {
    NoteRunEnd(session, outcome);
  };
  FSessions->Ledger().OnRecordError = [this](const std::string& message) { ReportError(message); };
  FSessions->SetStatusHandler(
      [this](int32_t index, int32_t remaining, const std::string& connection, const std::string& function,
             const std::string& status) { ShowSessionStatus(index, remaining, connection, function, status); });
  FSessions->SetRunEventHandler([this](int32_t index, const TRunEvent& event) { ShowRunEvent(index, event); });
}

TMainForm::~TMainForm() {
  FSessions.reset();
  if (!LogEnabled) return;
  FSummaryPending += "\r\nSession Completed: " + FormatShortDateLongTime(Now()) + "\r\n";
  FlushSummaryLog();
}

// --- Controls ---

void TMainForm::CreateControls() {
  CreateMenus();
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 4, 6, 6);
  layout->setSpacing(4);
  layout->addWidget(CreatePictureStrip());
  layout->addWidget(CreateSessionsGroup(), 1);
}

QWidget* TMainForm::CreatePictureStrip() {
  auto makeButton = [this](const QIcon& picture, const char* hint, void (TMainForm::*command)()) {
    auto* button = new QToolButton;
    button->setIcon(picture);
    button->setIconSize(QSize(32, 32));
    button->setFixedSize(50, 40);
    button->setAutoRaise(true);  // flat
    button->setToolTip(QString::fromLatin1(hint));
    connect(button, &QToolButton::clicked, this, [this, command] { RunCommand(command); });
    return button;
  };
  StartButton = makeButton(Picture("media-playback-start", QStyle::SP_MediaPlay), "Start all selected sessions",
                           &TMainForm::StartButtonClick);
  StopButton = makeButton(Picture("media-playback-stop", QStyle::SP_MediaStop), "Stop all selected sessions",
                          &TMainForm::StopButtonClick);
  ReadmeButton = makeButton(Picture("help-contents", QStyle::SP_FileDialogContentsView), "View Read Me file",
                            &TMainForm::ReadmeButtonClick);
  ReadmeButton->setToolTip(ReadmeButton->toolTip() + ToQ(WhereFilesAre()));
  AboutButton = makeButton(Picture("help-about", QStyle::SP_MessageBoxInformation), "Program information",
                           &TMainForm::AboutButtonClick);

  auto* strip = new QWidget;
  auto* layout = new QHBoxLayout(strip);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
  for (QToolButton* button : {StartButton, StopButton, ReadmeButton, AboutButton}) layout->addWidget(button);
  layout->addStretch();
  return strip;
}

QGroupBox* TMainForm::CreateSessionsGroup() {
  ListView1 = new QTreeWidget;
  ListView1->setColumnCount(colCount);
  ListView1->setHeaderLabels({QStringLiteral("Session"), QStringLiteral("Time"), QStringLiteral("Connection"),
                              QStringLiteral("Function"), QStringLiteral("Status"), QStringLiteral("Progress"),
                              QStringLiteral("Last run")});
  const int widths[] = {160, 50, 120, 100, 0, 280, 240};
  for (int column = colSession; column < colCount; ++column)
    if (column != colStatus) ListView1->setColumnWidth(column, widths[column]);
  ListView1->header()->setStretchLastSection(false);
  ListView1->header()->setSectionResizeMode(colStatus, QHeaderView::Stretch);
  ListView1->header()->setSectionsMovable(false);
  ListView1->setRootIsDecorated(false);
  ListView1->setItemsExpandable(false);
  ListView1->setUniformRowHeights(true);
  ListView1->setItemDelegate(new TLineHeightDelegate(ListView1));
  ListView1->setItemDelegateForColumn(colProgress, new TProgressDelegate(ListView1));
  ListView1->setAlternatingRowColors(true);
  ListView1->setAllColumnsShowFocus(true);
  ListView1->setSelectionMode(QAbstractItemView::ExtendedSelection);
  ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
  ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  // The selection stays as visible when the list loses the focus.
  QPalette colours = ListView1->palette();
  colours.setColor(QPalette::Inactive, QPalette::Highlight, colours.color(QPalette::Active, QPalette::Highlight));
  colours.setColor(QPalette::Inactive, QPalette::HighlightedText,
                   colours.color(QPalette::Active, QPalette::HighlightedText));
  ListView1->setPalette(colours);
  ListView1->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(ListView1, &QTreeWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { ListMenu->popup(ListView1->viewport()->mapToGlobal(at)); });
  connect(ListView1, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem*, int column) {
    RunCommand(column == colLastRun ? &TMainForm::History1Click : &TMainForm::EditButtonClick);
  });

  auto makeButton = [this](const char* caption, const char* hint, void (TMainForm::*command)()) {
    auto* button = new QPushButton(QString::fromLatin1(caption));
    button->setToolTip(QString::fromLatin1(hint));
    button->setAutoDefault(false);
    connect(button, &QPushButton::clicked, this, [this, command] { RunCommand(command); });
    return button;
  };
  AddButton = makeButton("Add", "Add a new session", &TMainForm::AddButtonClick);
  RemoveButton = makeButton("Remove", "Remove session", &TMainForm::RemoveButtonClick);
  EditButton = makeButton("Edit", "Edit session", &TMainForm::EditButtonClick);
  HideButton = makeButton("Hide", "Minimise to system tray", &TMainForm::HideButtonClick);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(AddButton);
  buttons->addWidget(RemoveButton);
  buttons->addWidget(EditButton);
  buttons->addStretch();
  buttons->addWidget(HideButton);

  SitesGroup = new QGroupBox(QStringLiteral("Sessions"));
  auto* layout = new QVBoxLayout(SitesGroup);
  layout->addWidget(ListView1, 1);
  layout->addLayout(buttons);
  return SitesGroup;
}

void TMainForm::CreateMenus() {
  auto addCommand = [this](QMenu* menu, const char* caption, void (TMainForm::*command)()) {
    QAction* action = menu->addAction(QString::fromLatin1(caption));
    connect(action, &QAction::triggered, this, [this, command] { RunCommand(command); });
    return action;
  };
  ListMenu = new QMenu(this);
  ListMenu->setToolTipsVisible(true);
  Start1 = addCommand(ListMenu, "Start", &TMainForm::Start1Click);
  Start1->setToolTip(QStringLiteral("Start selected session"));
  Stop1 = addCommand(ListMenu, "Stop", &TMainForm::Stop1Click);
  Stop1->setToolTip(QStringLiteral("Stop selected session"));
  ListMenu->addSeparator();
  ForceStart1 = addCommand(ListMenu, "Force Start", &TMainForm::ForceStart1Click);
  Clone1 = addCommand(ListMenu, "Clone", &TMainForm::Clone1Click);
  SessionMode1 = ListMenu->addMenu(QStringLiteral("Session Mode"));
  Manual1 = addCommand(SessionMode1, "Manual", &TMainForm::Manual1Click);
  DetectChange1 = addCommand(SessionMode1, "Detect Change", &TMainForm::DetectChange1Click);
  Test1 = addCommand(ListMenu, "Test", &TMainForm::Test1Click);
  ListMenu->addSeparator();
  History1 = addCommand(ListMenu, "History...", &TMainForm::History1Click);
  for (QAction* checkable : {Manual1, DetectChange1, Test1}) checkable->setCheckable(true);
  connect(ListMenu, &QMenu::aboutToShow, this, &TMainForm::ListMenuPopup);

  TrayMenu = new QMenu(this);
  Restore1 = addCommand(TrayMenu, "Restore", &TMainForm::Restore1Click);
  Quit1 = addCommand(TrayMenu, "Quit", &TMainForm::Quit1Click);
  TrayMenu->setDefaultAction(Restore1);
}

void TMainForm::RunCommand(void (TMainForm::*command)()) {
  try {
    (this->*command)();
  } catch (const std::exception& error) {
    ReportError(error.what());
  }
}

void TMainForm::ReportError(const std::string& message) {
  ++FErrorReports;
  if (LogEnabled)
    AppendSummaryLine(PadOrCut("", NameWidth) + "  " + PadOrCut("", ConnectionWidth) +
                      PadOrCut("Error", FunctionWidth) + message);
  ShowErrorReport(this, message);
}

// --- Application events ---

void TMainForm::HookApplicationEvents() {
  // Idle: once the event queue has run empty after something happened. The idle timer's
  // own event is not "something", so an idle moment never causes the next one.
  FIdleTimer.setSingleShot(true);
  FIdleTimer.setInterval(0);
  connect(&FIdleTimer, &QTimer::timeout, this, [this] {
    FActivitySinceIdle = false;
    ApplicationIdle();
  });
  qApp->installEventFilter(this);
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) {
    connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] {
      FlushSummaryLog();
      if (FActivitySinceIdle && !FIdleTimer.isActive()) FIdleTimer.start();
    });
  }
  connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
    if (state == Qt::ApplicationActive) ApplicationActivate();
  });
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched != &FIdleTimer) FActivitySinceIdle = true;
  return QWidget::eventFilter(watched, event);
}

void TMainForm::ApplicationIdle() {
  // A modal dialog opened from here (the editor at start-up) has idle moments of its own;
  // they must not run start-up again or close the window underneath the dialog.
  if (FInIdle) return;
  FInIdle = true;
  const bool selected = SelectedRow() >= 0;
  for (QWidget* control : std::initializer_list<QWidget*>{StartButton, StopButton, EditButton, RemoveButton})
    control->setEnabled(selected);
  for (QWidget* control : std::initializer_list<QWidget*>{AddButton, HideButton, ReadmeButton, AboutButton})
    control->setEnabled(true);
  try {
    if (StartupPending) RunDeferredStartup();
    if (ExitWhenIdle && QApplication::activeModalWidget() == nullptr) ExitCheck();
  } catch (const std::exception& error) {
    ReportError(error.what());
  }
  FInIdle = false;
}

void TMainForm::ApplicationActivate() {
  // Only once the window is back: were the icon removed while the window is still hidden (a
  // popup or a dialog can make the application active), nothing would lead back to it.
  if (TrayIcon != nullptr && isVisible() && !isMinimized()) {
    // Later, not now: the activation may arrive inside one of the icon's own handlers.
    TrayIcon->deleteLater();
    TrayIcon = nullptr;
  }
  QWidget* front = QApplication::activeModalWidget() != nullptr ? QApplication::activeModalWidget() : this;
  if (front->isVisible()) front->raise();
}

// --- Start-up ---

void TMainForm::QueueCommandSession(const std::string& name, bool force) {
  CommandSessions.push_back(TCommandSession{name, force});
}

void TMainForm::StartHidden(bool hidden) {
  if (!hidden) return;
  CreateTrayIcon();
  FStartHidden = true;
}

void TMainForm::RunDeferredStartup() {
  StartupPending = false;
  if (FSessions->Count() == 0) {
    // Without a display nobody can answer the editor; an unattended run says so and goes on.
    if (IsHeadless())
      std::fprintf(stderr, "zephlin: no session is configured in %s\n", TSessions::SettingsFileName().c_str());
    else
      AddButtonClick();
  }
  for (const TCommandSession& command : CommandSessions)
    FSessions->StartSession(FSessions->FindSession(command.SessionName), command.Force, ExitWhenIdle);
  if (!StartOnLaunch) return;
  for (int32_t index = 0; index < FSessions->Count(); ++index) {
    TSession& session = *FSessions->GetSession(index);
    const std::string& starter = session.Settings.SessionStarter;
    if (starter != StarterManual && starter != StarterChain && !session.IsRunning()) session.Start(false, false);
  }
}

void TMainForm::ExitCheck() {
  for (int32_t index = 0; index < FSessions->Count(); ++index) {
    const TSession& session = *FSessions->GetSession(index);
    if (session.IsRunning() || session.GetRemaining() > 0) return;
  }
  close();
}

// --- Rows ---

void TMainForm::ShowSessionStatus(int32_t index, int32_t remaining, const std::string& connection,
                                  const std::string& function, const std::string& status) {
  if (FSessions == nullptr || index < 0 || index >= FSessions->Count()) return;
  while (ListView1->topLevelItemCount() <= index) {
    auto* row = new QTreeWidgetItem;
    for (int column = 0; column < colCount; ++column) row->setText(column, QString());
    ListView1->addTopLevelItem(row);
  }
  const TSession* session = FSessions->GetSession(index);
  const std::string& name = session->Settings.Name;
  QTreeWidgetItem* row = ListView1->topLevelItem(index);
  row->setText(colSession, ToQ(name));
  row->setText(colTime, remaining > 0 ? QString::number(remaining) : QString());
  row->setText(colConnection, ToQ(connection));
  row->setText(colFunction, ToQ(function));
  row->setText(colStatus, ToQ(status));
  if (connection == "Offline" && FProgress.erase(session) > 0) {
    ShowProgress(index);
    UpdateTrayHint();
  }
  ShowLastRun(index);
  if (LogEnabled && remaining == 0) {
    AppendSummaryLine(PadOrCut(name, NameWidth) + "  " + PadOrCut(connection, ConnectionWidth) +
                      PadOrCut(function, FunctionWidth) + status);
  }
}

int32_t TMainForm::FailureCount() const { return FErrorReports + FSessions->Ledger().FailedRuns(); }

int TMainForm::ExitStatus(int loopStatus) const {
  return loopStatus == 0 && ExitWhenIdle && FailureCount() > 0 ? 2 : loopStatus;
}

void TMainForm::NoteRunEnd(const TSession& session, const TRunOutcome& outcome) {
  const bool failed = ReportedFailure(outcome);
  // A service manager's journal or cron's mail then names each run that failed, and why.
  if (failed && ExitWhenIdle) {
    const std::string why = outcome.Errors.empty() ? OutcomeText(outcome) : outcome.FirstError();
    std::fprintf(stderr, "zephlin: %s: %s\n", session.Settings.Name.c_str(), why.c_str());
  }
  if (ListView1->topLevelItem(session.Index) != nullptr) ShowLastRun(session.Index);
  if (failed) NotifyFailedRun(&session, OutcomeText(outcome));
  UpdateTrayHint();
  // The run's record is written as its worker ends; an open history shows it once it is there.
  const auto history = FHistoryWindows.find(&session);
  if (history != FHistoryWindows.end() && !history->second.isNull())
    QTimer::singleShot(0, history->second.data(), &THistoryWindow::Reload);
}

void TMainForm::NotifyFailedRun(const TSession* session, const std::string& outcome) {
  const std::string title = "Zephlin: " + session->Settings.Name + " failed";
  // Without the desktop's service only the tray can tell, and only while the window is
  // hidden there; on the screen the row says it.
  // The notifier is the window's own, so its answer never outlives the window.
  FNotifier->Notify(session->Settings.Name, title, outcome, [this, title, outcome] {
    if (TrayIcon != nullptr) TrayIcon->ShowNotification(title, outcome);
  });
}

void TMainForm::UpdateTrayHint() {
  if (TrayIcon == nullptr) return;
  std::vector<std::string> failed;
  std::string running;
  for (int32_t index = 0; index < FSessions->Count(); ++index) {
    const TSession& session = *FSessions->GetSession(index);
    const TRunOutcome* last = FSessions->Ledger().LastOutcome(session);
    if (last != nullptr && ReportedFailure(*last)) failed.push_back(session.Settings.Name);
    const auto progress = FProgress.find(&session);
    if (progress != FProgress.end() && !progress->second.Text().empty())
      running += "\n" + session.Settings.Name + ": " + progress->second.Text();
  }
  TrayIcon->SetHint((failed.empty() ? std::string(ProgramTitle) : FailedRunsHint(failed)) + running);
}

// --- Progress ---

void TMainForm::ShowRunEvent(int32_t index, const TRunEvent& event) {
  const TSession* session = FSessions->GetSession(index);
  if (session == nullptr) return;
  const int64_t now = FProgressClock.elapsed();
  FProgress[session].Add(event, now);
  // Drawn at once when the last drawing is old enough, else when it will be: a timer alone
  // could fall behind a run that hands over events without pause.
  const int64_t since = now - FLastProgressRefresh;
  if (since >= ProgressRefreshMs)
    RefreshProgress();
  else if (!FProgressTimer.isActive())
    FProgressTimer.start(static_cast<int>(ProgressRefreshMs - since));
}

void TMainForm::RefreshProgress() {
  FProgressTimer.stop();
  FLastProgressRefresh = FProgressClock.elapsed();
  for (int32_t index = 0; index < FSessions->Count(); ++index) ShowProgress(index);
  UpdateTrayHint();
}

void TMainForm::ShowProgress(int32_t index) {
  const TSession* session = FSessions->GetSession(index);
  QTreeWidgetItem* row = ListView1->topLevelItem(index);
  if (session == nullptr || row == nullptr) return;
  const auto progress = FProgress.find(session);
  const bool shown = progress != FProgress.end();
  row->setText(colProgress, shown ? ToQ(progress->second.Text()) : QString());
  row->setData(colProgress, ProgressRole, shown ? progress->second.Permille() : -1);
}

void TMainForm::ShowLastRun(int32_t index) {
  const TSession* session = FSessions->GetSession(index);
  QTreeWidgetItem* row = ListView1->topLevelItem(index);
  if (session == nullptr || row == nullptr) return;
  const TRunOutcome* last = FSessions->Ledger().LastOutcome(*session);
  const QString text = last == nullptr ? QString() : ToQ(LastRunText(last->End, OutcomeText(*last)));
  row->setText(colLastRun, text);
  row->setToolTip(colLastRun, text);
}

std::vector<int32_t> TMainForm::SelectedRows() const {
  std::vector<int32_t> rows;
  for (int row = 0; row < ListView1->topLevelItemCount(); ++row)
    if (ListView1->topLevelItem(row)->isSelected()) rows.push_back(row);
  return rows;
}

int32_t TMainForm::SelectedRow() const {
  const std::vector<int32_t> rows = SelectedRows();
  return rows.empty() ? -1 : rows.front();
}

// --- Summary log ---

std::string TMainForm::PadOrCut(const std::string& text, size_t width) {
  // Counted in characters, so a name in UTF-8 is neither cut in the middle of a character
  // nor padded short.
  const size_t characters = CharacterCount(text);
  if (characters < width) return text + std::string(width - characters, ' ');
  return text.substr(0, PrefixBytes(text, width));
}

void TMainForm::EnableSummaryLog(bool enabled) {
  LogEnabled = enabled;
  if (!enabled) return;
  FSummaryPending = std::string(ProgramTitle) + " by " + MakerName + "\r\n" +
                    "Session Commenced: " + FormatShortDateLongTime(Now()) + "\r\n" +
                    "\r\n"
                    "SESSION               CONNECTION      FUNCTION               STATUS\r\n"
                    "-------               ----------      --------               ------\r\n";
  const std::string path = StateDirectory() + "zephlin.log";
  if (!FSummaryFile.Create(path)) {
    FSummaryPending.clear();
    ReportError("Unable to write to " + path);
    return;
  }
  FlushSummaryLog();
}

void TMainForm::AppendSummaryLine(const std::string& line) {
  FSummaryPending += line + "\r\n";
  // A run that reports without pause must not hold many lines back from a crash.
  if (FSummaryPending.size() >= 4096) FlushSummaryLog();
}

void TMainForm::FlushSummaryLog() {
  if (FSummaryPending.empty()) return;
  // Without the file (it could not be made, or a write failed) the lines are dropped: the
  // log ends where the writing failed, and nothing piles up in memory.
  FSummaryFile.Append(FSummaryPending);
  FSummaryPending.clear();
}

// --- Closing ---

bool TMainForm::FormCloseQuery() {
  for (int32_t index = 0; index < FSessions->Count(); ++index) {
    if (!FSessions->GetSession(index)->IsRunning()) continue;
    return ShowMessage(this, QMessageBox::Warning, CloseQuestion, QMessageBox::Yes | QMessageBox::Cancel,
                       QMessageBox::Cancel) == QMessageBox::Yes;
  }
  return true;
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (!FormCloseQuery()) {
    event->ignore();
    return;
  }
  event->accept();
  emit Closed();
}

// --- Commands ---

void TMainForm::StartButtonClick() {
  for (const int32_t row : SelectedRows()) FSessions->StartSession(row, false, false);
}

void TMainForm::StopButtonClick() {
  for (const int32_t row : SelectedRows()) FSessions->StopSession(row);
}

void TMainForm::Start1Click() {
  if (const int32_t row = SelectedRow(); row >= 0) FSessions->StartSession(row, false, false);
}

void TMainForm::Stop1Click() {
  if (const int32_t row = SelectedRow(); row >= 0) FSessions->StopSession(row);
}

void TMainForm::ForceStart1Click() {
  for (const int32_t row : SelectedRows()) FSessions->StartSession(row, true, false);
}

void TMainForm::Clone1Click() {
  const int32_t row = SelectedRow();
  if (row < 0 || row >= FSessions->Count()) return;
  const int32_t clone = FSessions->CloneSession(row);
  ShowSessionStatus(clone, 0, "", "", "");
}

void TMainForm::Manual1Click() {
  if (TSession* session = FSessions->GetSession(SelectedRow())) session->Settings.SessionStarter = StarterManual;
}

void TMainForm::DetectChange1Click() {
  if (TSession* session = FSessions->GetSession(SelectedRow())) session->Settings.SessionStarter = StarterDetect;
}

void TMainForm::Test1Click() {
  TSession* session = FSessions->GetSession(SelectedRow());
  if (session == nullptr) return;
  session->Settings.TestMode = !session->Settings.TestMode;
  if (session->Settings.TestMode) session->Start(true, false);
}

void TMainForm::History1Click() { ShowHistory(SelectedRow()); }

THistoryWindow* TMainForm::ShowHistory(int32_t index) {
  const TSession* session = FSessions->GetSession(index);
  if (session == nullptr) return nullptr;
  QPointer<THistoryWindow>& window = FHistoryWindows[session];
  if (window.isNull()) window = new THistoryWindow(session->Settings.Name, this);
  window->Reload();
  window->show();
  window->raise();
  return window.data();
}

void TMainForm::AddButtonClick() { FSessions->AddSessionInteractive(); }

void TMainForm::RemoveButtonClick() {
  const int32_t row = SelectedRow();
  if (row < 0) return;
  // The row goes whenever the session went, also when saving the list then failed (the
  // error is shown after that): rows must keep matching sessions.
  const int32_t before = FSessions->Count();
  const TSession* removed = FSessions->GetSession(row);
  const auto dropRowIfRemoved = [&] {
    if (FSessions->Count() >= before) return;
    delete ListView1->takeTopLevelItem(row);
    if (const auto history = FHistoryWindows.find(removed); history != FHistoryWindows.end()) {
      if (!history->second.isNull()) history->second->deleteLater();
      FHistoryWindows.erase(history);
    }
  };
  try {
    FSessions->RemoveSession(row);
  } catch (...) {
    dropRowIfRemoved();
    throw;
  }
  dropRowIfRemoved();
}

void TMainForm::EditButtonClick() {
  if (const int32_t row = SelectedRow(); row >= 0) FSessions->EditSessionInteractive(row);
}

void TMainForm::ReadmeButtonClick() { OpenWithAssociatedProgram(ReadmeFileName()); }

void TMainForm::AboutButtonClick() {
  TAboutBox box(this);
  box.exec();
}

void TMainForm::CreateTrayIcon() {
  if (TrayIcon != nullptr) return;  // one icon, however often the program is hidden
  TrayIcon = new TTrayIcon(this);
  TrayIcon->SetIcon(windowIcon());
  TrayIcon->PopupMenu = TrayMenu;
  TrayIcon->OnDblClick = [this](TTrayIcon*) { RunCommand(&TMainForm::Restore1Click); };
  UpdateTrayHint();
}

void TMainForm::HideButtonClick() {
  CreateTrayIcon();
  // The tray icon takes the window off the screen and the task list as it is minimised.
  setWindowState(windowState() | Qt::WindowMinimized);
}

void TMainForm::Restore1Click() {
  FStartHidden = false;
  show();
  setWindowState(windowState() & ~Qt::WindowMinimized);
  raise();
  activateWindow();
}

void TMainForm::Quit1Click() { close(); }

void TMainForm::ListMenuPopup() {
  TSession* session = FSessions->GetSession(SelectedRow());
  const bool selected = session != nullptr;
  for (QAction* entry : {Start1, Stop1, ForceStart1, Clone1, SessionMode1->menuAction(), Test1, History1})
    entry->setEnabled(selected);
  Manual1->setChecked(selected && session->Settings.SessionStarter == StarterManual);
  DetectChange1->setChecked(selected && session->Settings.SessionStarter == StarterDetect);
  Test1->setChecked(selected && session->Settings.TestMode);
}
