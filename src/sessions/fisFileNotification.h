#pragma once
// TfisFileNotification watches one directory (optionally with its subtree) and raises
// OnDirectoryChanged on the main thread after a change of the selected kinds. A watcher
// thread, TDirThread, waits for the changes; a 10 ms one-shot timer, ChangeTimer, carries them
// to the main thread, so a burst of changes raises one event.
//
// Threads: the main thread (the one running the Qt event loop) creates, starts, stops and
// destroys the component, and gets OnDirectoryChanged. TDirThread only waits, arms
// ChangeTimer (a signal that the main loop picks up), and renews its notification.

#include <QSocketNotifier>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <latch>
#include <memory>
#include <string>

#include "platform/ChangeNotification.h"
#include "platform/Thread.h"

// The kinds of change; each ordinal is the bit it adds to the change filter.
enum TNotifyOption {
  noFilename,
  noDirname,
  noAttributes,
  noSize,
  noLastWrite,
  noLastAccess,
  noCreation,
};

class TNotifyOptions {
 public:
  TNotifyOptions() = default;
  TNotifyOptions(std::initializer_list<TNotifyOption> options);
  bool Contains(TNotifyOption option) const { return (bits_ & Bit(option)) != 0; }
  void Include(TNotifyOption option) { bits_ |= Bit(option); }
  void Exclude(TNotifyOption option) { bits_ &= ~Bit(option); }
  // The change filter: the sum of 1 shifted left by each option's ordinal.
  uint32_t Filter() const { return bits_; }
  bool operator==(const TNotifyOptions&) const = default;

 private:
  static uint32_t Bit(TNotifyOption option) { return 1u << static_cast<unsigned>(option); }
  uint32_t bits_ = 0;
};

// ChangeTimer: a one-shot timer that any thread may arm with Arm; the arming reaches the
// timer's (main) thread through the event loop, and arming an armed timer changes nothing.
class TChangeTimer : public QTimer {
 public:
  TChangeTimer();          // main thread
  void Arm();              // any thread
  void DropPendingArms();  // main thread

 private:
  TAutoResetEvent armed_;
  QSocketNotifier armedNotifier_;
};

// The watcher thread. Its inputs are fixed when it is made; it is started by the component and
// destroyed by it after it ended.
class TDirThread : public TThread {
 public:
  // Main thread.
  TDirThread(std::string directory, bool subtree, uint32_t filter, TChangeTimer* changeTimer);
  // Main thread: stops the thread if it still runs, and waits for it.
  ~TDirThread() override;

  // Set (from the main thread) to make the thread end.
  TStopEvent StopEvent;

  // Main thread, after Start: returns once the thread watches (or found that it cannot), so
  // no change made after it is missed.
  void WaitUntilWatching() { watching_.wait(); }

 protected:
  void Execute() override;

 private:
  const std::string directory_;
  const bool subtree_;
  const uint32_t filter_;
  TChangeTimer* const changeTimer_;
  std::latch watching_{1};
};

class TfisFileNotification {
 public:
  using TNotifyEvent = std::function<void(TfisFileNotification* sender)>;

  // Main thread, for all of these.
  TfisFileNotification();
  ~TfisFileNotification();  // Stop, then the timer goes
  TfisFileNotification(const TfisFileNotification&) = delete;
  TfisFileNotification& operator=(const TfisFileNotification&) = delete;

  TNotifyEvent OnDirectoryChanged;
  bool Subtree = false;
  std::string Directory;
  TNotifyOptions NotificationType{noLastWrite};
  // Changes to the three settings above reach the watcher at its next Start after a Stop.

  bool Started() const { return started_; }
  // Starts watching and returns once the watch is in place; nothing when already started. A
  // directory that cannot be watched gives a started watcher that never raises its event.
  void Start();
  // Ends the watcher thread and waits for it; nothing when not started. A stopped watcher
  // raises no more events, not even for changes it saw before.
  void Stop();

  TChangeTimer& ChangeTimer() { return *changeTimer_; }

 private:
  void ChangeTimerTimer();

  std::unique_ptr<TChangeTimer> changeTimer_;
  std::unique_ptr<TDirThread> thread_;
  bool started_ = false;
};
