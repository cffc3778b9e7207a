#pragma once
// TPlanExecutor: carries out the phases of a level (PlanItem.h) with the rules every transfer
// function shares: a stop request asked for where the walk over the side would, the deletion
// guard, announcing each step and reporting its failure, the end of a level on a failure when
// the session aborts on one, and waiting for the transfers handed to other connections. The
// steps themselves, with their test-mode gate, reconnecting and counting, are TRunActions'.
// Worker thread.

#include <functional>
#include <optional>
#include <string>

#include "engine/PlanItem.h"
#include "engine/SyncPlan.h"

class TRunContext;
class TRunActions;

class TPlanExecutor {
 public:
  TPlanExecutor(TRunContext& ARun, TRunActions& AActions) : FRun(ARun), FAct(AActions) {}
  // False when the level ends with the phase: a stop request, or a failure the session
  // aborts on (here or on another connection).
  bool Carry(TPlanPhase& APhase);

 private:
  // Whether the phase's deletions are held back, and if so whether the level goes on.
  std::optional<bool> HeldByGuard(const TPlanPhase& APhase);
  // False when a failure of the item ends the level.
  bool Carried(TPlanItem& AItem, const std::string& APhase);
  void Skip(const TPlanItem& AItem);
  void Announce(const TPlanItem& AItem, const std::string& APhase);
  void Perform(TPlanItem& AItem);
  bool Muted(const TPlanItem& AItem) const;
  bool StopAfter(const TPlanPhase& APhase) const;

  TRunContext& FRun;
  TRunActions& FAct;
};

// The sub-directories of a listing as a phase: the unsafe names reported first, then each
// enterable one, unless its local namesake under ALocalDir is a link, entered with AEnter.
// A stop request is asked for between sub-directories. The phase reads ADirectories as it
// goes: they must outlive it.
TPlanPhase ListedSubdirectoryPhase(const TListedSubdirectories& ADirectories, const std::string& ALocalDir,
                                   const std::function<void(const std::string&)>& AEnter);
