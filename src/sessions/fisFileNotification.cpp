#include "sessions/fisFileNotification.h"

#include <utility>

TNotifyOptions::TNotifyOptions(std::initializer_list<TNotifyOption> options) {
  for (TNotifyOption option : options) Include(option);
}

// ---------------------------------------------------------------------------------------------
// TChangeTimer

// The watcher thread signals an event that the main loop watches; the loop then arms the
// timer unless it is armed already, so every change seen before the timer fires ends in the
// same single event.
TChangeTimer::TChangeTimer() : armedNotifier_(armed_.Fd(), QSocketNotifier::Read) {
  QObject::connect(&armedNotifier_, &QSocketNotifier::activated, this, [this] {
    if (armed_.TryReset() && !isActive()) start();
  });
}

void TChangeTimer::Arm() { armed_.Set(); }

void TChangeTimer::DropPendingArms() { armed_.TryReset(); }

// ---------------------------------------------------------------------------------------------
// TDirThread

TDirThread::TDirThread(std::string directory, bool subtree, uint32_t filter, TChangeTimer* changeTimer)
    : directory_(std::move(directory)), subtree_(subtree), filter_(filter), changeTimer_(changeTimer) {}

TDirThread::~TDirThread() {
  StopEvent.Set();
  WaitFor();
}

void TDirThread::Execute() {
  std::unique_ptr<TChangeNotification> notification;
  try {
    notification = FindFirstChangeNotification(directory_, subtree_, filter_);
  } catch (...) {
    watching_.count_down();
    throw;
  }
  watching_.count_down();
  if (!notification) return;  // cannot be watched: end quietly, no event
  for (;;) {
    if (WaitForChangeOrStop(*notification, StopEvent) == TChangeWait::Stopped) break;
    changeTimer_->Arm();
    if (!FindNextChangeNotification(*notification)) break;
  }
  FindCloseChangeNotification(notification);
}

// ---------------------------------------------------------------------------------------------
// TfisFileNotification

TfisFileNotification::TfisFileNotification() : changeTimer_(std::make_unique<TChangeTimer>()) {
  changeTimer_->setInterval(10);
  changeTimer_->setSingleShot(true);
  QObject::connect(changeTimer_.get(), &QTimer::timeout, changeTimer_.get(), [this] { ChangeTimerTimer(); });
}

TfisFileNotification::~TfisFileNotification() { Stop(); }

void TfisFileNotification::Start() {
  if (started_) return;
  thread_ = std::make_unique<TDirThread>(Directory, Subtree, NotificationType.Filter(), changeTimer_.get());
  thread_->Start();  // made suspended: it waits only once its inputs are in place
  thread_->WaitUntilWatching();
  started_ = true;
}

void TfisFileNotification::Stop() {
  if (!started_) return;
  thread_->StopEvent.Set();
  thread_->WaitFor();
  thread_.reset();
  // Arms the thread queued before it ended, and an armed timer, would raise an event after
  // the stop: drop them.
  changeTimer_->DropPendingArms();
  changeTimer_->stop();
  started_ = false;
}

void TfisFileNotification::ChangeTimerTimer() {
  changeTimer_->stop();
  if (OnDirectoryChanged) OnDirectoryChanged(this);
}
