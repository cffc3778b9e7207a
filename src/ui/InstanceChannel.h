#pragma once
// The line between two copies of the program started in the same folder. The first one
// holds the folder's lock and listens; a later start that only wants the window asks it to
// show its own instead. The name it listens under is made from the folder, so copies in
// different folders never meet. Main thread only.

#include <QObject>
#include <memory>
#include <string>

class QLocalServer;

class TInstanceChannel : public QObject {
  Q_OBJECT

 public:
  // What the listening copy answered.
  enum TAnswer {
    NoAnswer,   // nobody listens, or it did not answer in time
    Shown,      // it showed its window
    NoDisplay,  // it runs without a display: there is no window to show
  };

  // Listens for `folder` (the caller holds the folder's lock, so a name left behind by a copy
  // that died is taken over). canShow: whether this copy has a window it can show.
  TInstanceChannel(const std::string& folder, bool canShow, QObject* parent = nullptr);
  ~TInstanceChannel() override;
  bool IsListening() const;

  // Asks the copy listening for `folder` to show its window; waits at most a few seconds.
  static TAnswer AskToShow(const std::string& folder);

 signals:
  void ShowRequested();

 private:
  void Answer();
  std::unique_ptr<QLocalServer> FServer;
  bool FCanShow;
};
