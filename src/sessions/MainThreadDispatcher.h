#pragma once
// The program's main-thread hand-over: worker threads queue their calls in the dispatcher
// and the Qt event loop of the main thread runs them.
//
// Calls are queued in the dispatcher, and the loop is woken through an event descriptor
// that it watches. The worker that waits for its call waits on the dispatcher, not inside Qt,
// so that BeginShutdown can release it (a blocking queued connection could not be released
// while the main thread waits for that worker at exit). Only the descriptor and the
// dispatcher's own lock pass between the threads, no object made by one and used by the
// other through Qt's queue.

#include <QSocketNotifier>
#include <memory>

#include "platform/Thread.h"

class TQtMainThreadDispatcher : public TMainThreadDispatcher {
 public:
  // Main thread, after the QCoreApplication exists.
  TQtMainThreadDispatcher();
  // Main thread. Releases waiting workers (BeginShutdown), uninstalls itself and drops the
  // calls not yet run.
  ~TQtMainThreadDispatcher() override;

 protected:
  void WakeMainThread() override;

 private:
  TAutoResetEvent wake_;
  std::unique_ptr<QSocketNotifier> wakeNotifier_;  // in the main thread's loop
};

// Main thread: creates the dispatcher once and installs it for TThread. Used by the program
// at start-up and by the tests of the layers above the engine.
TQtMainThreadDispatcher& InstallQtMainThreadDispatcher();
