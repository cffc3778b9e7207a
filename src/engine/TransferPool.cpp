#include "engine/TransferPool.h"

#include <algorithm>
#include <string_view>
#include <thread>
#include <utility>

#include "engine/SessionTools.h"
#include "platform/Errors.h"
#include "platform/Text.h"

namespace {
constexpr int kMaxConnections = 8;

// The ways a server says that it serves no more connections from this client.
bool IsOneConnectionTooMany(const std::exception& AError) {
  const auto* failure = dynamic_cast<const ERemoteError*>(&AError);
  if (failure == nullptr) return false;
  const std::string text = LowerAscii(failure->Text);
  if (failure->Answered)
    return text.starts_with("421") || (text.starts_with("530") && text.find("too many") != std::string::npos);
  // Not answered: a connect the server's address refused.
  return failure->Kind == TRemoteFailure::ConnectionLost && text.find("refused") != std::string::npos;
}
}  // namespace

int TransferConnections(const TRunSettings& ASettings) { return std::clamp(ASettings.Connections, 1, kMaxConnections); }

struct TTransferPool::TJob {
  std::string Directory;
  TTransfer Transfer;
  TFollowUp FollowUp;
  std::string Name;
};

struct TTransferPool::TLane {
  explicit TLane(std::unique_ptr<TRemoteConnection> AClient) : Client(std::move(AClient)) {}
  const std::unique_ptr<TRemoteConnection> Client;
  TLaneState State = TLaneState::Opening;  // guarded by the pool's mutex
  std::string Directory;                   // entered last; the lane's thread only
  std::jthread Thread;
};

TTransferPool::TTransferPool(const TRunSettings& ASettings, int AExtra, bool AOpenNow,
                             const TRemoteConnectionMaker& AMaker)
    : FSettings(ASettings), FOpening(AOpenNow) {
  TRemoteSettings laneSettings = RemoteSettingsOf(ASettings);
  laneSettings.FetchesInARow = true;  // a lane does nothing but transfers
  for (int i = 0; i < AExtra; ++i) FLanes.push_back(std::make_unique<TLane>(AMaker(laneSettings)));
  // Started once every lane exists: no thread sees the vector change.
  for (auto& lane : FLanes) lane->Thread = std::jthread([this, &lane = *lane] { RunLane(lane); });
}

TTransferPool::~TTransferPool() {
  {
    std::lock_guard lock(FMutex);
    FClosing = true;
  }
  FChanged.notify_all();
  Cut();
  for (auto& lane : FLanes) lane->Thread.join();
}

void TTransferPool::RunLane(TLane& ALane) {
  {
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [&] { return FOpening || FClosing; });
    if (FClosing) return;
  }
  if (OpenLane(ALane))
    while (RunNextJob(ALane)) {
    }
  ALane.Client->Disconnect();
}

bool TTransferPool::OpenLane(TLane& ALane) {
  bool open = false;
  bool refused = false;
  try {
    ALane.Client->Connect();
    open = ALane.Client->Connected();
  } catch (const std::exception& error) {
    // Refused (too many connections from this address) or unreachable: the run has fewer.
    refused = IsOneConnectionTooMany(error);
  }
  {
    std::lock_guard lock(FMutex);
    FRefused += refused ? 1 : 0;
    ALane.State = open ? TLaneState::Idle : TLaneState::Gone;
    if (!open) FailStrandedLocked();
  }
  FChanged.notify_all();
  return open;
}

bool TTransferPool::RunNextJob(TLane& ALane) {
  TJob job;
  TSideJob sideJob;
  {
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [&] { return !FQueue.empty() || !FSideJobs.empty() || FClosing; });
    if (FClosing) return false;
    if (!FQueue.empty()) {
      job = std::move(FQueue.front());
      FQueue.pop_front();
      ALane.State = TLaneState::Busy;
    } else {
      sideJob = std::move(FSideJobs.front());
      FSideJobs.pop_front();
      ALane.State = TLaneState::Aside;
    }
  }
  if (sideJob)
    RunSideJob(ALane, sideJob);
  else
    RunTransfer(ALane, std::move(job));
  return ALane.Client->Connected();
}

void TTransferPool::RunTransfer(TLane& ALane, TJob AJob) {
  TFinished finished{std::move(AJob.FollowUp), {AJob.Directory, nullptr, AJob.Name}};
  try {
    // A path names the file without a CWD, which would cost a round trip per directory.
    const bool byPath = AJob.Directory.starts_with('/');
    if (!byPath && ALane.Directory != AJob.Directory) {
      ALane.Directory.clear();
      ALane.Client->ChangeDirectory(AJob.Directory);
      ALane.Directory = AJob.Directory;
    }
    AJob.Transfer(*ALane.Client, byPath ? WithTrailingSlash(AJob.Directory) : std::string());
  } catch (...) {
    finished.Failure.Error = std::current_exception();
  }
  Finish(ALane, std::move(finished), ALane.Client->Connected());
}

void TTransferPool::RunSideJob(TLane& ALane, const TSideJob& AJob) {
  try {
    AJob(*ALane.Client, ALane.Directory);
  } catch (...) {
    ALane.Directory.clear();  // a side job's failure is its own; where it left the connection is not known
  }
  const bool connected = ALane.Client->Connected();
  {
    std::lock_guard lock(FMutex);
    ALane.State = connected ? TLaneState::Idle : TLaneState::Gone;
    if (!connected) FailStrandedLocked();
  }
  FChanged.notify_all();
}

void TTransferPool::Finish(TLane& ALane, TFinished AFinished, bool AConnected) {
  {
    std::lock_guard lock(FMutex);
    FFinished.push_back(std::move(AFinished));
    ALane.State = AConnected ? TLaneState::Idle : TLaneState::Gone;
    if (!AConnected) FailStrandedLocked();
  }
  FChanged.notify_all();
}

int TTransferPool::CountLocked(std::initializer_list<TLaneState> AStates) const {
  return static_cast<int>(std::count_if(FLanes.begin(), FLanes.end(), [&](const auto& lane) {
    return std::find(AStates.begin(), AStates.end(), lane->State) != AStates.end();
  }));
}

int TTransferPool::LiveLocked() const {
  return CountLocked({TLaneState::Opening, TLaneState::Idle, TLaneState::Busy, TLaneState::Aside});
}

void TTransferPool::FailStrandedLocked() {
  if (LiveLocked() > 0) return;
  FSideJobs.clear();
  // The last connection is gone with transfers still waiting: they fail as it did.
  for (TJob& job : FQueue)
    FFinished.push_back(
        {nullptr, {job.Directory, std::make_exception_ptr(EZephlin("Connection closed: " + job.Directory)), job.Name}});
  FQueue.clear();
}

bool TTransferPool::Hand(const std::string& ARemoteDirectory, TTransfer ATransfer, TFollowUp AFollowUp,
                         std::string AName) {
  bool handed = false;
  {
    std::lock_guard lock(FMutex);
    FOpening = true;  // from the first file on; a run that sends nothing opens nothing
    // At most one transfer waits for each open connection: the next file is ready when one
    // ends, also while the run's own connection is busy with a file of its own.
    const int open = CountLocked({TLaneState::Idle, TLaneState::Busy, TLaneState::Aside});
    if (open > 0 && static_cast<int>(FQueue.size()) < open) {
      FQueue.push_back({ARemoteDirectory, std::move(ATransfer), std::move(AFollowUp), std::move(AName)});
      handed = true;
    }
  }
  FChanged.notify_all();
  return handed;
}

bool TTransferPool::HandSideJob(TSideJob AJob) {
  {
    std::lock_guard lock(FMutex);
    if (LiveLocked() == 0) return false;
    FOpening = true;
    FSideJobs.push_back(std::move(AJob));
  }
  FChanged.notify_all();
  return true;
}

void TTransferPool::Collect() {
  std::deque<TFinished> finished;
  {
    std::lock_guard lock(FMutex);
    finished.swap(FFinished);
  }
  for (TFinished& done : finished) {
    if (done.Failure)
      FFailures.push_back(std::move(done.Failure));
    else if (done.FollowUp)
      done.FollowUp();
  }
}

void TTransferPool::Drain() {
  for (;;) {
    Collect();
    std::unique_lock lock(FMutex);
    const auto going = [&] { return !FQueue.empty() || CountLocked({TLaneState::Busy}) > 0; };
    if (!going() && FFinished.empty()) return;
    FChanged.wait(lock, [&] { return !FFinished.empty() || !going(); });
  }
}

void TTransferPool::DropWaiting() {
  std::lock_guard lock(FMutex);
  FQueue.clear();
  FSideJobs.clear();
}

TTransferPool::TFailure TTransferPool::TakeFailure() {
  if (FFailures.empty()) return {};
  TFailure failure = std::move(FFailures.front());
  FFailures.pop_front();
  return failure;
}

int TTransferPool::Usable() const {
  std::lock_guard lock(FMutex);
  return LiveLocked();
}

int TTransferPool::Refused() const {
  std::lock_guard lock(FMutex);
  return FRefused;
}

void TTransferPool::Cut() noexcept {
  for (auto& lane : FLanes) lane->Client->Cut();
}
