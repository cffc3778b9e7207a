#pragma once
// The four transfer functions a session may run, and the keywords the settings file, the
// run record and "/list" know them by. A keyword is read once, where the stored settings
// become a run's settings; from there on only the value is compared.

#include <array>
#include <cstddef>
#include <string>

enum class TSessionMode { None, CopyLocalToRemote, CopyRemoteToLocal, SyncLocalToRemote, SyncRemoteToLocal };

// Indexed by the value; None stands for a missing or unknown keyword.
inline constexpr std::array<const char*, 5> SessionModeKeywords = {"", "copylocaltoremote", "copyremotetolocal",
                                                                   "synclocaltoremote", "syncremotetolocal"};

// Compared exactly, case included: any other text is no function, and a run with it connects
// and transfers nothing.
inline TSessionMode SessionModeOf(const std::string& AKeyword) {
  for (size_t mode = 1; mode < SessionModeKeywords.size(); ++mode)
    if (AKeyword == SessionModeKeywords[mode]) return static_cast<TSessionMode>(mode);
  return TSessionMode::None;
}
inline std::string SessionModeKeyword(TSessionMode AMode) { return SessionModeKeywords[static_cast<size_t>(AMode)]; }

// The copy functions take a file mask in their paths; the sync functions whole directories.
inline bool IsCopyMode(TSessionMode AMode) {
  return AMode == TSessionMode::CopyLocalToRemote || AMode == TSessionMode::CopyRemoteToLocal;
}
// The functions whose files go from here to the server.
inline bool SendsToRemote(TSessionMode AMode) {
  return AMode == TSessionMode::CopyLocalToRemote || AMode == TSessionMode::SyncLocalToRemote;
}
