#pragma once
// TExcludeFilter: which entries a session leaves alone, on both sides, in every function. An
// entry it excludes is not sent, fetched, deleted or entered, and not counted by the deletion
// guard: the transfer functions never see it.
//
// A session without the "exclude" setting keeps the rule it always had: a local name that
// begins with "." is hidden (never sent, replaced or deleted) and remote entries are all
// seen. With the setting, even an empty one, its patterns alone decide, and dot names are
// ordinary names. A pattern is matched with fnmatch rules, letter case significant:
// - against the entry's name when it holds no "/" ("*.tmp", ".git/");
// - against the entry's path relative to the session's folder when it does ("/cache/",
//   "img/raw/*.png"); a leading "/" only anchors, and "*" never matches a "/";
// - a trailing "/" makes it match directories only.
// "." and ".." are never excluded.
//
// Pure apart from the directory reads of Read; any thread.

#include <optional>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

class TRemoteListing;

class TExcludeFilter {
 public:
  TExcludeFilter() = default;  // a session without the setting
  explicit TExcludeFilter(const std::optional<std::string>& ASetting);

  // The setting's patterns, in the form the settings file stores them: joined by ";".
  static std::vector<std::string> SplitPatterns(const std::string& ASetting);
  static std::string JoinPatterns(const std::vector<std::string>& APatterns);

  // No setting: local dot names are hidden, remote entries all count.
  bool HidesDotNames() const { return !FConfigured; }

  // ARelativeDir: the entry's directory relative to the session's folder, "" or "img/raw/".
  bool Excludes(const std::string& ARelativeDir, const std::string& AName, bool AIsDirectory) const;

  // The local directory ADirectory, which is ARelativeDir in the session's folder, as
  // ReadDirectory gives it without the entries excluded; with the setting, dot names lose
  // the hidden mark.
  TDirectoryRead Read(const std::string& ADirectory, const std::string& AMask, const std::string& ARelativeDir) const;
  // Removes the excluded entries of a listing of ARelativeDir; a listed name with a path
  // keeps only its last part for the match.
  void Filter(TRemoteListing& AItems, const std::string& ARelativeDir) const;

 private:
  struct TPattern {
    std::string Text;  // without its trailing "/" and leading "/"
    bool WholePath;    // matched against the relative path
    bool DirectoriesOnly;
  };
  std::vector<TPattern> FPatterns;
  bool FConfigured = false;
};

// ADirectory relative to ARoot ("img/raw/" for "/site/img/raw/" in "/site/"); "" when it is
// ARoot or lies elsewhere.
std::string RelativeDirectory(const std::string& ADirectory, const std::string& ARoot);
