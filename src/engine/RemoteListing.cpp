#include "engine/RemoteListing.h"

#include "engine/TransferPaths.h"
#include "ftp/IdFTP.h"
#include "ftp/IdFTPList.h"

namespace {

// The directory of APath, never its file mask: a server need not expand a pattern (several
// list nothing for one), so the mask is applied here. Some servers split a LIST argument at
// blanks, so a path holding one would list as empty; every caller has entered the
// directory, which a plain LIST then shows.
std::string ListArgument(const std::string& APath) {
  const std::string directory = SplitPathSpec(APath, "/").Directory;
  return directory.find(' ') == std::string::npos ? directory : std::string();
}

// LIST "-a", for the hidden names. A server that reads "-a" as a name lists nothing (not even
// "." and ".."): when a plain LIST then shows entries, that listing counts, and "-a" is not
// sent again on this connection.
void ListWithHiddenNames(TIdFTP& AClient, const std::string& APath) {
  if (AClient.ListAllOptionWorks) {
    AClient.ListDirectory("-a");
    if (AClient.ListingItems().Count() > 0) return;
  }
  AClient.ListDirectory(ListArgument(APath));
  if (AClient.ListingItems().Count() > 0) AClient.ListAllOptionWorks = false;
}

bool OffersMachineListing(TIdFTP& AClient, const TRunSettings& ASettings) {
  if (!ASettings.ExactTimes) return false;
  AClient.RequestFeatures();  // once per connection
  return AClient.HasFeature("MLST");
}

}  // namespace

bool ListSessionDirectory(TIdFTP& AClient, const TRunSettings& ASettings, const TExcludeFilter& AExclude,
                          const std::string& APath, const std::string& ARelativeDir) {
  if (OffersMachineListing(AClient, ASettings)) {
    AClient.MachineListDirectory();
  } else if (!AExclude.HidesDotNames()) {
    ListWithHiddenNames(AClient, APath);
  } else {
    AClient.ListDirectory(ListArgument(APath));
  }
  TIdFTPListItems& items = AClient.ListingItems();
  const std::string mask = SplitPathSpec(APath, "/").FilePart;
  if (!mask.empty()) {
    items.RemoveIf([&](const TIdFTPListItem& item) { return !MatchesMask(item.ItemName, mask); });
  }
  bool showsDotNames = false;
  for (const TIdFTPListItem& item : items) showsDotNames |= item.ItemName.starts_with('.');
  AExclude.Filter(items, ARelativeDir);
  return showsDotNames;
}
