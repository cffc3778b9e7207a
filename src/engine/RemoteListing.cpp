#include "engine/RemoteListing.h"

#include "engine/TransferPaths.h"
#include "ftp/IdFTP.h"
#include "ftp/IdFTPList.h"

namespace {

// Some servers split a LIST argument at blanks, so a path holding one would list as empty.
// Every caller has entered the path's directory, where its file mask alone (or nothing)
// lists the same entries; every other path is sent whole, as before.
std::string ListArgument(const std::string& APath) {
  return APath.find(' ') == std::string::npos ? APath : LastPart(APath, "/:");
}

bool OffersMachineListing(TIdFTP& AClient, const TRunSettings& ASettings) {
  if (!ASettings.ExactTimes) return false;
  AClient.RequestFeatures();  // once per connection
  return AClient.HasFeature("MLST");
}

}  // namespace

bool ListSessionDirectory(TIdFTP& AClient, const TRunSettings& ASettings, const TExcludeFilter& AExclude,
                          const std::string& APath, const std::string& ARelativeDir) {
  const bool machine = OffersMachineListing(AClient, ASettings);
  const bool wholeDirectory = machine || !AExclude.HidesDotNames();
  if (machine) {
    AClient.MachineListDirectory();
  } else {
    AClient.ListDirectory(wholeDirectory ? "-a" : ListArgument(APath));
  }
  TIdFTPListItems& items = AClient.ListingItems();
  const std::string mask = SplitPathSpec(APath, "/:").FilePart;
  if (wholeDirectory && !mask.empty()) {
    items.RemoveIf([&](const TIdFTPListItem& item) { return !MatchesMask(item.ItemName, mask); });
  }
  bool showsDotNames = false;
  for (const TIdFTPListItem& item : items) showsDotNames |= item.ItemName.starts_with('.');
  AExclude.Filter(items, ARelativeDir);
  return showsDotNames;
}
