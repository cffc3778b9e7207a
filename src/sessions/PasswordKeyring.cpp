#include "sessions/PasswordKeyring.h"

#include <qt6keychain/keychain.h>

#include <QDeadlineTimer>
#include <QThread>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace {

std::mutex keyringMutex;
std::shared_ptr<TPasswordKeyring> installedKeyring;

QString ServiceName(const TKeyringEntry& entry) {
  return QStringLiteral("zephlin:") + QString::fromStdString(entry.Folder);
}

// One job's answer, shared by the waiting caller and the keyring thread, which may deliver
// it after the caller has stopped waiting.
struct TJobOutcome {
  std::mutex Mutex;
  std::condition_variable Answered;
  bool Finished = false;
  TPasswordKeyring::TResult Result = TPasswordKeyring::TResult::Unavailable;
  std::string Password;
};

// QtKeychain runs its jobs one after the other on the thread that first ran one, through
// that thread's event loop. Here that is a thread of the keyring's own, whose loop runs as
// long as the keyring object lives; callers post a job to it and wait for the answer. A job
// that never ends (a prompt nobody answers) holds the jobs after it: they time out too.
class TDesktopKeyring : public TPasswordKeyring {
 public:
  TDesktopKeyring() {
    FThread->start();
    FContext->moveToThread(FThread);
  }
  ~TDesktopKeyring() override {
    FThread->quit();
    // A thread held in a call that never returns is left to the end of the process rather
    // than holding up the program's exit (destroying a running thread would end it at once).
    if (!FThread->wait(QDeadlineTimer(ShutdownWait.count()))) return;
    delete FContext;  // with the jobs that never finished
    delete FThread;
  }
  TDesktopKeyring(const TDesktopKeyring&) = delete;
  TDesktopKeyring& operator=(const TDesktopKeyring&) = delete;

  TResult Store(const TKeyringEntry& entry, const std::string& password, std::chrono::milliseconds limit) override {
    const auto make = [service = ServiceName(entry), key = QString::fromStdString(entry.Session),
                       text = QString::fromStdString(password)](QObject* parent) -> QKeychain::Job* {
      auto* job = new QKeychain::WritePasswordJob(service, parent);
      job->setKey(key);
      job->setTextData(text);
      return job;
    };
    return Run(make, limit).Result;
  }

  TResult Fetch(const TKeyringEntry& entry, std::string& password, std::chrono::milliseconds limit) override {
    const auto make = [service = ServiceName(entry),
                       key = QString::fromStdString(entry.Session)](QObject* parent) -> QKeychain::Job* {
      auto* job = new QKeychain::ReadPasswordJob(service, parent);
      job->setKey(key);
      return job;
    };
    const TAnswer answer = Run(make, limit);
    if (answer.Result == TResult::Done) password = answer.Password;
    return answer.Result;
  }

 private:
  // The job is made, started and ended on the keyring thread, as a child of FContext from
  // the start: one that never finishes goes with the keyring, and one whose turn never came
  // goes with the thread's queue. The caller waits for the answer at most `limit`.
  struct TAnswer {
    TResult Result = TResult::Unavailable;
    std::string Password;
  };
  using TJobMaker = std::function<QKeychain::Job*(QObject* parent)>;
  TAnswer Run(TJobMaker make, std::chrono::milliseconds limit) {
    auto outcome = std::make_shared<TJobOutcome>();
    QMetaObject::invokeMethod(
        FContext,
        [this, make = std::move(make), outcome] {
          QKeychain::Job* job = make(FContext);
          QObject::connect(job, &QKeychain::Job::finished, job, [outcome](QKeychain::Job* done) {
            std::lock_guard lock(outcome->Mutex);
            if (done->error() == QKeychain::NoError) {
              outcome->Result = TResult::Done;
              if (auto* read = qobject_cast<QKeychain::ReadPasswordJob*>(done))
                outcome->Password = read->textData().toStdString();
            } else if (done->error() == QKeychain::EntryNotFound) {
              outcome->Result = TResult::NotFound;
            }
            outcome->Finished = true;
            outcome->Answered.notify_all();
          });
          job->start();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(outcome->Mutex);
    if (!outcome->Answered.wait_for(lock, limit, [&] { return outcome->Finished; })) return {};
    return {outcome->Result, outcome->Password};
  }

  static constexpr std::chrono::milliseconds ShutdownWait{2000};
  QThread* FThread = new QThread;
  QObject* FContext = new QObject;  // lives on FThread: what posted work runs on
};

}  // namespace

std::shared_ptr<TPasswordKeyring> MakeDesktopKeyring() { return std::make_shared<TDesktopKeyring>(); }

void SetPasswordKeyring(std::shared_ptr<TPasswordKeyring> keyring) {
  std::lock_guard lock(keyringMutex);
  installedKeyring = std::move(keyring);
}

std::shared_ptr<TPasswordKeyring> PasswordKeyring() {
  std::lock_guard lock(keyringMutex);
  return installedKeyring;
}
