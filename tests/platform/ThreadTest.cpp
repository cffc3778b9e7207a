#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

// A thread whose Execute is a lambda; Synchronize is opened up for the tests.
class TLambdaThread : public TThread {
 public:
  using TBody = std::function<void(TLambdaThread&)>;
  explicit TLambdaThread(TBody body, std::atomic<bool>* destroyed = nullptr)
      : body_(std::move(body)), destroyed_(destroyed) {}
  ~TLambdaThread() override {
    WaitFor();  // a subclass ends its run before its own members go
    if (destroyed_) *destroyed_ = true;
  }
  using TThread::Synchronize;

 protected:
  void Execute() override { body_(*this); }

 private:
  TBody body_;
  std::atomic<bool>* destroyed_;
};

// Waits without a dispatcher, for the few tests that run with none installed.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// The test's own thread is the main thread and pumps the queue itself.
class ThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { InstallMainThreadDispatcher(&dispatcher_); }
  void TearDown() override {
    dispatcher_.BeginShutdown();
    EXPECT_TRUE(TThread::WaitForAllThreads(5s));
    InstallMainThreadDispatcher(nullptr);
  }
  bool PumpUntil(const std::function<bool()>& done) { return dispatcher_.RunPendingUntil(done, 5s); }
  TMainThreadDispatcher dispatcher_;
};

TEST_F(ThreadTest, RunsOnlyAfterStartAndOnAnotherThread) {
  std::atomic<bool> ran{false};
  std::thread::id workerId;
  TLambdaThread thread([&](TLambdaThread&) {
    workerId = std::this_thread::get_id();
    ran = true;
  });
  EXPECT_FALSE(thread.Finished());
  thread.WaitFor();  // not started: returns at once
  EXPECT_FALSE(ran);

  thread.Start();
  thread.WaitFor();
  EXPECT_TRUE(ran);
  EXPECT_TRUE(thread.Finished());
  EXPECT_NE(workerId, std::this_thread::get_id());
  EXPECT_THROW(thread.Start(), std::exception);
}

TEST_F(ThreadTest, TerminateEndsALoopAndFiresStopCallbacks) {
  std::atomic<bool> inLoop{false};
  std::atomic<bool> callbackRan{false};
  TLambdaThread thread([&](TLambdaThread& self) {
    std::stop_callback onStop(self.StopToken(), [&] { callbackRan = true; });
    inLoop = true;
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!self.Terminated() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  });
  thread.Start();
  ASSERT_TRUE(PumpUntil([&] { return inLoop.load(); }));
  EXPECT_FALSE(thread.Terminated());
  thread.Terminate();
  EXPECT_TRUE(thread.Terminated());
  ASSERT_TRUE(PumpUntil([&] { return thread.Finished(); }));
  EXPECT_TRUE(callbackRan);
}

TEST_F(ThreadTest, SynchronizeRunsOnTheMainThreadWhileTheWorkerWaits) {
  const auto mainId = std::this_thread::get_id();
  std::thread::id ranOn;
  std::string seenByWorker;
  std::string handedOver;
  TLambdaThread thread([&](TLambdaThread& self) {
    EXPECT_TRUE(self.Synchronize([&] {
      ranOn = std::this_thread::get_id();
      handedOver = "delivered";
    }));
    seenByWorker = handedOver;  // only valid if the worker really waited
  });
  thread.Start();
  ASSERT_TRUE(PumpUntil([&] { return thread.Finished(); }));
  EXPECT_EQ(ranOn, mainId);
  EXPECT_EQ(seenByWorker, "delivered");

  // On the main thread itself the call runs directly, without a pump.
  bool direct = false;
  EXPECT_TRUE(thread.Synchronize([&] { direct = true; }));
  EXPECT_TRUE(direct);
}

TEST_F(ThreadTest, ExceptionsCrossTheHandOverAndNeverLeaveTheWorker) {
  std::string caught;
  TLambdaThread thread([&](TLambdaThread& self) {
    try {
      self.Synchronize([] { throw std::runtime_error("from main"); });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
    throw std::runtime_error("from execute");
  });
  thread.Start();
  thread.WaitFor();
  EXPECT_EQ(caught, "from main");
  ASSERT_TRUE(thread.FatalException());
  EXPECT_THROW(std::rethrow_exception(thread.FatalException()), std::runtime_error);
}

TEST_F(ThreadTest, WaitForOnTheMainThreadServesHandOversAndDeliversTheEnd) {
  const auto mainId = std::this_thread::get_id();
  int delivered = 0;
  std::thread::id endOn;
  bool executeDoneAtEnd = false;
  std::atomic<bool> executeDone{false};
  TLambdaThread thread([&](TLambdaThread& self) {
    for (int i = 0; i < 50; ++i) self.Synchronize([&] { ++delivered; });
    executeDone = true;
  });
  thread.OnTerminate = [&](TThread* sender) {
    EXPECT_EQ(sender, &thread);
    endOn = std::this_thread::get_id();
    executeDoneAtEnd = executeDone;
  };
  thread.Start();
  thread.WaitFor();  // would deadlock if it did not run the 50 hand-overs
  EXPECT_EQ(delivered, 50);
  EXPECT_EQ(endOn, mainId);
  EXPECT_TRUE(executeDoneAtEnd);
}

TEST_F(ThreadTest, FreeOnTerminateDeletesItselfAfterItsEndOnTheMainThread) {
  std::atomic<bool> destroyed{false};
  bool destroyedAtEnd = true;
  auto* thread = new TLambdaThread([](TLambdaThread&) {}, &destroyed);
  thread->FreeOnTerminate = true;
  thread->OnTerminate = [&](TThread*) { destroyedAtEnd = destroyed; };
  thread->Start();
  ASSERT_TRUE(PumpUntil([&] { return destroyed.load(); }));
  EXPECT_FALSE(destroyedAtEnd);  // the handler saw a live object

  // Waiting on a self-freeing thread from the main thread returns once it is gone.
  std::atomic<bool> destroyed2{false};
  auto* waited = new TLambdaThread([](TLambdaThread& self) { self.Synchronize([] {}); }, &destroyed2);
  waited->FreeOnTerminate = true;
  waited->Start();
  waited->WaitFor();
  EXPECT_TRUE(destroyed2);
}

TEST_F(ThreadTest, ShutdownReleasesAWorkerBlockedInSynchronize) {
  std::atomic<bool> waiting{false};
  std::atomic<int> results{-1};
  bool ranAfterShutdown = false;
  TLambdaThread thread([&](TLambdaThread& self) {
    waiting = true;
    results = self.Synchronize([] {}) ? 1 : 0;  // never served: the main thread does not pump
    if (self.Synchronize([&] { ranAfterShutdown = true; })) results = 2;
  });
  thread.Start();
  ASSERT_TRUE(WaitUntil([&] { return waiting.load(); }));
  dispatcher_.BeginShutdown();
  // The main thread waits without serving hand-overs from here on.
  dispatcher_.RunPendingUntil([&] { return thread.Finished(); }, 5s, &dispatcher_);
  ASSERT_TRUE(thread.Finished());
  EXPECT_EQ(results, 0);
  EXPECT_FALSE(ranAfterShutdown);
}

TEST_F(ThreadTest, WaitForAllThreadsFreesDetachedWorkersAtExit) {
  std::atomic<bool> destroyed[3] = {false, false, false};
  for (auto& flag : destroyed) {
    auto* thread = new TLambdaThread(
        [](TLambdaThread& self) {
          while (!self.Terminated()) self.Synchronize([] {});
        },
        &flag);
    thread->FreeOnTerminate = true;
    thread->Start();
    thread->Terminate();
  }
  dispatcher_.BeginShutdown();
  EXPECT_TRUE(TThread::WaitForAllThreads(5s));
  for (auto& flag : destroyed) EXPECT_TRUE(flag);
}

TEST(ThreadWithoutDispatcher, EverythingRunsDirectlyAndTheThreadStillFreesItself) {
  ASSERT_EQ(InstalledMainThreadDispatcher(), nullptr);
  std::atomic<bool> destroyed{false};
  std::thread::id syncOn, workerId, endOn;
  auto* thread = new TLambdaThread(
      [&](TLambdaThread& self) {
        workerId = std::this_thread::get_id();
        self.Synchronize([&] { syncOn = std::this_thread::get_id(); });
      },
      &destroyed);
  thread->FreeOnTerminate = true;
  thread->OnTerminate = [&](TThread*) { endOn = std::this_thread::get_id(); };
  thread->Start();
  ASSERT_TRUE(TThread::WaitForAllThreads(5s));
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(syncOn, workerId);
  EXPECT_EQ(endOn, workerId);
}

TEST(ThreadDispatcherLifetime, AnEndNeverDeliveredStillFreesTheThread) {
  std::atomic<bool> destroyed{false};
  {
    TMainThreadDispatcher dispatcher;
    InstallMainThreadDispatcher(&dispatcher);
    auto* thread = new TLambdaThread([](TLambdaThread&) {}, &destroyed);
    thread->FreeOnTerminate = true;
    thread->OnTerminate = [](TThread*) { ADD_FAILURE() << "delivered after all"; };
    thread->Start();
    ASSERT_TRUE(WaitUntil([&] { return dispatcher.Pending() == 1; }));
  }  // the dispatcher goes away with the end still queued
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(InstalledMainThreadDispatcher(), nullptr);
}

}  // namespace
