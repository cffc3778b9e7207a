#pragma once
// TThread: a worker thread object on std::jthread, created suspended, with a stop request,
// an end notification delivered on the main thread, free-when-finished, and a synchronous
// hand-over to the main thread.
//
// The main thread is whatever thread runs the installed TMainThreadDispatcher's queue (the Qt
// event loop in the program, the test's own thread in tests). Without an installed
// dispatcher every thread counts as the main thread: Synchronize runs its call directly and
// the end notification is delivered on the worker itself, right after Execute returned.
//
// Which thread may call what is written on each operation below.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

// An auto-reset event on an eventfd: Set signals it (any thread); TryReset tells whether it
// was signalled and resets it. Its descriptor becomes readable while it is signalled, so a
// poll() or an event loop can wait for it.
class TAutoResetEvent {
 public:
  TAutoResetEvent();  // not signalled; throws EZephlin when the system has no event left
  ~TAutoResetEvent();
  TAutoResetEvent(const TAutoResetEvent&) = delete;
  TAutoResetEvent& operator=(const TAutoResetEvent&) = delete;

  void Set();
  bool TryReset();
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// The main thread's side of the hand-over: a queue of calls that the main thread runs.
// This class is complete and is what tests install (the test's thread pumps it with
// RunPending / RunPendingUntil); the program installs a subclass that wakes its event loop
// (sessions/MainThreadDispatcher.h).
//
// Waiting for workers: TThread::WaitFor and TThread::WaitForAllThreads serve the hand-overs
// of the threads they wait for, so a main thread waiting in them never deadlocks with a
// worker in Synchronize. A main thread that waits in any other way first calls BeginShutdown:
// from then on PostAndWait returns false at once without running its call, and calls that
// waited in the queue are released the same way. Post keeps working (end notifications still
// have to be delivered so that threads can free themselves). Shutdown cannot be undone: it
// is for the program's exit, not for tearing down one part.
class TMainThreadDispatcher {
 public:
  // The constructing thread becomes the main thread.
  TMainThreadDispatcher();
  virtual ~TMainThreadDispatcher();
  TMainThreadDispatcher(const TMainThreadDispatcher&) = delete;
  TMainThreadDispatcher& operator=(const TMainThreadDispatcher&) = delete;

  // Any thread.
  bool IsMainThread() const;

  // Any thread. Runs call on the main thread and waits until it has run; on the main thread
  // it runs directly. Returns false, without running it, when shutting down. An exception
  // thrown by the call is rethrown here. origin tags the call so that a main thread waiting
  // for one particular thread can run that thread's calls (see RunPendingUntil).
  bool PostAndWait(std::function<void()> call, const void* origin = nullptr);

  // Any thread. Queues call for the main thread and returns at once.
  void Post(std::function<void()> call, const void* origin = nullptr);

  // Main thread. Runs every queued call (also those queued while running); returns how many.
  int RunPending();

  // Main thread. Runs queued calls (only those of origin, when origin is given) until done()
  // is true or the timeout passed; returns done(). done is checked under the queue's lock
  // and must be cheap; whoever makes it true should call Notify afterwards (otherwise it is
  // seen within 10 ms). milliseconds::max() waits without a limit.
  bool RunPendingUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                       const void* origin = nullptr);

  // Any thread. Runs change (if given) under the queue's lock, then wakes RunPendingUntil to
  // look at its condition again.
  void Notify(const std::function<void()>& change = {});

  // Any thread. The number of queued calls.
  std::size_t Pending() const;

  // Main thread (any thread is safe). See the class comment.
  void BeginShutdown();
  bool ShuttingDown() const;

 protected:
  // Called, on the posting thread, after a call was queued. The Qt dispatcher posts an event
  // that makes its loop call RunPending.
  virtual void WakeMainThread() {}

 private:
  struct TWaiter;
  struct TCall {
    std::function<void()> Run;
    const void* Origin = nullptr;
    std::shared_ptr<TWaiter> Waiter;  // set for PostAndWait
  };

  void Enqueue(TCall call);
  bool TakeCall(const void* origin, TCall& call);
  void RunCall(TCall& call);

  const std::thread::id mainThread_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<TCall> queue_;
  bool shuttingDown_ = false;
};

// Install before any TThread starts; uninstall (nullptr) only after every thread has ended.
// The dispatcher stays owned by the caller.
void InstallMainThreadDispatcher(TMainThreadDispatcher* dispatcher);
TMainThreadDispatcher* InstalledMainThreadDispatcher();

class TThread {
 public:
  using TNotifyEvent = std::function<void(TThread* sender)>;

  // Creator's thread. The thread is created suspended: nothing runs before Start.
  TThread();
  // Main thread (or the thread's own end delivery when FreeOnTerminate). A thread that is
  // still running is asked to stop and waited for, but a subclass must not be destroyed
  // while its Execute runs: end it first (WaitFor), or let it free itself.
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Set before Start (or from Execute). When set, the object deletes itself on the main
  // thread right after OnTerminate was delivered; nobody may touch it after Start except
  // through Terminate, and only while its end has not been delivered (the main thread knows
  // that: it is the one delivering it).
  bool FreeOnTerminate = false;
  // Set before Start; changed only on the main thread. Called on the main thread after
  // Execute returned.
  TNotifyEvent OnTerminate;

  // Creator's thread, once. Throws EZephlin when already started.
  void Start();

  // Any thread. Sets the stop request; Execute reads it through Terminated or StopToken.
  void Terminate();
  bool Terminated() const;
  // A token for std::stop_callback, e.g. to shut a socket down when a stop is requested.
  std::stop_token StopToken() const;

  // Any thread; on the thread itself it returns at once. Returns when Execute has returned. On the main
  // thread it runs this thread's hand-overs while it waits (so a Synchronize cannot
  // deadlock) and delivers the end notification before returning; a FreeOnTerminate thread
  // is then already deleted. For a FreeOnTerminate thread only the main thread may wait.
  void WaitFor();

  // Any thread; returns at once when the thread has not been started.
  bool Finished() const;

  // The exception that escaped Execute, if one did; read after WaitFor.
  std::exception_ptr FatalException() const;

  // Main thread. Waits until every started TThread has returned from Execute and their end
  // notifications were delivered, running every queued hand-over meanwhile (detach the
  // handlers of objects that are going away first). For program exit, after Terminate of each
  // worker: returns false when threads are still running at the timeout.
  static bool WaitForAllThreads(std::chrono::milliseconds timeout);

 protected:
  virtual void Execute() = 0;

  // The worker thread (in Execute). Runs call on the main thread and waits; runs it directly
  // when already there. Returns false when the call was not run because the program is
  // shutting down. An exception thrown by call is rethrown here.
  bool Synchronize(const std::function<void()>& call);

 private:
  struct TShared;

  void ThreadMain();
  void DeliverEnd();
  static void PostEnd(TMainThreadDispatcher& dispatcher, const std::shared_ptr<TShared>& shared);

  std::shared_ptr<TShared> shared_;  // outlives the object while its end is in flight
  std::stop_source stop_;
  std::jthread thread_;
  std::exception_ptr fatal_;
};
