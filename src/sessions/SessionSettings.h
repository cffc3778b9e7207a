#pragma once
// TSessionSettings: everything a session stores, that is what its runs need plus what starts
// it; and the table of the keys that store them in a session's section of the settings
// file. Loading and saving both walk the table, so a new setting is one member here, one
// row in the table and one control in the editor.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "engine/RunSettings.h"

struct TSessionSettings : TRunSettings {
  // A session reconnects by default, also one stored before it could.
  TSessionSettings() { Retries = DefaultRetries; }
  std::string Name;
  std::string SessionStarter;  // one of the starter keywords
  int32_t Countdown = 0;       // seconds
  int32_t DetectWait = 0;      // seconds
  std::string ParentSession;   // the session a chained one follows
};

using TTextSetting = std::string TSessionSettings::*;
using TIntegerSetting = int32_t TSessionSettings::*;
using TFlagSetting = bool TSessionSettings::*;
using TOptionalTextSetting = std::optional<std::string> TSessionSettings::*;
using TProtocolSetting = TProtocol TSessionSettings::*;
using TModeSetting = TSessionMode TSessionSettings::*;

// One key: text is stored as it is (or scrambled), integers in decimal, flags as "1" or "0",
// the protocol and the mode as their keywords.
// A key that is missing, or an integer or flag that does not read as a number, leaves the
// value a new session has (the member's initial value, the name the list gave it). Optional
// text is written only when set, and a missing key reads as not set.
struct TSettingsKey {
  const char* Key;
  std::variant<TTextSetting, TIntegerSetting, TFlagSetting, TOptionalTextSetting, TProtocolSetting, TModeSetting> Field;
  bool Scrambled = false;  // text stored scrambled with PasswordKey; unreadable text loads as empty
};

// In the order the file stores them.
inline const auto SessionSettingsKeys = std::to_array<TSettingsKey>({
    {"name", &TSessionSettings::Name},
    {"localpath", &TSessionSettings::LocalPath},
    {"remotepath", &TSessionSettings::RemotePath},
    {"sessionstarter", &TSessionSettings::SessionStarter},
    {"countdown", &TSessionSettings::Countdown},
    {"detectwait", &TSessionSettings::DetectWait},
    {"sessionmode", &TSessionSettings::SessionMode},
    {"recurse", &TSessionSettings::Recurse},
    {"host", &TSessionSettings::Host},
    {"port", &TSessionSettings::Port},
    {"username", &TSessionSettings::UserName},
    {"password", &TSessionSettings::Password, true},
    {"timeout", &TSessionSettings::Timeout},
    {"abortonfailure", &TSessionSettings::AbortOnFailure},
    {"passivemode", &TSessionSettings::PassiveMode},
    {"encryption", &TSessionSettings::Encryption},
    {"tlsfingerprint", &TSessionSettings::TlsFingerprint},
    {"parentsession", &TSessionSettings::ParentSession},
    {"crcfile", &TSessionSettings::CrcFile},
    {"testmode", &TSessionSettings::TestMode},
    {"debugmode", &TSessionSettings::DebugMode},
    {"maxdelete", &TSessionSettings::MaxDelete},
    {"exclude", &TSessionSettings::Exclude},
    {"exacttimes", &TSessionSettings::ExactTimes},
    {"retries", &TSessionSettings::Retries},
    {"atomicupload", &TSessionSettings::AtomicUpload},
    {"connections", &TSessionSettings::Connections},
    {"ratelimit", &TSessionSettings::RateLimit},
    {"hostkey", &TSessionSettings::HostKey},
    {"keyfile", &TSessionSettings::KeyFile},
    {"protocol", &TSessionSettings::Protocol},
});

// The settings file ends a value at its line: a value holding CR or LF would start keys of
// its own when written. Saving refuses such values; the editor removes the breaks.
bool HoldsLineBreak(const std::string& value);
void RemoveLineBreaks(TSessionSettings& settings);  // from every text setting
