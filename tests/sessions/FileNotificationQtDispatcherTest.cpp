// The Qt main-thread dispatcher that the watcher's and the workers' threads rely on.
#include "sessions/MainThreadDispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/QtTestApp.h"

using namespace std::chrono_literals;

namespace {

class TLambdaThread : public TThread {
 public:
  explicit TLambdaThread(std::function<void(TLambdaThread&)> body, std::atomic<bool>* destroyed = nullptr)
      : body_(std::move(body)), destroyed_(destroyed) {}
  ~TLambdaThread() override {
    WaitFor();
    if (destroyed_) *destroyed_ = true;
  }
  using TThread::Synchronize;

 protected:
  void Execute() override { body_(*this); }

 private:
  std::function<void(TLambdaThread&)> body_;
  std::atomic<bool>* destroyed_;
};

TEST(QtMainThreadDispatcher, TheEventLoopServesHandOversAndFreesEndedThreads) {
  QtTestApp();
  const auto mainId = std::this_thread::get_id();
  int reports = 0;
  bool endedOnMain = false;
  std::atomic<bool> destroyed{false};
  auto* thread = new TLambdaThread(
      [&](TLambdaThread& self) {
        for (int i = 0; i < 20; ++i) {
          self.Synchronize([&] {
            EXPECT_EQ(std::this_thread::get_id(), mainId);
            ++reports;
          });
        }
      },
      &destroyed);
  thread->FreeOnTerminate = true;
  thread->OnTerminate = [&](TThread*) { endedOnMain = std::this_thread::get_id() == mainId; };
  thread->Start();
  ASSERT_TRUE(ProcessEventsUntil([&] { return destroyed.load(); }, 5s));
  EXPECT_EQ(reports, 20);
  EXPECT_TRUE(endedOnMain);
}

TEST(QtMainThreadDispatcher, ShutdownReleasesWorkersThatTheLoopNoLongerServes) {
  QtTestApp();
  std::atomic<int> served{0}, refused{0};
  {
    TQtMainThreadDispatcher exiting;
    InstallMainThreadDispatcher(&exiting);
    TLambdaThread thread([&](TLambdaThread& self) {
      for (int i = 0; i < 3; ++i) (self.Synchronize([] {}) ? served : refused)++;
    });
    thread.Start();
    exiting.BeginShutdown();  // the loop does not run: only shutdown can release the worker
    ASSERT_TRUE(exiting.RunPendingUntil([&] { return thread.Finished(); }, 5s, &exiting));
    EXPECT_EQ(served + refused, 3);
    EXPECT_EQ(served, 0);
  }
  EXPECT_EQ(InstalledMainThreadDispatcher(), nullptr);
  InstallQtMainThreadDispatcher();
  ProcessEventsFor(20ms);  // wake-ups left for the gone dispatcher are dropped harmlessly
}

}  // namespace
