#pragma once
// THistoryWindow: the runs of one session as the run record keeps them (RunHistory.h), newest
// first: start, duration, outcome, files sent, fetched, deleted and failed, bytes, and the
// first error. "Open test log" opens the last test or debug run's log; "Copy" puts the
// selected rows on the clipboard as text, a line per run with its columns between tabs.
// Not modal; main thread only.

#include <QDialog>
#include <string>
#include <vector>

#include "sessions/RunHistory.h"

class QLabel;
class QPushButton;
class QTreeWidget;

class THistoryWindow : public QDialog {
  Q_OBJECT

 public:
  THistoryWindow(std::string session, QWidget* parent = nullptr);

  // Reads the record again.
  void Reload();
  // The selected rows as the clipboard gets them.
  QString SelectedText() const;
  void CopyClick();
  void OpenTestLogClick();

  // The text of a run's cells, left to right.
  static QStringList RowTexts(const TRunRecord& run);

  QLabel* Caption = nullptr;
  QTreeWidget* Runs = nullptr;
  QPushButton* OpenTestLogButton = nullptr;
  QPushButton* CopyButton = nullptr;
  QPushButton* CloseButton = nullptr;

 private:
  void UpdateButtons();

  std::string FSession;
};
