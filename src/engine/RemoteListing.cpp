#include "engine/RemoteListing.h"

#include <utility>

#include "engine/TransferPaths.h"

TListRequest SessionListRequest(const TRunSettings& ASettings, const TExcludeFilter& AExclude,
                                const std::string& APath) {
  return {APath, ASettings.ExactTimes, !AExclude.HidesDotNames()};
}

bool FilterSessionListing(TRemoteListing AListed, const TExcludeFilter& AExclude, const std::string& APath,
                          const std::string& ARelativeDir, TRemoteListing& AListing) {
  const std::string mask = SplitMaskPath(APath, "/").Mask;
  if (!mask.empty()) {
    AListed.RemoveIf([&](const TRemoteEntry& entry) { return !MatchesMask(entry.Name, mask); });
  }
  bool showsDotNames = false;
  for (const TRemoteEntry& entry : AListed) showsDotNames |= entry.Name.starts_with('.');
  AExclude.Filter(AListed, ARelativeDir);
  AListing = std::move(AListed);
  return showsDotNames;
}

bool ListSessionDirectory(TRemoteConnection& ARemote, const TRunSettings& ASettings, const TExcludeFilter& AExclude,
                          const std::string& APath, const std::string& ARelativeDir, TRemoteListing& AListing) {
  return FilterSessionListing(ARemote.List(SessionListRequest(ASettings, AExclude, APath)), AExclude, APath,
                              ARelativeDir, AListing);
}
