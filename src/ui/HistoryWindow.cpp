#include "ui/HistoryWindow.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "platform/Shell.h"
#include "sessions/RunRecord.h"
#include "ui/UiCommon.h"

namespace {

enum TRunColumn { rcStart, rcDuration, rcOutcome, rcSent, rcFetched, rcDeleted, rcFailed, rcBytes, rcError, rcCount };

QDateTime ParseTime(const std::string& text) { return QDateTime::fromString(ToQ(text), Qt::ISODate); }

QString StartText(const TRunRecord& run) {
  const QDateTime start = ParseTime(run.Start);
  return start.isValid() ? start.toLocalTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) : ToQ(run.Start);
}

QString DurationText(const TRunRecord& run) {
  const QDateTime start = ParseTime(run.Start);
  const QDateTime end = ParseTime(run.End);
  if (!start.isValid() || !end.isValid() || end < start) return {};
  const qint64 seconds = start.secsTo(end);
  return seconds >= 3600 ? QStringLiteral("%1:%2:%3")
                               .arg(seconds / 3600)
                               .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                               .arg(seconds % 60, 2, 10, QLatin1Char('0'))
                         : QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString OutcomeText(const TRunRecord& run) {
  QString outcome = ToQ(run.Outcome);
  if (!outcome.isEmpty()) outcome[0] = outcome[0].toUpper();
  return run.Test ? outcome + QStringLiteral(" (test)") : outcome;
}

QString BytesText(int64_t bytes) {
  const double kib = static_cast<double>(bytes) / 1024.0;
  if (bytes < 1024) return QStringLiteral("%1 B").arg(bytes);
  if (kib < 1024.0) return QStringLiteral("%1 KiB").arg(kib, 0, 'f', 1);
  if (kib < 1024.0 * 1024.0) return QStringLiteral("%1 MiB").arg(kib / 1024.0, 0, 'f', 1);
  return QStringLiteral("%1 GiB").arg(kib / 1024.0 / 1024.0, 0, 'f', 2);
}

}  // namespace

THistoryWindow::THistoryWindow(std::string session, QWidget* parent) : QDialog(parent), FSession(std::move(session)) {
  setWindowTitle(ToQ("History - " + FSession));
  setAttribute(Qt::WA_DeleteOnClose);
  setModal(false);
  resize(960, 360);

  Caption = new QLabel;
  Caption->setTextInteractionFlags(Qt::TextSelectableByMouse);
  Runs = new QTreeWidget;
  Runs->setColumnCount(rcCount);
  Runs->setHeaderLabels({QStringLiteral("Start"), QStringLiteral("Duration"), QStringLiteral("Outcome"),
                         QStringLiteral("Sent"), QStringLiteral("Fetched"), QStringLiteral("Deleted"),
                         QStringLiteral("Failed"), QStringLiteral("Bytes"), QStringLiteral("First error")});
  const int widths[] = {140, 70, 100, 50, 60, 60, 50, 80};
  for (int column = rcStart; column < rcError; ++column) Runs->setColumnWidth(column, widths[column]);
  for (int column = rcSent; column <= rcBytes; ++column)
    Runs->headerItem()->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
  Runs->setRootIsDecorated(false);
  Runs->setUniformRowHeights(true);
  Runs->setAlternatingRowColors(true);
  Runs->setSelectionMode(QAbstractItemView::ExtendedSelection);
  Runs->setSelectionBehavior(QAbstractItemView::SelectRows);
  connect(Runs, &QTreeWidget::itemSelectionChanged, this, &THistoryWindow::UpdateButtons);

  OpenTestLogButton = new QPushButton(QStringLiteral("Open test log"));
  CopyButton = new QPushButton(QStringLiteral("Copy"));
  CloseButton = new QPushButton(QStringLiteral("Close"));
  connect(OpenTestLogButton, &QPushButton::clicked, this, &THistoryWindow::OpenTestLogClick);
  connect(CopyButton, &QPushButton::clicked, this, &THistoryWindow::CopyClick);
  connect(CloseButton, &QPushButton::clicked, this, &QDialog::close);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(OpenTestLogButton);
  buttons->addWidget(CopyButton);
  buttons->addStretch();
  buttons->addWidget(CloseButton);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Caption);
  layout->addWidget(Runs, 1);
  layout->addLayout(buttons);
}

QStringList THistoryWindow::RowTexts(const TRunRecord& run) {
  const auto number = [](int64_t value) { return QString::number(value); };
  return {StartText(run),
          DurationText(run),
          OutcomeText(run),
          number(run.Sent),
          number(run.Fetched),
          number(run.Deleted),
          number(run.Failed),
          BytesText(run.BytesSent + run.BytesFetched),
          run.Errors.empty() ? QString() : ToQ(run.Errors.front())};
}

void THistoryWindow::Reload() {
  const std::string path = RunRecordFileName();
  const std::vector<TRunRecord> runs = ReadRunHistory(path, FSession);
  Runs->clear();
  for (const TRunRecord& run : runs) {
    auto* row = new QTreeWidgetItem(RowTexts(run));
    for (int column = rcSent; column <= rcBytes; ++column)
      row->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
    row->setToolTip(rcError, row->text(rcError));
    Runs->addTopLevelItem(row);
  }
  const QString count = runs.size() == 1 ? QStringLiteral("1 run") : QStringLiteral("%1 runs").arg(runs.size());
  Caption->setText(ToQ(FSession) + QStringLiteral(": ") + count + QStringLiteral(" in ") + ToQ(path));
  UpdateButtons();
}

void THistoryWindow::UpdateButtons() {
  CopyButton->setEnabled(!Runs->selectedItems().isEmpty());
  OpenTestLogButton->setEnabled(FileExists(StateDirectory() + "testlog.txt"));
}

QString THistoryWindow::SelectedText() const {
  QString text;
  for (int index = 0; index < Runs->topLevelItemCount(); ++index) {
    const QTreeWidgetItem* row = Runs->topLevelItem(index);
    if (!row->isSelected()) continue;
    QStringList cells;
    for (int column = 0; column < rcCount; ++column) cells << row->text(column);
    text += cells.join(QLatin1Char('\t')) + QLatin1Char('\n');
  }
  return text;
}

void THistoryWindow::CopyClick() {
  if (QClipboard* clipboard = QGuiApplication::clipboard()) clipboard->setText(SelectedText());
}

void THistoryWindow::OpenTestLogClick() { OpenWithAssociatedProgram(StateDirectory() + "testlog.txt"); }
