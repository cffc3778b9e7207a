#include "sessions/MainThreadDispatcher.h"

#include <QMetaObject>

TQtMainThreadDispatcher::TQtMainThreadDispatcher() : receiver_(std::make_unique<QObject>()) {}

TQtMainThreadDispatcher::~TQtMainThreadDispatcher() {
  BeginShutdown();
  // Deleting the receiver discards the wake-ups still queued for it.
  receiver_.reset();
}

void TQtMainThreadDispatcher::WakeMainThread() {
  QMetaObject::invokeMethod(receiver_.get(), [this] { RunPending(); }, Qt::QueuedConnection);
}

TQtMainThreadDispatcher& InstallQtMainThreadDispatcher() {
  static TQtMainThreadDispatcher dispatcher;
  InstallMainThreadDispatcher(&dispatcher);
  return dispatcher;
}
