#pragma once
// TRunSettings: what one run of a session needs to know, copied from the session when the
// run is made and never changed while it lasts. The session list stores these together with
// its own scheduling settings (sessions/SessionSettings.h).

#include <cstdint>
#include <string>

struct TRunSettings {
  std::string Host;
  int32_t Port = 21;
  std::string UserName;
  std::string Password;        // plain text
  std::string LocalPath;
  std::string RemotePath;
  std::string SessionMode;     // one of the mode keywords
  bool Recurse = false;
  int32_t Timeout = 30;        // seconds; 0 sets no limit of its own (see ConnectionWaitMilliseconds)
  bool PassiveMode = false;
  bool AbortOnFailure = false;
  bool TestMode = false;       // walk and log every step; send, fetch and delete nothing
  bool DebugMode = false;      // transfer and log
  std::string CrcFile;         // file name of the CRC store, in the program's directory
};
