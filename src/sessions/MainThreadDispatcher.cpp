#include "sessions/MainThreadDispatcher.h"

#include <chrono>
#include <thread>

namespace {

// A run's next report usually follows its last within microseconds (one step after
// another with no server in between): waiting that long for it here spares the run a wake-up
// of this thread, which costs more than that on a virtual machine.
constexpr auto kLingerForNextCall = std::chrono::microseconds(50);
// The event loop's turn comes at least this often, however busy the runs are.
constexpr auto kLongestLinger = std::chrono::milliseconds(2);

}  // namespace

TQtMainThreadDispatcher::TQtMainThreadDispatcher()
    : wakeNotifier_(std::make_unique<QSocketNotifier>(wake_.Fd(), QSocketNotifier::Read)) {
  QObject::connect(wakeNotifier_.get(), &QSocketNotifier::activated, wakeNotifier_.get(), [this] {
    wake_.TryReset();
    RunPendingWhileBusy();
  });
}

TQtMainThreadDispatcher::~TQtMainThreadDispatcher() {
  BeginShutdown();
  wakeNotifier_.reset();
}

void TQtMainThreadDispatcher::WakeMainThread() { wake_.Set(); }

void TQtMainThreadDispatcher::RunPendingWhileBusy() {
  if (RunPending() == 0) return;
  const auto start = std::chrono::steady_clock::now();
  auto lastCall = start;
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastCall > kLingerForNextCall || now - start > kLongestLinger) return;
    if (RunPending() > 0) {
      lastCall = std::chrono::steady_clock::now();
    } else {
      std::this_thread::yield();
    }
  }
}

TQtMainThreadDispatcher& InstallQtMainThreadDispatcher() {
  static TQtMainThreadDispatcher dispatcher;
  InstallMainThreadDispatcher(&dispatcher);
  return dispatcher;
}
