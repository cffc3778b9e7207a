#include "platform/ProgramDir.h"

#include <unistd.h>

#include <climits>
#include <mutex>

#include "platform/FileSystem.h"
#include "platform/Text.h"

namespace {
std::mutex overrideMutex;
std::string directoryOverride;
}  // namespace

std::string ExecutableName() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<size_t>(n));
}

std::string ProgramDirectory() {
  {
    std::lock_guard lock(overrideMutex);
    if (!directoryOverride.empty()) return directoryOverride;
  }
  return ExtractFilePath(ExecutableName());
}

void SetProgramDirectory(const std::string& directory) {
  std::lock_guard lock(overrideMutex);
  directoryOverride = directory.empty() ? std::string() : WithTrailingSlash(directory);
}
