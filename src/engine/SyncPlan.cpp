#include "engine/SyncPlan.h"

#include "engine/NameIndex.h"
#include "engine/TransferPaths.h"

namespace {

bool IsDirectory(const TSearchRec& entry) { return (entry.Attr & faDirectory) != 0; }

bool IsHiddenOrDirectory(const TSearchRec& entry) { return (entry.Attr & (faHidden | faDirectory)) != 0; }

// Read-only and hidden local entries are the user's to keep.
bool IsProtected(const TSearchRec& entry) { return (entry.Attr & (faReadOnly | faHidden)) != 0; }

bool IsWritable(const TIdFTPListItem& item) { return item.OwnerRights.find('w') != std::string::npos; }

size_t CountLocalFiles(const std::vector<TSearchRec>& entries) {
  size_t count = 0;
  for (const TSearchRec& entry : entries) count += IsDirectory(entry) ? 0 : 1;
  return count;
}

size_t CountListedFiles(const TIdFTPListItems& listing) {
  size_t count = 0;
  for (const TIdFTPListItem& item : listing) count += item.ItemKind == ikFile ? 1 : 0;
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
const std::string& ListedName(const TIdFTPListItem& item) { return item.ItemName; }

}  // namespace

TSyncUpPlan PlanSyncUp(const std::vector<TSearchRec>& localEntries, const TIdFTPListItems& listing) {
  TSyncUpPlan plan;
  plan.LocalFiles = CountLocalFiles(localEntries);
  plan.RemoteFiles = CountListedFiles(listing);
  plan.ListingUnderstood = listing.AllLinesUnderstood();
  const TNameIndex remoteNames = IndexNames(listing, false, ListedName);
  const TNameIndex localNames = IndexNames(localEntries, false, LocalName);

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
    if (!IsWritable(listing[i]) || localNames.Contains(listing[i].ItemName)) continue;
    plan.Deletions.push_back(static_cast<size_t>(i));
  }
  for (size_t index = 0; index < localEntries.size(); ++index) {
    if (IsEnterableLocalDirectory(localEntries[index])) plan.Subdirectories.push_back(index);
  }
  return plan;
}

TListedSubdirectories ListedSubdirectories(const TIdFTPListItems& listing) {
  TListedSubdirectories directories;
  for (const TIdFTPListItem& item : listing) {
    const std::string& name = item.ItemName;
    if (item.ItemKind != ikDirectory || (!name.empty() && name.back() == '.')) continue;
    (IsUnsafeLocalName(name) ? directories.Unsafe : directories.Enterable).push_back(name);
  }
  return directories;
}

TSyncDownPlan PlanSyncDown(const std::vector<TSearchRec>& localEntries, const TIdFTPListItems& listing) {
  TSyncDownPlan plan;
  plan.LocalFiles = CountLocalFiles(localEntries);
  plan.RemoteFiles = CountListedFiles(listing);
  plan.ListingUnderstood = listing.AllLinesUnderstood();
  const TNameIndex localNames = IndexNames(localEntries, true, LocalName);
  const TNameIndex remoteNames = IndexNames(listing, true, ListedName);

  for (int i = 0; i < listing.Count(); ++i) {
    const TIdFTPListItem& item = listing[i];
    if (item.ItemKind != ikFile) continue;
    const size_t position = static_cast<size_t>(i);
    const std::vector<size_t>& matches = localNames.Positions(LowerAscii(item.ItemName));
    if (matches.empty()) plan.NewFiles.push_back({position, IsUnsafeLocalName(item.ItemName)});
    for (size_t entry : matches) {
      if (!IsProtected(localEntries[entry]) && !IsDirectory(localEntries[entry])) {
        plan.ChangeCandidates.push_back({position, entry});
      }
    }
  }
  if (plan.ListingUnderstood) {
    for (size_t index = 0; index < localEntries.size(); ++index) {
      const TSearchRec& entry = localEntries[index];
      if (IsDirectory(entry) || IsProtected(entry) || remoteNames.Contains(LowerAscii(entry.Name))) continue;
      plan.Deletions.push_back(index);
    }
  }
  plan.Subdirectories = ListedSubdirectories(listing);
  return plan;
}

size_t TSyncDownPlan::RefusedNames() const {
  size_t refused = Subdirectories.Unsafe.size();
  for (const TNewFile& file : NewFiles) refused += file.UnsafeName ? 1 : 0;
  return refused;
}
