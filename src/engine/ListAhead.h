#pragma once
// TListAhead: the directories a run's walk enters next, listed ahead on its extra connections
// (TransferPool.h) while the run's own connection works on the level it is in. A walk over
// many small directories otherwise waits for the server once per directory for its listing.
//
// The walk names the directories it will enter (Want) as soon as it knows them, and takes a
// directory's listing when it enters it (Take). A listing made ahead is the connection's raw
// answer to the session's request (RemoteListing.h), which the run filters as it filters its
// own. One that failed, was not begun yet, or was never made is not used: the run lists the
// directory itself, with what that brings (reports, reconnects).
//
// A listing made ahead must still be current when it is used: it is made within the run, for
// a directory below the level that names it (which that level does not change), and used once.
//
// Bounds: at most kPerConnection listings in progress per extra connection, at most kMaxHeld
// listings made and not taken, and no new one while those taken hold kMaxHeldEntries entries.
//
// The run's thread; the listings themselves are made on the connections' threads.

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/ExcludeFilter.h"
#include "engine/RunSettings.h"
#include "engine/TransferPool.h"
#include "remote/RemoteEntry.h"

class TListAhead {
 public:
  TListAhead(const TRunSettings& ASettings, const TExcludeFilter& AExclude);
  ~TListAhead();  // what no connection has begun is dropped
  TListAhead(const TListAhead&) = delete;
  TListAhead& operator=(const TListAhead&) = delete;

  // The directories (absolute, each ending in "/") that the walk enters next, in the order it
  // enters them, and before any it named earlier: the walk goes depth first.
  void Want(TTransferPool& APool, const std::vector<std::string>& ADirectories);
  // The listing of ADirectory made ahead, or nothing; waits for one in progress. What the walk
  // named before ADirectory and did not take, it passed over: that is dropped. APool (when the
  // run still has one) gets the next listings to make.
  std::optional<TRemoteListing> Take(TTransferPool* APool, const std::string& ADirectory);

 private:
  static constexpr size_t kPerConnection = 2;
  static constexpr size_t kMaxHeld = 64;
  static constexpr size_t kMaxHeldEntries = 50000;
  struct TSlot;
  struct TWanted {
    std::string Directory;
    std::shared_ptr<TSlot> Slot;  // none until the listing is handed to a connection
  };
  // Hands the next directories to list to APool, within the bounds.
  void TopUp(TTransferPool& APool);
  TTransferPool::TSideJob ListingJob(const std::shared_ptr<TSlot>& ASlot, const std::string& ADirectory) const;
  void Forget(const std::shared_ptr<TSlot>& ASlot);

  const TRunSettings& FSettings;
  const TExcludeFilter& FExclude;
  std::deque<TWanted> FWanted;  // in the order the walk enters them
  std::unordered_set<std::string> FWantedDirectories;
  std::vector<std::shared_ptr<TSlot>> FMade;  // handed to a connection, not taken yet
};
