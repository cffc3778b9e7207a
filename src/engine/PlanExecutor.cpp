#include "engine/PlanExecutor.h"

#include "engine/RunActions.h"
#include "platform/FileSystem.h"

bool TPlanExecutor::Carry(TPlanPhase& APhase) {
  FRun.PlanTransfers(APhase.PlannedFiles, APhase.PlannedBytes);
  if (APhase.Searching) FRun.SendStatus(APhase.Name, "Searching");
  if (APhase.Guard) {
    if (const std::optional<bool> goesOn = HeldByGuard(APhase)) return *goesOn;
  }
  for (size_t index = 0; index < APhase.Count; ++index) {
    TPlanItem item = APhase.MakeItem(index);
    if (item.StopCheck && FRun.Terminated()) return false;
    if (!Carried(item, APhase.Name)) return false;
  }
  if (APhase.AwaitsHanded && !FAct.HandedTransfersEndWell(FRun.Settings.AbortOnFailure)) return false;
  return !StopAfter(APhase);
}

bool TPlanExecutor::StopAfter(const TPlanPhase& APhase) const {
  if (!FRun.Terminated()) return false;  // asked first: the last item is made only when it counts
  std::vector<size_t> lastPosition;
  if (APhase.Count > 0) lastPosition.push_back(APhase.MakeItem(APhase.Count - 1).Position);
  return WalkGoesOnAfterLastStep(lastPosition, APhase.Walked);
}

std::optional<bool> TPlanExecutor::HeldByGuard(const TPlanPhase& APhase) {
  const TDeletionGuard& guard = *APhase.Guard;
  if (!guard.Refusal.empty()) {
    FRun.ReportFailureText(guard.Refusal);
    return true;
  }
  // Test mode still shows what the level would have deleted.
  if (!FAct.DeletionGuardStops(guard.DeletedFiles, guard.Files, guard.SourceEmpty) || FRun.Settings.TestMode)
    return std::nullopt;
  return !(guard.StopCheckedWhenHeld && StopAfter(APhase));
}

bool TPlanExecutor::Carried(TPlanItem& AItem, const std::string& APhase) {
  switch (AItem.Kind) {
    case TPlanKind::Skip: Skip(AItem); return true;
    case TPlanKind::Enter:
      // What the level read may have become a link since: it is not followed.
      if (IsSymbolicLink(AItem.LocalPath)) {
        FAct.ReportSymbolicLink(AItem.LocalPath);
      } else {
        AItem.Enter();
      }
      return true;
    case TPlanKind::Send:
      if (!FAct.IsSendableLocalFile(AItem.LocalPath, *AItem.Local)) return true;
      break;
    default: break;
  }
  if (AItem.Due) {
    if (!AItem.Due(AItem)) return true;
    FRun.PlanTransfers(1, AItem.Size);
  }
  Announce(AItem, APhase);
  // One entry that fails is reported; the level goes on unless the session aborts.
  try {
    Perform(AItem);
  } catch (const std::exception& error) {
    FRun.ReportFailure(error);
    if (FRun.Settings.AbortOnFailure) return false;
  }
  return true;
}

void TPlanExecutor::Skip(const TPlanItem& AItem) {
  switch (AItem.Reason) {
    case TSkipReason::UnsafeName: FAct.ReportUnsafeName(AItem.Name); break;
    case TSkipReason::SymbolicLink: FAct.ReportSymbolicLink(AItem.LocalPath); break;
  }
}

bool TPlanExecutor::Muted(const TPlanItem& AItem) const { return AItem.QuietInTestMode && FRun.Settings.TestMode; }

void TPlanExecutor::Announce(const TPlanItem& AItem, const std::string& APhase) {
  if (Muted(AItem)) return;
  for (const std::string& status : AItem.Statuses) FRun.SendStatus(APhase, status);
}

void TPlanExecutor::Perform(TPlanItem& AItem) {
  const bool transfer = AItem.Kind == TPlanKind::Send || AItem.Kind == TPlanKind::Fetch;
  if (transfer && !Muted(AItem))
    FRun.SetCurrentFile(AItem.Name, AItem.Size < 0 ? FileSizeOf(AItem.LocalPath) : AItem.Size);
  FRun.LogLines(AItem.Log);
  if (AItem.Before) AItem.Before();
  switch (AItem.Kind) {
    case TPlanKind::Send: FAct.SendFile(AItem.LocalPath, AItem.Name, AItem.After); return;
    case TPlanKind::Fetch: FAct.FetchFile(AItem.Name, AItem.LocalPath, AItem.Overwrite, *AItem.Listed); return;
    case TPlanKind::DeleteRemote:
      if (AItem.Listed->Kind == TRemoteKind::File) FAct.DeleteRemoteFile(AItem.Name);
      if (AItem.Listed->Kind == TRemoteKind::Directory) FAct.RemoveRemoteDirectory(AItem.Name);
      break;  // a link or another kind is never followed, never deleted
    case TPlanKind::DeleteLocal: FAct.DeleteLocalFile(AItem.LocalPath); break;
    case TPlanKind::Enter:
    case TPlanKind::Skip: return;
  }
  if (AItem.After) AItem.After();
}

TPlanPhase ListedSubdirectoryPhase(const TListedSubdirectories& ADirectories, const std::string& ALocalDir,
                                   const std::function<void(const std::string&)>& AEnter) {
  TPlanPhase phase;
  phase.Count = ADirectories.Unsafe.size() + ADirectories.Enterable.size();
  phase.MakeItem = [&ADirectories, ALocalDir, AEnter](size_t AIndex) {
    const size_t unsafe = ADirectories.Unsafe.size();
    TPlanItem item;
    if (AIndex < unsafe) {
      item.Name = ADirectories.Unsafe[AIndex];
      item.StopCheck = false;
      return item;
    }
    const std::string& name = ADirectories.Enterable[AIndex - unsafe];
    item.Kind = TPlanKind::Enter;
    item.Name = name;
    item.LocalPath = ALocalDir + name;
    item.StopCheck = AIndex > unsafe;  // not before the first
    item.Enter = [AEnter, name] { AEnter(name); };
    return item;
  };
  return phase;
}
