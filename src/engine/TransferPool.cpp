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
  while (open) {
    TJob job;
    {
      std::unique_lock lock(FMutex);
      FChanged.wait(lock, [&] { return !FQueue.empty() || FClosing; });
      if (FClosing) break;
      job = std::move(FQueue.front());
      FQueue.pop_front();
      ALane.State = TLaneState::Busy;
    }
    TFinished finished{std::move(job.FollowUp), {job.Directory, nullptr, job.Name}};
    try {
      // A path names the file without a CWD, which would cost a round trip per directory.
      const bool byPath = job.Directory.starts_with('/');
      if (!byPath && ALane.Directory != job.Directory) {
        ALane.Directory.clear();
        ALane.Client->ChangeDirectory(job.Directory);
        ALane.Directory = job.Directory;
      }
      job.Transfer(*ALane.Client, byPath ? WithTrailingSlash(job.Directory) : std::string());
    } catch (...) {
      finished.Failure.Error = std::current_exception();
    }
    open = ALane.Client->Connected();
    Finish(ALane, std::move(finished), open);
  }
  ALane.Client->Disconnect();
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

void TTransferPool::FailStrandedLocked() {
  if (CountLocked({TLaneState::Opening, TLaneState::Idle, TLaneState::Busy}) > 0) return;
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
    const int open = CountLocked({TLaneState::Idle, TLaneState::Busy});
    if (open > 0 && static_cast<int>(FQueue.size()) < open) {
      FQueue.push_back({ARemoteDirectory, std::move(ATransfer), std::move(AFollowUp), std::move(AName)});
      handed = true;
    }
  }
  FChanged.notify_all();
  return handed;
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
}

TTransferPool::TFailure TTransferPool::TakeFailure() {
  if (FFailures.empty()) return {};
  TFailure failure = std::move(FFailures.front());
  FFailures.pop_front();
  return failure;
}

int TTransferPool::Usable() const {
  std::lock_guard lock(FMutex);
  return CountLocked({TLaneState::Opening, TLaneState::Idle, TLaneState::Busy});
}

int TTransferPool::Refused() const {
  std::lock_guard lock(FMutex);
  return FRefused;
}

void TTransferPool::Cut() noexcept {
  for (auto& lane : FLanes) lane->Client->Cut();
}
