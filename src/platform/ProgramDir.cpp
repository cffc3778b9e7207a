#include "platform/ProgramDir.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "platform/FileSystem.h"
#include "platform/Text.h"

namespace {

std::mutex locationMutex;
std::string directoryOverride;
std::optional<TFileLocations> decided;  // the real program directory's, once decided

// XDG base directories must be absolute; a relative value is ignored.
std::string BaseDirectory(const std::string& variable, const std::string& home, const char* fallback) {
  if (!variable.empty() && variable.front() == '/') return WithTrailingSlash(variable);
  return WithTrailingSlash(home) + fallback;
}

std::string Environment(const char* name) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the program never changes these variables
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

std::string HomeDirectory() {
  std::string home = Environment("HOME");
  if (!home.empty()) return home;
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) home = found->pw_dir;
  return home;
}

// Creates the directory and its missing parents, each private to the user.
void CreatePrivateDirectory(const std::string& path) {
  std::string partial;
  for (const char c : path) {
    partial += c;
    if (c == '/' && partial.size() > 1) ::mkdir(partial.c_str(), 0700);  // an existing one stays as it is
  }
}

TFileLocations RealFileLocations() {
  if (!decided) {
    TLocationFacts facts;
    facts.ProgramDirectory = ExtractFilePath(ExecutableName());
    facts.SettingsBeside = FileExists(facts.ProgramDirectory + "zephlin.ini");
    facts.ProgramDirectoryWritable = ::access(facts.ProgramDirectory.c_str(), W_OK) == 0;
    facts.XdgConfigHome = Environment("XDG_CONFIG_HOME");
    facts.XdgStateHome = Environment("XDG_STATE_HOME");
    facts.Home = HomeDirectory();
    decided = DecideFileLocations(facts);
    if (!decided->Portable) {
      CreatePrivateDirectory(decided->SettingsDirectory);
      CreatePrivateDirectory(decided->StateDirectory);
    }
  }
  return *decided;
}

}  // namespace

std::string ExecutableName() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<size_t>(n));
}

std::string ProgramDirectory() {
  {
    std::lock_guard lock(locationMutex);
    if (!directoryOverride.empty()) return directoryOverride;
  }
  return ExtractFilePath(ExecutableName());
}

void SetProgramDirectory(const std::string& directory) {
  std::lock_guard lock(locationMutex);
  directoryOverride = directory.empty() ? std::string() : WithTrailingSlash(directory);
}

TFileLocations DecideFileLocations(const TLocationFacts& facts) {
  if (facts.SettingsBeside || facts.ProgramDirectoryWritable)
    return {true, facts.ProgramDirectory, facts.ProgramDirectory};
  return {false, BaseDirectory(facts.XdgConfigHome, facts.Home, ".config/") + "zephlin/",
          BaseDirectory(facts.XdgStateHome, facts.Home, ".local/state/") + "zephlin/"};
}

TFileLocations FileLocations() {
  std::lock_guard lock(locationMutex);
  if (!directoryOverride.empty()) return {true, directoryOverride, directoryOverride};
  return RealFileLocations();
}

std::string SettingsDirectory() { return FileLocations().SettingsDirectory; }

std::string StateDirectory() { return FileLocations().StateDirectory; }

std::string ReadmeFileNameFor(const std::string& programDirectory) {
  std::string beside = programDirectory + "readme.txt";
  if (FileExists(beside)) return beside;
  // <prefix>/bin/ -> <prefix>/share/doc/zephlin/
  const std::string prefix = ExtractFilePath(WithoutTrailingSlashes(programDirectory));
  const std::string installed = prefix + "share/doc/zephlin/readme.txt";
  return FileExists(installed) ? installed : beside;
}

std::string ReadmeFileName() { return ReadmeFileNameFor(ProgramDirectory()); }
