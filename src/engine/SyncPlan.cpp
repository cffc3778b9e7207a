#include "engine/SyncPlan.h"

#include "engine/TransferPaths.h"

namespace {

bool IsDirectory(const TSearchRec& entry) { return (entry.Attr & faDirectory) != 0; }

bool IsHiddenOrDirectory(const TSearchRec& entry) { return (entry.Attr & (faHidden | faDirectory)) != 0; }

// Read-only and hidden local entries are the user's to keep.
bool IsProtected(const TSearchRec& entry) { return (entry.Attr & (faReadOnly | faHidden)) != 0; }

// A listing that shows no rights (the MS-DOS layout, MLSD without a "perm" fact) leaves them
// unknown: nothing there speaks against replacing or deleting the entry.
bool IsWritable(const TRemoteEntry& item) { return item.OwnerMayWrite(); }

size_t CountLocalFiles(const std::vector<TSearchRec>& entries) {
  size_t count = 0;
  for (const TSearchRec& entry : entries) count += IsDirectory(entry) ? 0 : 1;
  return count;
}

// Nothing but "." and "..": what an empty directory shows.
template <typename Entries, typename NameOf>
bool HoldsNothing(const Entries& entries, NameOf nameOf) {
  for (const auto& entry : entries) {
    const std::string& name = nameOf(entry);
    if (name != "." && name != "..") return false;
  }
  return true;
}

size_t CountListedFiles(const TRemoteListing& listing) {
  size_t count = 0;
  for (const TRemoteEntry& item : listing) count += item.Kind == TRemoteKind::File ? 1 : 0;
  return count;
}

// Every name at its positions, as given or with A-Z lowered.
template <typename Entries, typename NameOf>
TNameIndex IndexNames(const Entries& entries, bool lowered, NameOf nameOf) {
  TNameIndex index;
  size_t position = 0;
  for (const auto& entry : entries) {
    const std::string& name = nameOf(entry);
    index.Add(lowered ? LowerAscii(name) : name, position++);
  }
  return index;
}

const std::string& LocalName(const TSearchRec& entry) { return entry.Name; }
const std::string& ListedName(const TRemoteEntry& item) { return item.Name; }

const TSearchRec& At(const std::vector<TSearchRec>& entries, size_t position) { return entries[position]; }
const TRemoteEntry& At(const TRemoteListing& listing, size_t position) { return listing[static_cast<int>(position)]; }

// The names of one side of a sync-down level, indexed for the other side to match: a name
// meets its exact namesakes here, or, when there is none, the names here that equal it
// without regard to case and have no exact namesake on the other side themselves.
template <typename Entries, typename NameOf>
class TMatchableNames {
 public:
  TMatchableNames(const Entries& entries, NameOf nameOf)
      : FEntries(entries),
        FNameOf(nameOf),
        FExact(IndexNames(entries, false, nameOf)),
        FCaseless(IndexNames(entries, true, nameOf)) {}

  bool Has(const std::string& name) const { return FExact.Contains(name); }

  // Calls visit(position) for every match of `name`, in ascending order; `otherSide` holds
  // the names of the side `name` comes from. Returns the number of matches.
  template <typename OtherSide, typename Visit>
  size_t ForEachMatch(const std::string& name, const OtherSide& otherSide, Visit visit) const {
    const std::vector<size_t>& exact = FExact.Positions(name);
    for (size_t position : exact) visit(position);
    if (!exact.empty()) return exact.size();
    size_t matches = 0;
    for (size_t position : FCaseless.Positions(LowerAscii(name))) {
      if (otherSide.Has(FNameOf(At(FEntries, position)))) continue;
      visit(position);
      ++matches;
    }
    return matches;
  }

 private:
  const Entries& FEntries;
  NameOf FNameOf;
  TNameIndex FExact;
  TNameIndex FCaseless;
};

}  // namespace

TSyncUpPlan PlanSyncUp(const std::vector<TSearchRec>& localEntries, const TRemoteListing& listing) {
  TSyncUpPlan plan;
  plan.LocalFiles = CountLocalFiles(localEntries);
  plan.RemoteFiles = CountListedFiles(listing);
  plan.ListingUnderstood = listing.AllLinesUnderstood();
  plan.SourceEmpty = HoldsNothing(localEntries, LocalName);
  const TNameIndex remoteNames = IndexNames(listing, false, ListedName);
  plan.LocalNames = IndexNames(localEntries, false, LocalName);
  const TNameIndex& localNames = plan.LocalNames;

  for (size_t index = 0; index < localEntries.size(); ++index) {
    const TSearchRec& entry = localEntries[index];
    if (IsHiddenOrDirectory(entry)) continue;
    const std::vector<size_t>& matches = remoteNames.Positions(entry.Name);
    if (matches.empty()) {
      plan.NewFiles.push_back(index);
    } else if (IsWritable(listing[static_cast<int>(matches.front())])) {
      plan.ChangeCandidates.push_back(index);
    }
  }
  for (int i = 0; i < listing.Count(); ++i) {
    if (!IsWritable(listing[i]) || localNames.Contains(listing[i].Name)) continue;
    plan.Deletions.push_back(static_cast<size_t>(i));
    plan.DeletedFiles += listing[i].Kind == TRemoteKind::File ? 1 : 0;
  }
  for (size_t index = 0; index < localEntries.size(); ++index) {
    if (IsEnterableLocalDirectory(localEntries[index])) plan.Subdirectories.push_back(index);
  }
  return plan;
}

TListedSubdirectories ListedSubdirectories(const TRemoteListing& listing) {
  TListedSubdirectories directories;
  for (const TRemoteEntry& item : listing) {
    const std::string& name = item.Name;
    if (item.Kind != TRemoteKind::Directory || (!name.empty() && name.back() == '.')) continue;
    (IsUnsafeLocalName(name) ? directories.Unsafe : directories.Enterable).push_back(name);
  }
  return directories;
}

TSyncDownPlan PlanSyncDown(const std::vector<TSearchRec>& localEntries, const TRemoteListing& listing) {
  TSyncDownPlan plan;
  plan.LocalFiles = CountLocalFiles(localEntries);
  plan.RemoteFiles = CountListedFiles(listing);
  plan.ListingUnderstood = listing.AllLinesUnderstood();
  plan.SourceEmpty = HoldsNothing(listing, ListedName);
  const TMatchableNames localNames(localEntries, LocalName);
  const TMatchableNames remoteNames(listing, ListedName);

  for (int i = 0; i < listing.Count(); ++i) {
    const TRemoteEntry& item = listing[i];
    if (item.Kind != TRemoteKind::File) continue;
    const size_t position = static_cast<size_t>(i);
    const size_t matches = localNames.ForEachMatch(item.Name, remoteNames, [&](size_t entry) {
      if (!IsProtected(localEntries[entry]) && !IsDirectory(localEntries[entry])) {
        plan.ChangeCandidates.push_back({position, entry});
      }
    });
    if (matches == 0) plan.NewFiles.push_back({position, IsUnsafeLocalName(item.Name)});
  }
  plan.Subdirectories = ListedSubdirectories(listing);
  if (plan.ListingShowsWholeDirectory()) {
    for (size_t index = 0; index < localEntries.size(); ++index) {
      const TSearchRec& entry = localEntries[index];
      if (IsDirectory(entry) || IsProtected(entry)) continue;
      if (remoteNames.ForEachMatch(entry.Name, localNames, [](size_t) {}) == 0) plan.Deletions.push_back(index);
    }
  }
  return plan;
}

size_t TSyncDownPlan::RefusedNames() const {
  size_t refused = Subdirectories.Unsafe.size();
  for (const TNewFile& file : NewFiles) refused += file.UnsafeName ? 1 : 0;
  return refused;
}

bool DeletionGuardTrips(size_t deletedFiles, size_t files, int32_t maxPercent, bool sourceEmpty) {
  if (maxPercent <= 0 || deletedFiles == 0) return false;
  if (sourceEmpty) return true;
  if (files < kGuardedFiles) return false;
  return deletedFiles * 100 > static_cast<size_t>(maxPercent) * files;
}

std::string DeletionGuardText(size_t deletedFiles, size_t files) {
  return "Deletion guard: " + std::to_string(deletedFiles) + " of " + std::to_string(files) +
         " files would be deleted; none deleted";
}
