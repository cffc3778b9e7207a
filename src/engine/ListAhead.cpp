#include "engine/ListAhead.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "engine/RemoteListing.h"

// One listing handed to a connection: Waiting until a connection begins it (or the run drops
// it), Listing while it goes, then Listed or Failed.
struct TListAhead::TSlot {
  enum class TState { Waiting, Listing, Listed, Failed, Dropped };

  // The connection's thread: false when the run dropped it first.
  bool Begin() {
    std::lock_guard lock(Mutex);
    if (State != TState::Waiting) return false;
    State = TState::Listing;
    return true;
  }
  void End(std::optional<TRemoteListing> AListing) {
    {
      std::lock_guard lock(Mutex);
      State = AListing ? TState::Listed : TState::Failed;
      if (AListing) Listing = std::move(*AListing);
    }
    Ended.notify_all();
  }
  // The run's thread: a listing not begun is dropped rather than waited for (its connection
  // may still be logging in); one in progress is nearly there.
  std::optional<TRemoteListing> Wait() {
    std::unique_lock lock(Mutex);
    if (State == TState::Waiting) State = TState::Dropped;
    Ended.wait(lock, [&] { return State != TState::Listing; });
    if (State != TState::Listed) return std::nullopt;
    return std::move(Listing);
  }
  void Drop() {
    std::lock_guard lock(Mutex);
    if (State == TState::Waiting) State = TState::Dropped;
  }
  // Whether it is still to come, and the entries it holds once listed.
  std::pair<bool, size_t> Progress() {
    std::lock_guard lock(Mutex);
    return {State == TState::Waiting || State == TState::Listing, static_cast<size_t>(Listing.Count())};
  }

  std::mutex Mutex;
  std::condition_variable Ended;
  TState State = TState::Waiting;
  TRemoteListing Listing;
};

TListAhead::TListAhead(const TRunSettings& ASettings, const TExcludeFilter& AExclude)
    : FSettings(ASettings), FExclude(AExclude) {}

TListAhead::~TListAhead() {
  for (const std::shared_ptr<TSlot>& slot : FMade) slot->Drop();
}

void TListAhead::Want(TTransferPool& APool, const std::vector<std::string>& ADirectories) {
  std::vector<TWanted> wanted;
  for (const std::string& directory : ADirectories) {
    if (FWantedDirectories.insert(directory).second) wanted.push_back({directory, nullptr});
  }
  FWanted.insert(FWanted.begin(), std::make_move_iterator(wanted.begin()), std::make_move_iterator(wanted.end()));
  TopUp(APool);
}

std::optional<TRemoteListing> TListAhead::Take(TTransferPool* APool, const std::string& ADirectory) {
  if (!FWantedDirectories.contains(ADirectory)) return std::nullopt;
  std::shared_ptr<TSlot> slot;
  while (!FWanted.empty()) {
    TWanted wanted = std::move(FWanted.front());
    FWanted.pop_front();
    FWantedDirectories.erase(wanted.Directory);
    Forget(wanted.Slot);
    if (wanted.Directory == ADirectory) {
      slot = std::move(wanted.Slot);
      break;
    }
    if (wanted.Slot) wanted.Slot->Drop();
  }
  // The connections go on with the next ones while this one is waited for.
  if (APool != nullptr) TopUp(*APool);
  return slot ? slot->Wait() : std::nullopt;
}

void TListAhead::TopUp(TTransferPool& APool) {
  size_t inProgress = 0;
  size_t heldEntries = 0;
  for (const std::shared_ptr<TSlot>& slot : FMade) {
    const auto [toCome, entries] = slot->Progress();
    inProgress += toCome ? 1 : 0;
    heldEntries += entries;
  }
  const size_t mostInProgress = kPerConnection * static_cast<size_t>(std::max(APool.Usable(), 0));
  for (TWanted& wanted : FWanted) {
    if (inProgress >= mostInProgress || FMade.size() >= kMaxHeld || heldEntries >= kMaxHeldEntries) return;
    if (wanted.Slot) continue;
    auto slot = std::make_shared<TSlot>();
    if (!APool.HandSideJob(ListingJob(slot, wanted.Directory))) return;
    wanted.Slot = slot;
    FMade.push_back(std::move(slot));
    ++inProgress;
  }
}

TTransferPool::TSideJob TListAhead::ListingJob(const std::shared_ptr<TSlot>& ASlot,
                                               const std::string& ADirectory) const {
  return [slot = ASlot, request = SessionListRequest(FSettings, FExclude, ADirectory)](TRemoteConnection& remote,
                                                                                       std::string& entered) {
    if (!slot->Begin()) return;
    std::optional<TRemoteListing> listing;
    try {
      // A listing is of the directory entered (see TListRequest).
      if (entered != request.Path) {
        entered.clear();
        remote.ChangeDirectory(request.Path);
        entered = request.Path;
      }
      listing = remote.List(request);
    } catch (...) {
      listing.reset();  // not used: the run lists the directory itself, and reports what that brings
    }
    slot->End(std::move(listing));
  };
}

void TListAhead::Forget(const std::shared_ptr<TSlot>& ASlot) {
  if (ASlot) std::erase(FMade, ASlot);
}
