#include "engine/TransferPaths.h"

#include <algorithm>
#include <utility>

std::string ToSlashes(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

bool IsAbsoluteLocalPath(const std::string& path) { return !path.empty() && (path[0] == '/' || path[0] == '\\'); }

std::string LastPart(const std::string& name, const char* separators) {
  const size_t cut = name.find_last_of(separators);
  return cut == std::string::npos ? name : name.substr(cut + 1);
}

bool IsUnsafeLocalName(const std::string& name) {
  return name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos;
}

TMaskPath SplitMaskPath(const std::string& path, const char* separators) {
  const size_t cut = path.find_last_of(separators);
  if (cut == std::string::npos) return {std::string(), path};
  return {path.substr(0, cut + 1), path.substr(cut + 1)};
}

TLocalTarget ParseLocalTarget(const std::string& localPath, TLocalPathForm form) {
  static const std::string kEveryFile = "*.*";
  if (form == TLocalPathForm::Directory) return {WithTrailingSlash(ToSlashes(localPath)), kEveryFile};
  TMaskPath split = SplitMaskPath(ToSlashes(localPath), "/");
  if (split.Mask.empty()) split.Mask = kEveryFile;
  return {std::move(split.Directory), std::move(split.Mask)};
}

bool IsEnterableLocalDirectory(const TSearchRec& entry) {
  return (entry.Attr & faDirectory) != 0 && (entry.Attr & faHidden) == 0 && !entry.Name.empty() && entry.Name != "." &&
         entry.Name != ".." && !entry.IsSymLink;
}
