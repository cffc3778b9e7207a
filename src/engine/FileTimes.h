#pragma once
// Local file times as the transfer functions compare them: to the minute, or to the second
// where a listing gives exact times.

#include "platform/DateTime.h"
#include "platform/FileSystem.h"
#include "remote/RemoteEntry.h"

// Gives an existing file the time (to the minute, or with AToTheSecond to the second).
inline void SetLocalFileTime(const std::string& APath, TDateTime AWhen, bool AToTheSecond = false) {
  if (!FileExists(APath)) return;
  SetFileTimeLocal(APath, AToTheSecond ? TruncateToSecond(AWhen) : TruncateToMinute(AWhen));
}

// A file's time (0 for a directory or a missing file).
inline TDateTime GetLocalFileTime(const std::string& APath, bool AToTheSecond = false) {
  TDateTime time = 0;
  if (!GetFileTimeLocalUnlessDirectory(APath, time)) return 0;
  return AToTheSecond ? TruncateToSecond(time) : TruncateToMinute(time);
}

// A listed file's time as a local file keeps it: to the second for exact times, else to the minute.
inline TDateTime ListedTime(const TRemoteEntry& AItem) {
  return AItem.ExactTime() ? TruncateToSecond(AItem.Time) : TruncateToMinute(AItem.Time);
}
