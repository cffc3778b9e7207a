#include "sessions/MainThreadDispatcher.h"

#include <QCoreApplication>
#include <QEvent>

namespace {

const QEvent::Type wakeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// Lives in the main thread and runs the dispatcher's queue when woken. Waking is a plain
// posted event (not a queued functor), so the hand-over between threads goes through Qt's
// locked event queue alone.
class TWakeReceiver : public QObject {
 public:
  explicit TWakeReceiver(TMainThreadDispatcher& dispatcher) : dispatcher_(dispatcher) {}
  bool event(QEvent* event) override {
    if (event->type() != wakeEvent) return QObject::event(event);
    dispatcher_.RunPending();
    return true;
  }

 private:
  TMainThreadDispatcher& dispatcher_;
};

}  // namespace

TQtMainThreadDispatcher::TQtMainThreadDispatcher()
    : receiver_(std::make_unique<TWakeReceiver>(*this)) {}

TQtMainThreadDispatcher::~TQtMainThreadDispatcher() {
  BeginShutdown();
  // Deleting the receiver discards the wake-ups still queued for it.
  receiver_.reset();
}

void TQtMainThreadDispatcher::WakeMainThread() {
  QCoreApplication::postEvent(receiver_.get(), new QEvent(wakeEvent));
}

TQtMainThreadDispatcher& InstallQtMainThreadDispatcher() {
  static TQtMainThreadDispatcher dispatcher;
  InstallMainThreadDispatcher(&dispatcher);
  return dispatcher;
}
