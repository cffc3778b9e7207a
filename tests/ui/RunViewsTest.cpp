// What a person sees of runs: the Progress column and the tray tip fed by run events, the
// progress arithmetic at given times, and the history window fed by a run record file.

#include <gtest/gtest.h>

#include <ctime>

#include <QPushButton>
#include <QTreeWidget>
#include <memory>

#include "UiTestApp.h"
#include "platform/FileSystem.h"
#include "sessions/SessionsUnit.h"
#include "ui/HistoryWindow.h"
#include "ui/MainFormUnit.h"
#include "ui/RunProgress.h"
#include "ui/TrayIcon.h"

namespace {

using TKind = TRunEvent::TKind;

TRunEvent Event(TKind kind, int64_t bytes, int64_t total = 0, int64_t files = 0, const char* name = "a.bin",
                TFileAction action = TFileAction::Send) {
  TRunEvent event;
  event.Kind = kind;
  event.Action = action;
  event.Name = name;
  event.Bytes = bytes;
  event.Total = total;
  event.Files = files;
  return event;
}

constexpr int64_t MiB = 1024 * 1024;

TEST(RunProgressTest, ShareRateAndTimeLeftFromEventsAtGivenTimes) {
  struct TStep {
    int64_t Ms;
    TRunEvent Event;
  };
  struct TCase {
    const char* Name;
    std::vector<TStep> Steps;
    int32_t Permille;
    const char* Text;
  };
  const TCase cases[] = {
      {"nothing known", {}, -1, ""},
      {"current file only, no rate within a second",
       {{0, Event(TKind::Progress, 0, 10 * MiB)}, {500, Event(TKind::Progress, 5 * MiB, 10 * MiB)}},
       500,
       "50%"},
      {"current file with rate and time left",
       {{0, Event(TKind::Progress, 0, 10 * MiB)}, {2000, Event(TKind::Progress, 4 * MiB, 10 * MiB)}},
       400,
       "40% \u00b7 2.0 MiB/s \u00b7 0:03 left"},
      {"plan grows, done files and the current one count",
       {{0, Event(TKind::Planned, 4 * MiB, 0, 2)},
        {0, Event(TKind::Planned, 8 * MiB, 0, 4)},
        {1000, Event(TKind::FileDone, 2 * MiB, 0, 0, "a.bin")},
        {2000, Event(TKind::Progress, 2 * MiB, 2 * MiB, 0, "b.bin")},
        {2000, Event(TKind::FileDone, 2 * MiB, 0, 0, "b.bin")},
        {4000, Event(TKind::Progress, 1 * MiB, 2 * MiB, 0, "c.bin")}},
       625,
       "62% \u00b7 2 of 4 files \u00b7 1.0 MiB/s \u00b7 0:03 left"},
      {"a failed file counts as ended, deletions do not count",
       {{0, Event(TKind::Planned, 0, 0, 3)},
        {10, Event(TKind::FileFailed, 0, 0, 0, "a.bin")},
        {20, Event(TKind::FileDone, 0, 0, 0, "old", TFileAction::DeleteRemote)}},
       333,
       "33% \u00b7 1 of 3 files"},
      {"slow transfer in KiB/s, the window forgets older samples",
       {{0, Event(TKind::Progress, 0, MiB)},
        {1000, Event(TKind::Progress, 900 * 1024, MiB)},
        {9000, Event(TKind::Progress, 950 * 1024, MiB)},
        {11000, Event(TKind::Progress, 1000 * 1024, MiB)}},
       976,
       "97% \u00b7 10 KiB/s \u00b7 0:02 left"},
  };
  for (const TCase& test : cases) {
    TRunProgress progress;
    for (const TStep& step : test.Steps) progress.Add(step.Event, step.Ms);
    EXPECT_EQ(progress.Permille(), test.Permille) << test.Name;
    EXPECT_EQ(progress.Text(), test.Text) << test.Name;
  }
  EXPECT_EQ(TRunProgress::DurationText(3723), "1:02:03");
  EXPECT_EQ(TRunProgress::RateText(1023.0 * 1024), "1023 KiB/s");
}

class RunViewsTest : public UiTest {
 protected:
  RunViewsTest() : form(std::make_unique<TMainForm>()) { form->StartupPending = false; }
  ~RunViewsTest() override { form.reset(); }
  std::string Cell(int row, int column) const { return form->ListView1->topLevelItem(row)->text(column).toStdString(); }
  int Share(int row) const { return form->ListView1->topLevelItem(row)->data(5, Qt::UserRole + 1).toInt(); }

  TProgramDirScope program;
  TOpenRecorder opened;
  std::unique_ptr<TMainForm> form;
};

TEST_F(RunViewsTest, ProgressColumnAndTrayTipFollowRunEventsAndClearAtTheEnd) {
  for (const char* name : {"Upload", "Idle"}) form->Sessions().AddSession(name);
  form->ShowSessionStatus(0, 0, "Connected", "Sending ", "big.iso (1024KB / 8192KB)");
  form->ShowRunEvent(0, Event(TKind::Planned, 8 * MiB, 0, 3));
  form->ShowRunEvent(0, Event(TKind::Progress, MiB, 4 * MiB, 0, "big.iso"));
  form->RefreshProgress();
  EXPECT_EQ(Cell(0, 5), "12% \u00b7 0 of 3 files");
  EXPECT_EQ(Share(0), 125);
  EXPECT_EQ(Cell(0, 4), "big.iso (1024KB / 8192KB)") << "the Status column keeps its text";
  EXPECT_EQ(Cell(1, 5), "");
  EXPECT_EQ(Share(1), -1);

  form->HideButtonClick();
  ASSERT_NE(form->TrayIcon, nullptr);
  form->ShowRunEvent(0, Event(TKind::FileDone, 4 * MiB, 0, 0, "big.iso"));
  form->RefreshProgress();
  EXPECT_EQ(form->TrayIcon->TipText(), "Zephlin v2\nUpload: 50% \u00b7 1 of 3 files");

  form->ShowSessionStatus(0, 0, "Disconnected", "", "Done");
  form->ShowSessionStatus(0, 0, "Offline", "", "");
  EXPECT_EQ(Cell(0, 5), "");
  EXPECT_EQ(Share(0), -1);
  EXPECT_EQ(form->TrayIcon->TipText(), "Zephlin v2");
}

// One line per run as the run record writes them, with a damaged line and another session.
const char* const RunRecord =
    R"({"session":"Site","function":"copylocaltoremote","start":"2026-12-08T06:00:00+00:00","end":"2026-12-08T06:00:42+00:00","outcome":"done","sent":3,"fetched":0,"deleted":0,"failed":0,"skipped":0,"bytes_sent":3145728,"bytes_fetched":0,"errors":[],"errors_more":0,"connections":1,"test":false})"
    "\n"
    R"({"session":"Other","function":"syncremotetolocal","start":"2026-12-08T06:10:00+00:00","end":"2026-12-08T06:10:01+00:00","outcome":"done","sent":0,"fetched":1,"deleted":0,"failed":0,"skipped":0,"bytes_sent":0,"bytes_fetched":10,"errors":[],"errors_more":0,"connections":1,"test":false})"
    "\n"
    R"({"session":"site","function":"copylocaltoremote","start":"2026-12-08T07:00:00+00:00","end":"2026-12-08T08:02:03+00:00","outcome":"failed","sent":1,"fetched":0,"deleted":2,"failed":2,"skipped":0,"bytes_sent":512,"bytes_fetched":0,"errors":["550 Denied.","426 Cut."],"errors_more":0,"connections":2,"test":false})"
    "\n"
    R"({"session":"Site","function":"copylocal)"
    "\n"
    R"({"session":"Site","function":"copylocaltoremote","start":"2026-12-08T09:00:00+00:00","end":"2026-12-08T09:00:05+00:00","outcome":"done","sent":1,"fetched":0,"deleted":0,"failed":0,"skipped":0,"bytes_sent":0,"bytes_fetched":0,"errors":[],"errors_more":0,"connections":1,"test":true})"
    "\n";

TEST_F(RunViewsTest, HistoryWindowListsTheSessionsRunsNewestFirstAndCopiesTheSelectedRows) {
  qputenv("TZ", "UTC");  // the record's times are shown in local time
  ::tzset();
  WriteFileAtomic(program.path() + "runs.jsonl", RunRecord);
  form->Sessions().AddSession("SITE");
  form->ListView1->topLevelItem(0)->setSelected(true);
  form->ListMenuPopup();
  ASSERT_TRUE(form->History1->isEnabled());
  form->History1Click();
  THistoryWindow* window = form->ShowHistory(0);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window, form->ShowHistory(0)) << "one window per session";
  const std::vector<std::vector<std::string>> expected = {
      {"2026-12-08 09:00:00", "0:05", "Done (test)", "1", "0", "0", "0", "0 B", ""},
      {"2026-12-08 07:00:00", "1:02:03", "Failed", "1", "0", "2", "2", "512 B", "550 Denied."},
      {"2026-12-08 06:00:00", "0:42", "Done", "3", "0", "0", "0", "3.0 MiB", ""},
  };
  ASSERT_EQ(window->Runs->topLevelItemCount(), 3);
  for (int row = 0; row < 3; ++row)
    for (int column = 0; column < 9; ++column)
      EXPECT_EQ(window->Runs->topLevelItem(row)->text(column).toStdString(), expected[row][column])
          << row << "," << column;

  EXPECT_FALSE(window->CopyButton->isEnabled());
  EXPECT_FALSE(window->OpenTestLogButton->isEnabled()) << "no test log yet";
  window->Runs->topLevelItem(0)->setSelected(true);
  window->Runs->topLevelItem(2)->setSelected(true);
  EXPECT_TRUE(window->CopyButton->isEnabled());
  EXPECT_EQ(window->SelectedText().toStdString(),
            "2026-12-08 09:00:00\t0:05\tDone (test)\t1\t0\t0\t0\t0 B\t\n"
            "2026-12-08 06:00:00\t0:42\tDone\t3\t0\t0\t0\t3.0 MiB\t\n");

  WriteFileAtomic(program.path() + "testlog.txt", "log");
  window->Reload();
  ASSERT_TRUE(window->OpenTestLogButton->isEnabled());
  window->OpenTestLogClick();
  ASSERT_EQ(opened.Opened.size(), 1u);
  EXPECT_EQ(opened.Opened[0], program.path() + "testlog.txt");
}

}  // namespace
