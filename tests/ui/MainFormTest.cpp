// The main window: rows from status reports, commands on selected rows, enabling rules, the
// tray round trip, the summary log, the close query and the first idle moment.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QIcon>
#include <QMenu>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>
#include <QTreeWidget>
#include <functional>
#include <memory>

#include "UiTestApp.h"
#include "platform/DateTime.h"
#include "platform/FileSystem.h"
#include "sessions/SessionsUnit.h"
#include "ui/MainFormUnit.h"
#include "ui/TrayIcon.h"
#include "ui/UiCommon.h"

using namespace std::chrono_literals;

namespace {

// A port on 127.0.0.1 that accepts connections (the kernel completes them) but never says
// a word: a worker that connects there waits for the greeting until it is stopped.
class SilentListener {
 public:
  SilentListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd_, 8);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~SilentListener() { ::close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

class MainFormTest : public UiTest {
 protected:
  MainFormTest() : form(std::make_unique<TMainForm>()) { form->StartupPending = false; }
  ~MainFormTest() override { form.reset(); }

  TSession& Add(const std::string& name, const std::string& starter = "manual") {
    const int32_t index = form->Sessions().AddSession(name);
    TSession& session = *form->Sessions().GetSession(index);
    session.Settings.SessionStarter = starter;
    return session;
  }
  std::string Cell(int row, int column) const { return form->ListView1->topLevelItem(row)->text(column).toStdString(); }
  void Select(std::initializer_list<int> rows) {
    form->ListView1->clearSelection();
    for (const int row : rows) form->ListView1->topLevelItem(row)->setSelected(true);
  }
  // A manual session whose worker is stuck waiting for a greeting until it is stopped.
  TSession& AddRunning(const std::string& name) {
    TSession& session = Add(name);
    session.Settings.Host = "127.0.0.1";
    session.Settings.Port = silent.port();
    session.Settings.Timeout = 60;
    session.Settings.SessionMode = SessionModeOf("copylocaltoremote");
    session.Settings.LocalPath = program.path();
    session.Start(false, false);
    EXPECT_TRUE(session.IsRunning());
    return session;
  }
  // The lines of "zephlin.log" after its five header lines, as written so far.
  std::vector<std::string> LoggedLines() {
    form->FlushSummaryLog();
    std::string log;
    EXPECT_TRUE(ReadWholeFile(program.path() + "zephlin.log", log));
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2)
      lines.push_back(log.substr(start, end - start));
    if (lines.size() < 5) return {};
    return {lines.begin() + 5, lines.end()};
  }
  void StopAndWait(TSession& session) {
    session.Stop();
    EXPECT_TRUE(ProcessUiEventsUntil([&] { return !session.IsRunning(); }, 10s));
  }

  TProgramDirScope program;
  TOpenRecorder opened;
  SilentListener silent;
  std::unique_ptr<TMainForm> form;
};

}  // namespace

TEST_F(MainFormTest, WindowHasItsCaptionColumnsAndHints) {
  EXPECT_EQ(form->windowTitle(), "Zephlin v2");
  EXPECT_EQ(form->size(), QSize(1240, 381));
  QTreeWidget& list = *form->ListView1;
  ASSERT_EQ(list.columnCount(), 7);
  const char* captions[] = {"Session", "Time", "Connection", "Function", "Status", "Progress", "Last run"};
  for (int column = 0; column < 7; ++column) EXPECT_EQ(list.headerItem()->text(column), captions[column]);
  EXPECT_EQ(list.columnWidth(6), 240);
  EXPECT_EQ(list.header()->sectionResizeMode(4), QHeaderView::Stretch) << "Status takes the rest of the width";
  EXPECT_EQ(list.columnWidth(0), 160);
  EXPECT_EQ(list.columnWidth(1), 50);
  EXPECT_EQ(list.columnWidth(2), 120);
  EXPECT_EQ(list.columnWidth(3), 100);
  EXPECT_EQ(list.selectionMode(), QAbstractItemView::ExtendedSelection);
  EXPECT_EQ(form->StartButton->toolTip(), "Start all selected sessions");
  EXPECT_EQ(form->HideButton->toolTip(), "Minimise to system tray");
  EXPECT_EQ(form->StartButton->size(), QSize(50, 40));
  EXPECT_FALSE(form->StartButton->icon().isNull());
  EXPECT_EQ(form->TrayMenu->defaultAction(), form->Restore1);
  // The buttons' pictures are looked up when first drawn: the same pixels as looked up now.
  const QIcon play =
      QIcon::fromTheme("media-playback-start", QApplication::style()->standardIcon(QStyle::SP_MediaPlay));
  EXPECT_EQ(form->StartButton->icon().pixmap(32, 32).toImage(), play.pixmap(32, 32).toImage());
  const QIcon about =
      QIcon::fromTheme("help-about", QApplication::style()->standardIcon(QStyle::SP_MessageBoxInformation));
  EXPECT_EQ(form->AboutButton->icon().pixmap(32, 32).toImage(), about.pixmap(32, 32).toImage());
  EXPECT_EQ(form->AboutButton->icon().availableSizes(), about.availableSizes());
}

TEST_F(MainFormTest, StatusReportsFillTheRowOfTheirSession) {
  Add("Alpha");
  Add("Beta");
  ASSERT_EQ(form->ListView1->topLevelItemCount(), 2);
  EXPECT_EQ(Cell(1, 0), "Beta");
  EXPECT_EQ(Cell(1, 2), "Offline");

  form->ShowSessionStatus(1, 30, "Offline", "Countdown", "");
  EXPECT_EQ(Cell(1, 1), "30");
  EXPECT_EQ(Cell(1, 3), "Countdown");
  form->Sessions().GetSession(1)->Settings.Name = "Renamed";
  form->ShowSessionStatus(1, 0, "Connected", "Copy local to remote", "Sending a.txt");
  EXPECT_EQ(Cell(1, 0), "Renamed");  // the name is taken anew with every report
  EXPECT_EQ(Cell(1, 1), "");
  EXPECT_EQ(Cell(1, 4), "Sending a.txt");
  form->ShowSessionStatus(-1, 0, "x", "x", "x");
  form->ShowSessionStatus(2, 0, "x", "x", "x");
  EXPECT_EQ(form->ListView1->topLevelItemCount(), 2);
}

TEST_F(MainFormTest, StartButtonStartsEverySelectedRowInListOrderAndTheMenuOnlyTheFirst) {
  TempDir watched;
  for (const char* name : {"S0", "S1", "S2", "S3"}) Add(name, "detect").Settings.LocalPath = watched.path();
  form->EnableSummaryLog(true);
  Select({3, 0, 2});
  form->StartButtonClick();
  const std::vector<std::string> logged = LoggedLines();
  ASSERT_EQ(logged.size(), 3u);
  EXPECT_EQ(logged[0].substr(0, 2), "S0");
  EXPECT_EQ(logged[1].substr(0, 2), "S2");
  EXPECT_EQ(logged[2].substr(0, 2), "S3");
  EXPECT_EQ(Cell(2, 3), "Detect");
  EXPECT_EQ(Cell(1, 3), "");

  form->StopButtonClick();
  EXPECT_EQ(Cell(2, 3), "");
  Select({2, 1});
  form->Start1Click();
  EXPECT_EQ(Cell(1, 3), "Detect");
  EXPECT_EQ(Cell(2, 3), "");
  form->Stop1Click();
  EXPECT_EQ(Cell(1, 3), "");
}

TEST_F(MainFormTest, ForceStartRunsSelectedSessionsWhateverTheirStarter) {
  TSession& countdown = Add("Countdown", "countdown");
  countdown.Settings.Countdown = 100;
  countdown.Settings.Host = "127.0.0.1";
  countdown.Settings.Port = silent.port();
  countdown.Settings.Timeout = 60;
  Select({0});
  form->StartButtonClick();
  EXPECT_EQ(countdown.Remaining, 101);
  EXPECT_FALSE(countdown.IsRunning());
  form->ForceStart1Click();
  EXPECT_TRUE(countdown.IsRunning());
  StopAndWait(countdown);
}

TEST_F(MainFormTest, CommandsAndMenuEntriesNeedASelection) {
  Add("Alpha", "detect").Settings.TestMode = true;
  form->ApplicationIdle();
  form->ListMenuPopup();
  for (QWidget* control :
       std::initializer_list<QWidget*>{form->StartButton, form->StopButton, form->EditButton, form->RemoveButton})
    EXPECT_FALSE(control->isEnabled());
  for (QWidget* control :
       std::initializer_list<QWidget*>{form->AddButton, form->HideButton, form->ReadmeButton, form->AboutButton})
    EXPECT_TRUE(control->isEnabled());
  for (QAction* entry :
       {form->Start1, form->Stop1, form->ForceStart1, form->Clone1, form->SessionMode1->menuAction(), form->Test1})
    EXPECT_FALSE(entry->isEnabled());

  Select({0});
  form->ApplicationIdle();
  form->ListMenuPopup();
  EXPECT_TRUE(form->StartButton->isEnabled() && form->RemoveButton->isEnabled());
  for (QAction* entry :
       {form->Start1, form->Stop1, form->ForceStart1, form->Clone1, form->SessionMode1->menuAction(), form->Test1})
    EXPECT_TRUE(entry->isEnabled());
  EXPECT_FALSE(form->Manual1->isChecked());
  EXPECT_TRUE(form->DetectChange1->isChecked());
  EXPECT_TRUE(form->Test1->isChecked());

  form->Manual1Click();  // in memory only, nothing armed
  form->ListMenuPopup();
  EXPECT_EQ(form->Sessions().GetSession(0)->Settings.SessionStarter, "manual");
  EXPECT_TRUE(form->Manual1->isChecked());
  EXPECT_FALSE(form->DetectChange1->isChecked());
}

TEST_F(MainFormTest, TestEntrySwitchesTestModeAndStartsOnlyWhenTurnedOn) {
  TSession& session = AddRunning("Tested");
  StopAndWait(session);
  Select({0});
  form->Test1Click();
  EXPECT_TRUE(session.Settings.TestMode);
  EXPECT_TRUE(session.IsRunning());
  StopAndWait(session);
  form->Test1Click();
  EXPECT_FALSE(session.Settings.TestMode);
  EXPECT_FALSE(session.IsRunning());
}

TEST_F(MainFormTest, CloneAddsARowWithTheNewNameAndEmptyTexts) {
  Add("Backup").Settings.LocalPath = "/data/";
  Add("Other");
  Select({0});
  form->Clone1Click();
  ASSERT_EQ(form->ListView1->topLevelItemCount(), 3);
  EXPECT_EQ(Cell(2, 0), "Backup_2");
  EXPECT_EQ(Cell(2, 2), "");
  EXPECT_EQ(form->Sessions().GetSession(2)->Settings.LocalPath, "/data/");
}

TEST_F(MainFormTest, RemoveDeletesTheRowButNeverARunningSession) {
  Add("A");
  TSession& running = AddRunning("B");
  Add("C");
  Select({1});
  form->RemoveButtonClick();
  EXPECT_EQ(form->Sessions().Count(), 3);
  EXPECT_EQ(form->ListView1->topLevelItemCount(), 3);
  StopAndWait(running);

  Select({1});
  form->RemoveButtonClick();
  ASSERT_EQ(form->Sessions().Count(), 2);
  ASSERT_EQ(form->ListView1->topLevelItemCount(), 2);
  EXPECT_EQ(Cell(1, 0), "C");

  // A save that fails still takes the row with the session, then shows the error.
  ASSERT_TRUE(DeleteFile(program.path() + "zephlin.ini"));
  ASSERT_TRUE(ForceDirectories(program.path() + "zephlin.ini"));  // cannot be replaced by a file
  Select({0});
  SetNobodyToAnswer(true);
  ::testing::internal::CaptureStderr();
  form->RemoveButton->click();
  const std::string printed = ::testing::internal::GetCapturedStderr();
  SetNobodyToAnswer(false);
  EXPECT_EQ(printed, "zephlin: Unable to write to " + program.path() + "zephlin.ini\n");
  ASSERT_EQ(form->Sessions().Count(), 1);
  ASSERT_EQ(form->ListView1->topLevelItemCount(), 1);
  EXPECT_EQ(Cell(0, 0), "C");
}

TEST_F(MainFormTest, ReadmeAndAboutButtons) {
  form->ReadmeButtonClick();
  EXPECT_EQ(opened.Opened, std::vector<std::string>{program.path() + "readme.txt"});
  EXPECT_EQ(form->ReadmeButton->toolTip().toStdString(),
            "View Read Me file\nSettings, CRC stores and logs: " + program.path());
  std::string aboutTitle;
  TBoxAnswerer answerer(QMessageBox::Ok, [&](QWidget* modal) {
    aboutTitle = modal->windowTitle().toStdString();
    modal->close();
    return true;
  });
  form->AboutButtonClick();
  EXPECT_EQ(aboutTitle, "About");
}

TEST_F(MainFormTest, HideGoesToTheTrayAndRestoreComesBack) {
  form->show();
  form->HideButtonClick();
  ASSERT_NE(form->TrayIcon, nullptr);
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(form->TrayIcon->PopupMenu, form->TrayMenu);
  form->ApplicationActivate();  // active while still hidden: the icon is the only way back
  ASSERT_NE(form->TrayIcon, nullptr);
  form->TrayIcon->HandleIconMessage(TTrayMouseAction::MButtonDblClk);  // any button restores
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(form->isMinimized());
  form->ApplicationActivate();
  EXPECT_EQ(form->TrayIcon, nullptr);
}

TEST_F(MainFormTest, StartHiddenCreatesTheTrayIconWithoutShowingTheWindow) {
  form->StartHidden(true);
  EXPECT_TRUE(form->IsStartedHidden());
  ASSERT_NE(form->TrayIcon, nullptr);
  EXPECT_FALSE(form->isVisible());
  form->Restore1Click();
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(form->IsStartedHidden());
}

TEST_F(MainFormTest, HideWithoutNotificationAreaReportsAndKeepsTheWindow) {
  form->show();
  TTrayIcon::SetNotificationAreaProbe([] { return TNotificationArea::Missing; });
  TBoxAnswerer answerer;
  form->HideButton->click();
  TTrayIcon::SetNotificationAreaProbe({});
  ASSERT_EQ(answerer.Boxes.size(), 1u);
  EXPECT_EQ(answerer.Boxes[0].Text, "Cannot create shell notification icon");
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(form->TrayIcon, nullptr);
}

TEST_F(MainFormTest, WhileHiddenAFailedRunNotifiesOnceAndTheTipNamesTheFailedSessions) {
  for (const char* name : {"Alpha", "Beta", "A rather long session name", "Another long session name"}) Add(name);
  const auto runEnds = [&](int32_t index, const std::string& function, const std::string& status) {
    form->ShowSessionStatus(index, 0, "Disconnected", function, status);
    TRunOutcome outcome;
    if (function == "Error") {
      outcome.Result = TRunResult::Failed;
      outcome.AddError(status);
    }
    form->Sessions().Ledger().Record(*form->Sessions().GetSession(index), outcome);
    form->ShowSessionStatus(index, 0, "Offline", "", "");
    form->ShowSessionStatus(index, 0, "Offline", "", "");  // a second idle report is no second end
  };
  runEnds(0, "Error", "530 Login incorrect.");  // while the window is on the screen
  form->HideButtonClick();
  ASSERT_NE(form->TrayIcon, nullptr);
  const TTrayIcon& icon = *form->TrayIcon;
  EXPECT_EQ(icon.NotificationCount(), 0);
  EXPECT_EQ(icon.TipText(), "Zephlin v2 - failed: Alpha");

  runEnds(1, "Error", "10061 Connection refused.");
  EXPECT_EQ(icon.NotificationCount(), 1);
  EXPECT_EQ(icon.LastNotification().Title, "Zephlin: Beta failed");
  EXPECT_EQ(icon.LastNotification().Text, "10061 Connection refused.");
  EXPECT_EQ(icon.TipText(), "Zephlin v2 - failed: Alpha, Beta");

  runEnds(0, "", "Done");
  EXPECT_EQ(icon.NotificationCount(), 1) << "none for a run that ends with Done";
  EXPECT_EQ(icon.TipText(), "Zephlin v2 - failed: Beta");

  runEnds(2, "Error", "421 Bye.");
  runEnds(3, "Error", "421 Bye.");
  EXPECT_EQ(icon.NotificationCount(), 3);
  EXPECT_EQ(icon.TipText(), "Zephlin v2 - failed: Beta, A rather long session name +1 more");
  for (const int32_t index : {1, 2, 3}) runEnds(index, "", "Done");
  EXPECT_EQ(icon.TipText(), "Zephlin v2");
}

TEST(PadOrCutTest, PadsShortTextsAndCutsLongOnesByCharacters) {
  EXPECT_EQ(TMainForm::PadOrCut("ab", 4), "ab  ");
  EXPECT_EQ(TMainForm::PadOrCut("abcd", 4), "abcd");
  EXPECT_EQ(TMainForm::PadOrCut("abcdef", 4), "abcd");
  EXPECT_EQ(TMainForm::PadOrCut("", 2), "  ");
  EXPECT_EQ(TMainForm::PadOrCut("\xC3\xA9t\xC3\xA9", 4), "\xC3\xA9t\xC3\xA9 ");
  EXPECT_EQ(TMainForm::PadOrCut("\xC3\xA9\xC3\xA9\xC3\xA9", 2), "\xC3\xA9\xC3\xA9");
}

TEST_F(MainFormTest, SummaryLogHasItsHeaderCutsColumnsAndSkipsCountdownSteps) {
  const TDateTime commenced = EncodeDateTime({2026, 12, 6, 16, 0, 0, 0});
  const TDateTime completed = EncodeDateTime({2026, 12, 6, 17, 30, 5, 0});
  SetNowFunction([&] { return commenced; });
  TSession& session = Add("A session name longer than twenty");
  form->EnableSummaryLog(true);
  form->ShowSessionStatus(0, 3, "Offline", "Countdown", "");  // a countdown step: not logged
  form->ShowSessionStatus(0, 0, "Connection state too long", "A function text that is too long",
                          "A status that is never cut at all");
  session.Settings.Name = "Short";
  form->ShowSessionStatus(0, 0, "Offline", "", "");
  SetNowFunction([&] { return completed; });
  form.reset();
  SetNowFunction({});

  std::string log;
  ASSERT_TRUE(ReadWholeFile(program.path() + "zephlin.log", log));
  EXPECT_EQ(log,
            "Zephlin v2 by Zephlin Workshop\r\n"
            "Session Commenced: " +
                FormatShortDateLongTime(commenced) +
                "\r\n"
                "\r\n"
                "SESSION               CONNECTION      FUNCTION               STATUS\r\n"
                "-------               ----------      --------               ------\r\n"
                "A session name longe  Connection stateA function text that isA status that is never cut at all\r\n"
                "Short                 Offline                                \r\n"
                "\r\n"
                "Session Completed: " +
                FormatShortDateLongTime(completed) + "\r\n");
}

TEST_F(MainFormTest, SummaryLogOfAnImmediateCloseReplacesTheOldOne) {
  ASSERT_NO_THROW(WriteFileAtomic(program.path() + "zephlin.log", std::string(5000, 'x')));
  form->EnableSummaryLog(true);
  form.reset();
  std::string log;
  ASSERT_TRUE(ReadWholeFile(program.path() + "zephlin.log", log));
  EXPECT_EQ(log.find('x'), std::string::npos);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 7);
}

// The status texts say nothing of a run's result: the run ledger's outcome does.
TEST_F(MainFormTest, ARunIsJudgedByItsOutcomeNotByItsLastReport) {
  struct TRunEnd {
    const char* Name;
    std::vector<std::vector<std::string>> Reports;  // the worker's: connection, function, status
    std::function<void(TRunOutcome&)> Outcome;      // none: the run never ended
    int32_t Failures;
    const char* LastRun;  // the "Last run" column once the run has ended
  };
  const auto failedWith = [](TRunResult result, int64_t files, std::vector<std::string> errors) {
    return [=](TRunOutcome& outcome) {
      outcome.Result = result;
      outcome.Failed = files;
      for (const std::string& error : errors) outcome.AddError(error);
    };
  };
  const TRunEnd runs[] = {
      {"Done",
       {{"Connected", "Disconnecting", ""}, {"Disconnected", "", "Done"}},
       [](TRunOutcome&) {},
       0,
       "14:05 Done"},
      {"Refused",
       {{"Connecting", "", ""}, {"Disconnected", "Error", "530 Login incorrect."}},
       failedWith(TRunResult::Failed, 0, {"530 Login incorrect."}),
       1,
       "14:05 530 Login incorrect."},
      {"FileFailedRunDone",
       {{"Connected", "Error", "550 Denied."}, {"Disconnected", "", "Done"}},
       failedWith(TRunResult::DoneWithFailures, 1, {"550 Denied."}),
       1,
       "14:05 Failed: 1 file"},
      {"FilesFailed",
       {{"Connected", "Error", "550 Denied."}, {"Connected", "Error", "426 Cut."}, {"Disconnected", "", "Sending x"}},
       failedWith(TRunResult::Failed, 2, {"550 Denied.", "426 Cut."}),
       1,
       "14:05 Failed: 2 files"},
      {"FolderRefusedRunDone",
       {{"Connected", "Change directory", "550 No such directory."}, {"Disconnected", "", "Done"}},
       failedWith(TRunResult::Failed, 0, {"550 No such directory."}),
       1,
       "14:05 550 No such directory."},
      {"Stopped", {{"Disconnected", "", "Done"}}, failedWith(TRunResult::Stopped, 0, {}), 0, "14:05 Stopped"},
      {"NoWorker", {}, {}, 0, ""},
  };
  SetNowFunction([] { return EncodeDateTime({2026, 3, 9, 14, 5, 42, 0}); });
  for (const TRunEnd& run : runs) {
    const int32_t index = form->Sessions().AddSession(run.Name);
    TSession& session = *form->Sessions().GetSession(index);
    const int32_t before = form->FailureCount();
    form->ShowSessionStatus(index, 0, "Offline", "", "Starting");
    for (const std::vector<std::string>& report : run.Reports)
      form->ShowSessionStatus(index, 0, report[0], report[1], report[2]);
    form->ShowSessionStatus(index, 0, "Offline", "", "");
    EXPECT_EQ(form->FailureCount(), before) << run.Name << ": judged by its reports";
    EXPECT_EQ(Cell(index, 6), "") << run.Name << ": shown before the run ended";
    if (run.Outcome) {
      TRunOutcome outcome;
      outcome.End = Now();
      run.Outcome(outcome);
      form->Sessions().Ledger().Record(session, outcome);
    }
    EXPECT_EQ(form->FailureCount() - before, run.Failures) << run.Name;
    form->ShowSessionStatus(index, 0, "Offline", "", "");
    EXPECT_EQ(form->FailureCount() - before, run.Failures) << run.Name << ": one end per run";
    EXPECT_EQ(Cell(index, 6), run.LastRun) << run.Name;
    EXPECT_EQ(Cell(index, 3), "") << run.Name << ": the Status column is left as the report says";
  }
  SetNowFunction({});
}

TEST_F(MainFormTest, LastRunStaysThroughLaterReportsShowsTheDateNextDayAndGoesWithItsSession) {
  TDateTime now = EncodeDateTime({2026, 3, 9, 23, 58, 0, 0});
  SetNowFunction([&] { return now; });
  Add("Kept");
  Add("Other");
  TRunOutcome refused;
  refused.Result = TRunResult::Failed;
  refused.End = now;
  refused.AddError("10061 Connection refused.");
  form->Sessions().Ledger().Record(*form->Sessions().GetSession(0), refused);
  form->ShowSessionStatus(0, 0, "Offline", "", "");
  form->ShowSessionStatus(0, 12, "Offline", "Countdown", "");
  EXPECT_EQ(Cell(0, 6), "23:58 10061 Connection refused.");
  now = EncodeDateTime({2026, 3, 10, 0, 1, 0, 0});
  form->ShowSessionStatus(0, 0, "Offline", "", "Starting");
  EXPECT_EQ(Cell(0, 6), FormatShortDate(EncodeDate(2026, 3, 9)) + " 10061 Connection refused.");
  SetNowFunction({});
  Select({0});
  form->RemoveButtonClick();
  ASSERT_EQ(form->ListView1->topLevelItemCount(), 1);
  EXPECT_EQ(Cell(0, 0), "Other");
  EXPECT_EQ(Cell(0, 6), "");
}

TEST_F(MainFormTest, WithNobodyToAnswerAnErrorGoesToStandardErrorAndTheSummaryLog) {
  form->EnableSummaryLog(true);
  TBoxAnswerer answerer(QMessageBox::Yes);
  AddRunning("Running");
  SetNobodyToAnswer(true);
  ::testing::internal::CaptureStderr();
  form->ReportError("Unable to write to /nowhere/x.crc");
  const bool closed = form->FormCloseQuery();
  const std::string printed = ::testing::internal::GetCapturedStderr();
  SetNobodyToAnswer(false);
  EXPECT_TRUE(answerer.Boxes.empty());
  EXPECT_FALSE(closed) << "the question's default answer keeps the window";
  EXPECT_EQ(printed,
            "zephlin: Unable to write to /nowhere/x.crc\n"
            "zephlin: There are one or more ftp sessions active. Are you sure you want to quit?\n");
  EXPECT_EQ(LoggedLines().back(),
            std::string(22 + 16, ' ') + "Error" + std::string(18, ' ') + "Unable to write to /nowhere/x.crc");
  EXPECT_EQ(form->FailureCount(), 1);
}

TEST_F(MainFormTest, NoSummaryLogUnlessAskedFor) {
  Add("A");
  form.reset();
  EXPECT_FALSE(FileExists(program.path() + "zephlin.log"));
}

TEST_F(MainFormTest, CloseQueryAsksOnlyWhileAWorkerRuns) {
  TSession& countdown = Add("Counting", "countdown");
  countdown.Settings.Countdown = 100;
  countdown.Start(false, false);
  {
    TBoxAnswerer answerer(QMessageBox::Cancel);
    EXPECT_TRUE(form->FormCloseQuery());
    EXPECT_TRUE(answerer.Boxes.empty());
  }
  TSession& running = AddRunning("Running");
  {
    TBoxAnswerer answerer(QMessageBox::Cancel);
    EXPECT_FALSE(form->close());
    ASSERT_EQ(answerer.Boxes.size(), 1u);
    EXPECT_EQ(answerer.Boxes[0].Icon, QMessageBox::Warning);
    EXPECT_EQ(answerer.Boxes[0].Text, "There are one or more ftp sessions active. Are you sure you want to quit?");
    EXPECT_EQ(answerer.Boxes[0].Buttons, QMessageBox::Yes | QMessageBox::Cancel);
  }
  EXPECT_TRUE(running.IsRunning());  // Cancel leaves the worker alone
  bool closed = false;
  QObject::connect(form.get(), &TMainForm::Closed, [&] { closed = true; });
  {
    TBoxAnswerer answerer(QMessageBox::Yes);
    EXPECT_TRUE(form->close());
  }
  EXPECT_TRUE(closed);
  form.reset();  // destroying the window stops the worker and waits for it
}

TEST_F(MainFormTest, FirstIdleMomentStartsTheNamedSessionsAndExitsWhenNothingIsLeft) {
  TSession& countdown = Add("Backup", "countdown");
  countdown.Settings.Countdown = 30;
  TSession& detect = Add("Watch", "detect");
  TempDir watched;
  detect.Settings.LocalPath = watched.path();
  form->QueueCommandSession("BACKUP", false);
  form->QueueCommandSession("nothing by this name", true);
  form->ExitWhenIdle = true;
  form->StartupPending = true;
  bool closed = false;
  QObject::connect(form.get(), &TMainForm::Closed, [&] { closed = true; });

  form->ApplicationIdle();
  EXPECT_FALSE(form->StartupPending);
  EXPECT_EQ(countdown.Remaining, 31);
  EXPECT_TRUE(countdown.RunOnce);
  EXPECT_EQ(detect.Watcher, nullptr);
  EXPECT_FALSE(closed);  // a countdown keeps the program alive

  countdown.Stop();
  form->ApplicationIdle();
  EXPECT_TRUE(closed);
}

TEST_F(MainFormTest, StartOnLaunchArmsEveryAutomaticSession) {
  TSession& manual = Add("Manual", "manual");
  TSession& countdown = Add("Countdown", "countdown");
  countdown.Settings.Countdown = 5;
  TSession& chain = Add("Chain", "chain");
  chain.Settings.ParentSession = "Countdown";
  form->StartOnLaunch = true;
  form->RunDeferredStartup();
  EXPECT_EQ(countdown.Remaining, 6);
  EXPECT_FALSE(countdown.RunOnce);
  EXPECT_FALSE(manual.IsRunning());
  EXPECT_FALSE(chain.IsRunning());
}
