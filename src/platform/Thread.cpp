#include "platform/Thread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <utility>

#include "platform/Errors.h"

// ---------------------------------------------------------------------------------------------
// TAutoResetEvent

TAutoResetEvent::TAutoResetEvent() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (fd_ < 0) throw EZephlin("Cannot create event");
}

TAutoResetEvent::~TAutoResetEvent() { close(fd_); }

void TAutoResetEvent::Set() {
  const uint64_t one = 1;
  // Only fails when the counter is full, which leaves the event signalled anyway.
  [[maybe_unused]] ssize_t written = write(fd_, &one, sizeof one);
}

bool TAutoResetEvent::TryReset() {
  uint64_t count = 0;
  return read(fd_, &count, sizeof count) == static_cast<ssize_t>(sizeof count);
}

// ---------------------------------------------------------------------------------------------
// TMainThreadDispatcher

namespace {
const auto recheckStep = std::chrono::milliseconds(10);
constexpr auto kSpinBeforeSleeping = std::chrono::microseconds(50);
}  // namespace

struct TMainThreadDispatcher::TWaiter {
  enum class TState { Queued, Running, Done, Abandoned };
  TState State = TState::Queued;  // under the dispatcher's lock
  std::exception_ptr Error;
  // Set once State is Done or Abandoned. The poster sleeps on this flag alone, so finishing
  // one hand-over wakes its own thread, not every thread waiting for one (a status report
  // costs one such hand-over, and a run may wait for several per file).
  std::atomic<bool> Finished{false};

  void Finish() {
    Finished.store(true, std::memory_order_release);
    Finished.notify_one();
  }
  // A hand-over usually takes the main thread a few tens of microseconds. The poster yields
  // its processor that long before it sleeps: waking a sleeping thread costs more than that
  // again on a virtual machine, and a run waits for several hand-overs per file.
  void AwaitFinish() {
    const auto spinUntil = std::chrono::steady_clock::now() + kSpinBeforeSleeping;
    while (!Finished.load(std::memory_order_acquire)) {
      if (std::chrono::steady_clock::now() < spinUntil) {
        std::this_thread::yield();
        continue;
      }
      Finished.wait(false, std::memory_order_acquire);
    }
  }
};

TMainThreadDispatcher::TMainThreadDispatcher() : mainThread_(std::this_thread::get_id()) {}

TMainThreadDispatcher::~TMainThreadDispatcher() {
  BeginShutdown();
  if (InstalledMainThreadDispatcher() == this) InstallMainThreadDispatcher(nullptr);
  // Dropping a call may free a thread object (an end that was never delivered); do it
  // outside the lock.
  std::deque<TCall> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.swap(queue_);
  }
}

bool TMainThreadDispatcher::IsMainThread() const { return std::this_thread::get_id() == mainThread_; }

bool TMainThreadDispatcher::PostAndWait(std::function<void()> call, const void* origin) {
  if (IsMainThread()) {
    call();
    return true;
  }
  auto waiter = std::make_shared<TWaiter>();
  {
    std::lock_guard lock(mutex_);
    if (shuttingDown_) return false;
    queue_.push_back(TCall{std::move(call), origin, waiter});
  }
  changed_.notify_all();
  WakeMainThread();

  waiter->AwaitFinish();
  std::lock_guard lock(mutex_);
  if (waiter->State == TWaiter::TState::Abandoned) return false;
  if (waiter->Error) std::rethrow_exception(waiter->Error);
  return true;
}

void TMainThreadDispatcher::Post(std::function<void()> call, const void* origin) {
  Enqueue(TCall{std::move(call), origin, nullptr});
}

void TMainThreadDispatcher::Enqueue(TCall call) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(call));
  }
  changed_.notify_all();
  WakeMainThread();
}

// Takes the first queued call (of origin, when given). The caller holds the lock.
bool TMainThreadDispatcher::TakeCall(const void* origin, TCall& call) {
  for (auto it = queue_.begin(); it != queue_.end(); ++it) {
    if (origin != nullptr && it->Origin != origin) continue;
    call = std::move(*it);
    queue_.erase(it);
    if (call.Waiter) call.Waiter->State = TWaiter::TState::Running;
    return true;
  }
  return false;
}

// Runs a call outside the lock. A waiter gets the call's exception; a posted call's exception
// goes to whoever pumps the queue.
void TMainThreadDispatcher::RunCall(TCall& call) {
  if (!call.Waiter) {
    call.Run();
    return;
  }
  try {
    call.Run();
  } catch (...) {
    call.Waiter->Error = std::current_exception();
  }
  {
    std::lock_guard lock(mutex_);
    call.Waiter->State = TWaiter::TState::Done;
  }
  call.Waiter->Finish();
  changed_.notify_all();
}

int TMainThreadDispatcher::RunPending() {
  int count = 0;
  for (;;) {
    TCall call;
    {
      std::lock_guard lock(mutex_);
      if (!TakeCall(nullptr, call)) return count;
    }
    RunCall(call);
    ++count;
  }
}

bool TMainThreadDispatcher::RunPendingUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                                            const void* origin) {
  // Anything beyond a year means "no time limit" (and keeps the deadline from overflowing).
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (timeout < std::chrono::hours(24 * 365)) deadline = std::chrono::steady_clock::now() + timeout;

  std::unique_lock lock(mutex_);
  for (;;) {
    TCall call;
    if (TakeCall(origin, call)) {
      lock.unlock();
      RunCall(call);
      lock.lock();
      continue;
    }
    // The queue and done() are looked at under one hold of the lock: whoever makes done()
    // true after queueing a call (a thread's end) cannot slip between the two checks.
    if (done()) return true;
    auto now = std::chrono::steady_clock::now();
    if (deadline && now >= *deadline) return false;
    // A short step as well, so a condition that nobody notifies is still seen in time.
    auto wakeAt = now + recheckStep;
    if (deadline && *deadline < wakeAt) wakeAt = *deadline;
    changed_.wait_until(lock, wakeAt);
  }
}

void TMainThreadDispatcher::Notify(const std::function<void()>& change) {
  std::lock_guard lock(mutex_);
  if (change) change();
  // Notified under the lock: once the lock is released the notifier is done with this
  // object, which the main thread may then destroy.
  changed_.notify_all();
}

void TMainThreadDispatcher::BeginShutdown() {
  std::deque<TCall> abandoned;
  {
    std::lock_guard lock(mutex_);
    shuttingDown_ = true;
    for (auto it = queue_.begin(); it != queue_.end();) {
      if (!it->Waiter) {
        ++it;
        continue;
      }
      it->Waiter->State = TWaiter::TState::Abandoned;
      abandoned.push_back(std::move(*it));
      it = queue_.erase(it);
    }
    changed_.notify_all();
  }
  for (TCall& call : abandoned) call.Waiter->Finish();
}

std::size_t TMainThreadDispatcher::Pending() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

bool TMainThreadDispatcher::ShuttingDown() const {
  std::lock_guard lock(mutex_);
  return shuttingDown_;
}

namespace {
std::atomic<TMainThreadDispatcher*> installedDispatcher{nullptr};
}  // namespace

void InstallMainThreadDispatcher(TMainThreadDispatcher* dispatcher) { installedDispatcher.store(dispatcher); }

TMainThreadDispatcher* InstalledMainThreadDispatcher() { return installedDispatcher.load(); }

// ---------------------------------------------------------------------------------------------
// TThread

// The part of a thread that the worker, the main thread's end delivery and WaitFor may still
// need after the object itself was deleted.
struct TThread::TShared {
  std::mutex Mutex;
  std::condition_variable Changed;
  bool Launched = false;              // thread_ is assigned; the worker may begin
  std::atomic<bool> Finished{false};  // Execute returned and the end was handed on
  TThread* Owner = nullptr;           // null once the object is destroyed
};

namespace {

// Started threads that have not yet finished; WaitForAllThreads waits for zero.
std::atomic<int> liveThreads{0};
std::mutex liveMutex;
std::condition_variable liveChanged;

void CountThreadEnded() {
  if (TMainThreadDispatcher* dispatcher = InstalledMainThreadDispatcher()) {
    dispatcher->Notify([] { --liveThreads; });
  } else {
    --liveThreads;
  }
  std::lock_guard lock(liveMutex);
  liveChanged.notify_all();
}

const auto noTimeLimit = std::chrono::milliseconds::max();

}  // namespace

TThread::TThread() : shared_(std::make_shared<TShared>()) { shared_->Owner = this; }

TThread::~TThread() {
  {
    std::lock_guard lock(shared_->Mutex);
    shared_->Owner = nullptr;  // an end still in flight now finds nobody to deliver to
  }
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // freed by its own end delivery, without a dispatcher
    return;
  }
  if (!shared_->Finished) {
    Terminate();
    WaitFor();
  }
  thread_.join();
}

void TThread::Start() {
  if (thread_.joinable() || shared_->Finished) throw EZephlin("Thread already started");
  ++liveThreads;
  try {
    thread_ = std::jthread([this] { ThreadMain(); });
  } catch (...) {
    CountThreadEnded();
    throw;
  }
  // Once the gate opens, a self-freeing thread may be gone at any moment: only the local
  // copy of the shared part is used from here on.
  std::shared_ptr<TShared> shared = shared_;
  {
    std::lock_guard lock(shared->Mutex);
    shared->Launched = true;
  }
  shared->Changed.notify_all();
}

void TThread::Terminate() { stop_.request_stop(); }

bool TThread::Terminated() const { return stop_.stop_requested(); }

std::stop_token TThread::StopToken() const { return stop_.get_token(); }

bool TThread::Finished() const { return shared_->Finished; }

std::exception_ptr TThread::FatalException() const { return fatal_; }

void TThread::ThreadMain() {
  std::shared_ptr<TShared> shared = shared_;
  {
    // A self-freeing thread must not delete itself before Start has stored thread_.
    std::unique_lock lock(shared->Mutex);
    shared->Changed.wait(lock, [&] { return shared->Launched; });
  }
  try {
    Execute();
  } catch (...) {
    fatal_ = std::current_exception();  // no exception leaves a worker thread
  }

  TMainThreadDispatcher* dispatcher = InstalledMainThreadDispatcher();
  if (dispatcher) {
    PostEnd(*dispatcher, shared);
  } else {
    DeliverEnd();
  }
  // From here on the object may be gone: only the shared part is used.
  {
    std::lock_guard lock(shared->Mutex);
    shared->Finished = true;
  }
  shared->Changed.notify_all();
  if (dispatcher) dispatcher->Notify();
  CountThreadEnded();
}

namespace {

// The end notification in the main thread's queue. If the queue is dropped before it runs
// (the dispatcher went away at exit), a self-freeing thread is still freed.
struct TEndCall {
  std::function<void()> Deliver;
  std::function<void()> Drop;
  bool Delivered = false;
  ~TEndCall() {
    if (!Delivered && Drop) Drop();
  }
};

}  // namespace

void TThread::PostEnd(TMainThreadDispatcher& dispatcher, const std::shared_ptr<TShared>& shared) {
  auto ownerOf = [](const std::shared_ptr<TShared>& s) {
    std::lock_guard lock(s->Mutex);
    return s->Owner;
  };
  auto end = std::make_shared<TEndCall>();
  end->Deliver = [shared, ownerOf] {
    if (TThread* thread = ownerOf(shared)) thread->DeliverEnd();
  };
  end->Drop = [shared, ownerOf] {
    TThread* thread = ownerOf(shared);
    if (thread && thread->FreeOnTerminate) delete thread;
  };
  dispatcher.Post(
      [end] {
        end->Delivered = true;
        end->Deliver();
      },
      shared.get());
}

void TThread::DeliverEnd() {
  try {
    if (OnTerminate) OnTerminate(this);
  } catch (...) {
    if (FreeOnTerminate) delete this;
    throw;
  }
  if (FreeOnTerminate) delete this;
}

void TThread::WaitFor() {
  std::shared_ptr<TShared> shared = shared_;  // this may be deleted while we wait
  {
    std::lock_guard lock(shared->Mutex);
    if (!shared->Launched) return;
  }
  if (thread_.get_id() == std::this_thread::get_id()) return;  // it would wait for itself
  TMainThreadDispatcher* dispatcher = InstalledMainThreadDispatcher();
  if (dispatcher && dispatcher->IsMainThread()) {
    // Runs this thread's hand-overs and, at the end, its end notification.
    dispatcher->RunPendingUntil([&] { return shared->Finished.load(); }, noTimeLimit, shared.get());
    return;
  }
  std::unique_lock lock(shared->Mutex);
  shared->Changed.wait(lock, [&] { return shared->Finished.load(); });
}

bool TThread::Synchronize(const std::function<void()>& call) {
  TMainThreadDispatcher* dispatcher = InstalledMainThreadDispatcher();
  if (!dispatcher || dispatcher->IsMainThread()) {
    call();
    return true;
  }
  return dispatcher->PostAndWait(call, shared_.get());
}

bool TThread::WaitForAllThreads(std::chrono::milliseconds timeout) {
  if (TMainThreadDispatcher* dispatcher = InstalledMainThreadDispatcher()) {
    return dispatcher->RunPendingUntil([] { return liveThreads.load() == 0; }, timeout);
  }
  auto allEnded = [] { return liveThreads.load() == 0; };
  std::unique_lock lock(liveMutex);
  if (timeout == noTimeLimit) {
    liveChanged.wait(lock, allEnded);
    return true;
  }
  return liveChanged.wait_for(lock, timeout, allEnded);
}
