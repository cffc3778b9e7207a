#pragma once
// TMainForm: the main window. It owns the session list, shows one row per session (row i is
// always session i) with its countdown, connection, function and status, carries the
// commands that start, stop, add, remove, edit, clone and test sessions, keeps the optional
// summary log "zephlin.log", and hides the program to the notification area. What it says of
// the runs that end (the "Last run" column, the tray, the exit status) it reads from the
// session list's run ledger (sessions/RunLedger.h).
//
// Main thread only. Every status change reaches ShowSessionStatus on the main thread: the
// session list's own reports directly, a worker's through the main-thread hand-over while
// the worker waits.
//
// Start-up uses: ExitWhenIdle, StartOnLaunch, QueueCommandSession, StartHidden /
// IsStartedHidden, EnableSummaryLog. ApplicationIdle runs RunDeferredStartup once and then,
// with ExitWhenIdle, the exit check. When the close query lets the window close, it emits
// Closed and ends the application's event loop (the last window closing does not: the
// window may be hidden in the notification area while a dialog closes).

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/RunEvents.h"
#include "engine/RunOutcome.h"
#include "platform/AppendFile.h"
#include "platform/DateTime.h"
#include "ui/CommandLine.h"
#include "ui/RunProgress.h"

class QAction;
class QGroupBox;
class QMenu;
class QPushButton;
class QToolButton;
class QTreeWidget;
class TSession;
class TSessions;
class TTrayIcon;
class THistoryWindow;
class TDesktopNotifier;

class TMainForm : public QWidget {
  Q_OBJECT

 public:
  // FormCreate: creates the session list (which reads "zephlin.ini" and starts its tick) and
  // installs ShowSessionStatus, which fills one row per session.
  explicit TMainForm(QWidget* parent = nullptr);
  // FormDestroy: destroys the session list (running workers are stopped and waited for), then
  // writes the summary log when it is kept.
  ~TMainForm() override;
  TMainForm(const TMainForm&) = delete;
  TMainForm& operator=(const TMainForm&) = delete;

  TSessions& Sessions() { return *FSessions; }

  // Command-line state (set by start-up before the event loop runs).
  bool ExitWhenIdle = false;
  bool StartOnLaunch = false;
  bool StartupPending = true;
  std::vector<TCommandSession> CommandSessions;
  void QueueCommandSession(const std::string& name, bool force);
  // With true: the window is not to be shown at start, and the tray icon is created as by
  // Hide, without minimising. Throws EOutOfResources where the display has no notification
  // area.
  void StartHidden(bool hidden);
  bool IsStartedHidden() const { return FStartHidden; }
  // The first idle moment's work: the editor for a first session when there is none, the
  // sessions named on the command line, and with StartOnLaunch every automatic session.
  void RunDeferredStartup();

  // The summary log. It is written as it grows: enabling it replaces "zephlin.log" with its
  // header, each logged line follows at the next idle moment of the event loop (or sooner
  // when many are waiting), and the completion line is added as the window is destroyed.
  bool LogEnabled = false;
  void EnableSummaryLog(bool enabled);
  void FlushSummaryLog();
  // The text followed by blanks up to width characters, or its first width characters.
  static std::string PadOrCut(const std::string& text, size_t width);

  // What went wrong since start-up: runs that reported a failure (the run ledger's count) and
  // error reports.
  int32_t FailureCount() const;
  // The process's exit status once the event loop ended with `loopStatus`: with ExitWhenIdle,
  // 2 when anything went wrong.
  int ExitStatus(int loopStatus) const;
  // A failed command's report: the error box (standard error while nobody can answer), and a
  // line of the summary log when it is kept.
  void ReportError(const std::string& message);

  // The display callback of every session (a TSessionStatusEvent).
  void ShowSessionStatus(int32_t index, int32_t remaining, const std::string& connection, const std::string& function,
                         const std::string& status);
  // A typed event of a session's running worker: it goes into the row's progress, which is
  // drawn at most four times a second (RefreshProgress).
  void ShowRunEvent(int32_t index, const TRunEvent& event);
  // Draws the progress of every running session now: its row's Progress cell and its line
  // of the tray tip.
  void RefreshProgress();

  void ApplicationIdle();
  void ApplicationActivate();
  // May the window close? Asks while a session runs; true when it may.
  bool FormCloseQuery();

  // Rows: every selected row in list order, and the first of them (-1 when none).
  std::vector<int32_t> SelectedRows() const;
  int32_t SelectedRow() const;

  // The commands.
  void StartButtonClick();
  void StopButtonClick();
  void ReadmeButtonClick();
  void AboutButtonClick();
  void AddButtonClick();
  void RemoveButtonClick();
  void EditButtonClick();
  void HideButtonClick();
  void Start1Click();
  void Stop1Click();
  void ForceStart1Click();
  void Clone1Click();
  void Manual1Click();
  void DetectChange1Click();
  void Test1Click();
  // The run history of the selected row's session, in a window of its own (one per session).
  void History1Click();
  THistoryWindow* ShowHistory(int32_t index);
  void Restore1Click();
  void Quit1Click();
  void ListMenuPopup();

  // The tray icon while the program is hidden, else none. Owned by the window.
  TTrayIcon* TrayIcon = nullptr;

  // The controls, named as the window's design names them.
  QToolButton* StartButton = nullptr;
  QToolButton* StopButton = nullptr;
  QToolButton* ReadmeButton = nullptr;
  QToolButton* AboutButton = nullptr;
  QGroupBox* SitesGroup = nullptr;
  QTreeWidget* ListView1 = nullptr;
  QPushButton* AddButton = nullptr;
  QPushButton* RemoveButton = nullptr;
  QPushButton* EditButton = nullptr;
  QPushButton* HideButton = nullptr;
  QMenu* ListMenu = nullptr;
  QAction* Start1 = nullptr;
  QAction* Stop1 = nullptr;
  QAction* ForceStart1 = nullptr;
  QAction* Clone1 = nullptr;
  QMenu* SessionMode1 = nullptr;
  QAction* Manual1 = nullptr;
  QAction* DetectChange1 = nullptr;
  QAction* Test1 = nullptr;
  QAction* History1 = nullptr;
  QMenu* TrayMenu = nullptr;
  QAction* Restore1 = nullptr;
  QAction* Quit1 = nullptr;

 signals:
  // The close query allowed the window to close: the program is to end.
  void Closed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  QWidget* CreatePictureStrip();
  QGroupBox* CreateSessionsGroup();
  void CreateMenus();
  void HookApplicationEvents();
  void CreateTrayIcon();
  void ExitCheck();
  void AppendSummaryLine(const std::string& line);
  // A run ended (the ledger's word): its "Last run" cell, with ExitWhenIdle a failure's line on
  // standard error, and while hidden the tray's notification.
  void NoteRunEnd(const TSession& session, const TRunOutcome& outcome);
  void ShowLastRun(int32_t index);
  void ShowProgress(int32_t index);
  void UpdateTrayHint();
  // A failed run's notification: the desktop's notification service, else the tray's balloon.
  void NotifyFailedRun(const TSession* session, const std::string& outcome);
  // Runs a command; a failure ends it with the error box instead of leaving the event loop.
  void RunCommand(void (TMainForm::*command)());

  std::unique_ptr<TSessions> FSessions;
  bool FStartHidden = false;
  bool FInIdle = false;
  bool FActivitySinceIdle = true;
  QTimer FIdleTimer;
  TAppendFile FSummaryFile;
  std::string FSummaryPending;  // logged lines not yet written
  QTimer FLastRunTimer;         // the column shows the date instead of the time once a day has passed
  int32_t FErrorReports = 0;
  // The progress of each running session, drawn by FProgressTimer at most every 250 ms.
  std::unordered_map<const TSession*, TRunProgress> FProgress;
  QTimer FProgressTimer;
  QElapsedTimer FProgressClock;
  int64_t FLastProgressRefresh = INT32_MIN;  // on FProgressClock
  std::unordered_map<const TSession*, QPointer<THistoryWindow>> FHistoryWindows;
  TDesktopNotifier* FNotifier = nullptr;
};
