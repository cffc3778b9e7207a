#include "sessions/MainThreadDispatcher.h"

TQtMainThreadDispatcher::TQtMainThreadDispatcher()
    : wakeNotifier_(std::make_unique<QSocketNotifier>(wake_.Fd(), QSocketNotifier::Read)) {
  QObject::connect(wakeNotifier_.get(), &QSocketNotifier::activated, wakeNotifier_.get(), [this] {
    wake_.TryReset();
    RunPending();
  });
}

TQtMainThreadDispatcher::~TQtMainThreadDispatcher() {
  BeginShutdown();
  wakeNotifier_.reset();
}

void TQtMainThreadDispatcher::WakeMainThread() { wake_.Set(); }

TQtMainThreadDispatcher& InstallQtMainThreadDispatcher() {
  static TQtMainThreadDispatcher dispatcher;
  InstallMainThreadDispatcher(&dispatcher);
  return dispatcher;
}
