#include "sessions/PasswordKeyring.h"

#include <qt6keychain/keychain.h>

#include <QDeadlineTimer>
#include <QThread>
#include <condition_variable>
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
    auto* job = new QKeychain::WritePasswordJob(ServiceName(entry));
    job->setKey(QString::fromStdString(entry.Session));
    job->setTextData(QString::fromStdString(password));
    return Run(job, limit).Result;
  }

  TResult Fetch(const TKeyringEntry& entry, std::string& password, std::chrono::milliseconds limit) override {
    auto* job = new QKeychain::ReadPasswordJob(ServiceName(entry));
    job->setKey(QString::fromStdString(entry.Session));
    const TAnswer answer = Run(job, limit);
    if (answer.Result == TResult::Done) password = answer.Password;
    return answer.Result;
  }

 private:
  // Takes the job (made on this thread, not started) to the keyring thread, where it deletes
  // itself once finished (or goes with FContext), and waits for its answer at most `limit`.
  struct TAnswer {
    TResult Result = TResult::Unavailable;
    std::string Password;
  };
  TAnswer Run(QKeychain::Job* job, std::chrono::milliseconds limit) {
    auto outcome = std::make_shared<TJobOutcome>();
    job->moveToThread(FThread);
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
    QMetaObject::invokeMethod(
        FContext,
        [this, job] {
          job->setParent(FContext);  // a job that never finishes goes with the keyring
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
