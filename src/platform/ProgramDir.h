#pragma once
// Where the program and its files are.
//
// Portable mode: "zephlin.ini", the CRC stores, "testlog.txt" and "zephlin.log" live in the
// program's directory, the directory of the running executable. That holds while
// "zephlin.ini" is there or the user may write there, so a copy in a folder of its own
// behaves as it always has.
// Installed mode (any other program directory, such as /usr/bin): the settings in
// $XDG_CONFIG_HOME/zephlin/ (default ~/.config/zephlin/), the CRC stores and the logs in
// $XDG_STATE_HOME/zephlin/ (default ~/.local/state/zephlin/), each folder created with mode
// 0700 when first asked for. The mode is decided once per process. Safe from any thread.

#include <string>

// The directory of the running executable, ending in "/".
std::string ProgramDirectory();

// The full path of the running executable.
std::string ExecutableName();

// Tests point the program directory at a temporary one: the program is then portable there.
// An empty path restores the real one.
void SetProgramDirectory(const std::string& directory);

// What the choice of the mode rests on.
struct TLocationFacts {
  std::string ProgramDirectory;  // ending in "/"
  bool SettingsBeside = false;   // "zephlin.ini" exists there
  bool ProgramDirectoryWritable = false;
  std::string XdgConfigHome;  // the variables' values; empty when unset
  std::string XdgStateHome;
  std::string Home;  // the user's home directory
};

struct TFileLocations {
  bool Portable = true;
  std::string SettingsDirectory;  // "zephlin.ini"; ends in "/"
  std::string StateDirectory;     // CRC stores, "testlog.txt", "zephlin.log"; ends in "/"
};

TFileLocations DecideFileLocations(const TLocationFacts& facts);

// The running program's locations; the folders of installed mode exist once this returned
// (unless the file system refused them: the first write there then reports the failure).
TFileLocations FileLocations();
std::string SettingsDirectory();
std::string StateDirectory();

// The user guide: "readme.txt" beside the executable, else where an installation keeps it
// (<prefix>/share/doc/zephlin/ for <prefix>/bin/); the first of them that exists, or the one
// beside the executable when neither does.
std::string ReadmeFileName();
std::string ReadmeFileNameFor(const std::string& programDirectory);
