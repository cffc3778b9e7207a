#include "engine/RemoteListing.h"

#include <utility>

#include "engine/TransferPaths.h"

bool ListSessionDirectory(TRemoteConnection& ARemote, const TRunSettings& ASettings, const TExcludeFilter& AExclude,
                          const std::string& APath, const std::string& ARelativeDir, TRemoteListing& AListing) {
  TRemoteListing listing = ARemote.List({APath, ASettings.ExactTimes, !AExclude.HidesDotNames()});
  const std::string mask = SplitMaskPath(APath, "/").Mask;
  if (!mask.empty()) {
    listing.RemoveIf([&](const TRemoteEntry& entry) { return !MatchesMask(entry.Name, mask); });
  }
  bool showsDotNames = false;
  for (const TRemoteEntry& entry : listing) showsDotNames |= entry.Name.starts_with('.');
  AExclude.Filter(listing, ARelativeDir);
  AListing = std::move(listing);
  return showsDotNames;
}
