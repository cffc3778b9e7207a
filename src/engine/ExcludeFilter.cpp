#include "engine/ExcludeFilter.h"

#include <algorithm>

#include "engine/TransferPaths.h"
#include "platform/Text.h"
#include "remote/RemoteEntry.h"

namespace {

bool IsDotEntry(const std::string& name) { return name == "." || name == ".."; }

}  // namespace

TExcludeFilter::TExcludeFilter(const std::optional<std::string>& ASetting) : FConfigured(ASetting.has_value()) {
  if (!ASetting) return;
  for (std::string text : SplitPatterns(*ASetting)) {
    const bool directoriesOnly = text.back() == '/';
    if (directoriesOnly) text.pop_back();
    const bool wholePath = text.find('/') != std::string::npos;
    if (!text.empty() && text.front() == '/') text.erase(0, 1);
    if (text.empty()) continue;  // "/" alone names the session's folder itself
    FPatterns.push_back({std::move(text), wholePath, directoriesOnly});
  }
}

std::vector<std::string> TExcludeFilter::SplitPatterns(const std::string& ASetting) {
  std::vector<std::string> patterns;
  size_t start = 0;
  while (start <= ASetting.size()) {
    size_t end = ASetting.find(';', start);
    if (end == std::string::npos) end = ASetting.size();
    const std::string pattern(TrimSpaces(std::string_view(ASetting).substr(start, end - start)));
    if (!pattern.empty()) patterns.push_back(pattern);
    start = end + 1;
  }
  return patterns;
}

std::string TExcludeFilter::JoinPatterns(const std::vector<std::string>& APatterns) {
  std::string joined;
  for (const std::string& pattern : APatterns) {
    const std::string trimmed(TrimSpaces(pattern));
    if (trimmed.empty()) continue;
    joined += (joined.empty() ? "" : ";") + trimmed;
  }
  return joined;
}

bool TExcludeFilter::Excludes(const std::string& ARelativeDir, const std::string& AName, bool AIsDirectory) const {
  if (IsDotEntry(AName)) return false;
  return std::any_of(FPatterns.begin(), FPatterns.end(), [&](const TPattern& pattern) {
    if (pattern.DirectoriesOnly && !AIsDirectory) return false;
    return pattern.WholePath ? MatchesPattern(ARelativeDir + AName, pattern.Text, true)
                             : MatchesPattern(AName, pattern.Text, false);
  });
}

TDirectoryRead TExcludeFilter::Read(const std::string& ADirectory, const std::string& AMask,
                                    const std::string& ARelativeDir) const {
  TDirectoryRead read = ReadDirectory(ADirectory, AMask);
  if (!FConfigured) return read;
  std::erase_if(read.Entries, [&](const TSearchRec& entry) {
    return Excludes(ARelativeDir, entry.Name, (entry.Attr & faDirectory) != 0);
  });
  for (TSearchRec& entry : read.Entries) {
    if (!IsDotEntry(entry.Name)) entry.Attr &= ~faHidden;
  }
  return read;
}

void TExcludeFilter::Filter(TRemoteListing& AItems, const std::string& ARelativeDir) const {
  if (FPatterns.empty()) return;
  AItems.RemoveIf(
      [&](const TRemoteEntry& item) { return Excludes(ARelativeDir, item.Name, item.Kind == TRemoteKind::Directory); });
}

std::string RelativeDirectory(const std::string& ADirectory, const std::string& ARoot) {
  if (!ADirectory.starts_with(ARoot)) return std::string();
  return ADirectory.substr(ARoot.size());
}
