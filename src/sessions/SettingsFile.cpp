// The settings file "zephlin.ini": section "global" with the session count, then one section
// per session with the keys of SessionSettingsKeys. Read once per load, written once per save.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>
#include <unordered_set>

#include "platform/DateTime.h"
#include "platform/Errors.h"
#include "platform/FileSystem.h"
#include "platform/ProfileFile.h"
#include "platform/ProgramDir.h"
#include "sessions/SessionsUnit.h"

namespace {

const char* const GlobalSection = "global";

std::string SessionSection(int32_t index) { return "session" + std::to_string(index); }

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Up to eight hexadecimal digits; the 32-bit pattern is the value ($FFFFFFFF reads as -1).
bool ParseHex(const std::string& digits, int32_t& value) {
  if (digits.empty() || digits.size() > 8) return false;
  uint32_t result = 0;
  for (char c : digits) {
    const int digit = HexDigitValue(c);
    if (digit < 0) return false;
    result = result << 4 | static_cast<uint32_t>(digit);
  }
  value = static_cast<int32_t>(result);
  return true;
}

bool ParseDecimal(const std::string& text, int32_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  int64_t result = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    result = result * 10 + (text[i] - '0');
    if (result > static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1) return false;
  }
  result = negative ? -result : result;
  if (result > std::numeric_limits<int32_t>::max()) return false;
  value = static_cast<int32_t>(result);
  return true;
}

// "0x1F" (longer than two characters) and "$1F" are hexadecimal, anything else decimal.
bool ParseInteger(const std::string& text, int32_t& value) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return ParseHex(text.substr(2), value);
  if (!text.empty() && text[0] == '$') return ParseHex(text.substr(1), value);
  return ParseDecimal(text, value);
}

class TSettingsReader {
 public:
  TSettingsReader(const TProfileFile& file, std::string section) : File(file), Section(std::move(section)) {}

  std::string Text(const char* key, const std::string& defaultValue) const {
    return File.ReadString(Section, key, defaultValue);
  }
  bool Has(const char* key) const { return File.HasKey(Section, key); }
  int32_t Integer(const char* key, int32_t defaultValue) const {
    int32_t value = 0;
    return ParseInteger(Text(key, ""), value) ? value : defaultValue;
  }

 private:
  const TProfileFile& File;
  std::string Section;
};

// One key into the settings; what the key leaves unset keeps its value.
void ReadKey(const TSettingsReader& read, const TSettingsKey& key, TSessionSettings& s) {
  if (const auto* text = std::get_if<TTextSetting>(&key.Field)) {
    std::string& value = s.**text;
    if (!key.Scrambled) {
      value = read.Text(key.Key, value);
    } else if (!UnscrambleText(read.Text(key.Key, ""), PasswordKey, value)) {
      value.clear();  // scrambled text that cannot be recovered loads as empty
    }
  } else if (const auto* integer = std::get_if<TIntegerSetting>(&key.Field)) {
    s.** integer = read.Integer(key.Key, s.**integer);
  } else if (const auto* optional = std::get_if<TOptionalTextSetting>(&key.Field)) {
    s.** optional = read.Has(key.Key) ? std::optional(read.Text(key.Key, "")) : std::nullopt;
  } else if (const auto* protocol = std::get_if<TProtocolSetting>(&key.Field)) {
    s.** protocol = ProtocolOf(read.Text(key.Key, ""));
  } else if (const auto* mode = std::get_if<TModeSetting>(&key.Field)) {
    s.** mode = SessionModeOf(read.Text(key.Key, SessionModeKeyword(s.**mode)));
  } else {
    bool& flag = s.*std::get<TFlagSetting>(key.Field);
    flag = read.Integer(key.Key, flag ? 1 : 0) != 0;
  }
}

std::string StoredValue(const TSettingsKey& key, const TSessionSettings& s) {
  if (const auto* text = std::get_if<TTextSetting>(&key.Field))
    return key.Scrambled ? ScrambleText(s.**text, PasswordKey) : s.**text;
  if (const auto* integer = std::get_if<TIntegerSetting>(&key.Field)) return std::to_string(s.**integer);
  if (const auto* optional = std::get_if<TOptionalTextSetting>(&key.Field)) return (s.**optional).value_or("");
  if (const auto* protocol = std::get_if<TProtocolSetting>(&key.Field)) return ProtocolKeyword(s.**protocol);
  if (const auto* mode = std::get_if<TModeSetting>(&key.Field)) return SessionModeKeyword(s.**mode);
  return s.*std::get<TFlagSetting>(key.Field) ? "1" : "0";
}

bool IsStored(const TSettingsKey& key, const TSessionSettings& s) {
  const auto* optional = std::get_if<TOptionalTextSetting>(&key.Field);
  return optional == nullptr || (s.**optional).has_value();
}

void ReadSession(const TProfileFile& file, TSession& s) {
  const TSettingsReader read(file, SessionSection(s.Index));
  for (const TSettingsKey& key : SessionSettingsKeys) ReadKey(read, key, s.Settings);
}

void EraseLineBreaks(std::string& value) {
  std::erase_if(value, [](char c) { return c == '\r' || c == '\n'; });
}

// The number of sessions up to the last "session<i>" section with i below `count`.
int32_t SessionsUpToLastSection(const TProfileFile& file, int32_t count) {
  int32_t sessions = 0;
  for (const std::string& name : file.SectionNames()) {
    int32_t index = 0;
    const std::string digits = name.substr(std::min(name.size(), std::string_view("session").size()));
    if (name.rfind("session", 0) != 0 || !ParseDecimal(digits, index) || SessionSection(index) != name) continue;
    if (index >= 0 && index < count) sessions = std::max(sessions, index + 1);
  }
  return sessions;
}

}  // namespace

std::string TSessions::SettingsFileName() { return SettingsDirectory() + "zephlin.ini"; }

void TSessions::LoadSessions() {
  Sessions.clear();
  TProfileFile file;
  file.Load(SettingsFileName());
  int32_t count = TSettingsReader(file, GlobalSection).Integer("sessions", 0);
  if (count > MaxSessionsRead) {
    // A damaged or hostile count would have the list allocate sessions until memory runs out.
    const int32_t stated = count;
    count = SessionsUpToLastSection(file, count);
    std::fprintf(stderr, "zephlin: %s gives %d sessions, more than %d; %d are read, up to its last session section\n",
                 SettingsFileName().c_str(), stated, MaxSessionsRead, count);
  }
  Sessions.reserve(static_cast<size_t>(std::max(count, 0)));
  bool keyringAnswers = Keyring != nullptr;
  for (int32_t i = 0; i < count; ++i) {
    TSession& session = *GetSession(AddSession(""));
    ReadSession(file, session);
    if (TSettingsReader(file, SessionSection(i)).Text("passwordstore", "") != PasswordStoreKeyring) continue;
    session.Settings.Password.clear();
    session.PasswordUnavailable = true;
    // A keyring that does not answer for one session is not waited for again at start-up.
    if (keyringAnswers) keyringAnswers = FetchPassword(session) != TPasswordKeyring::TResult::Unavailable;
  }
  // Store names last, with every name read known: a generated one then never takes a name
  // that a later session has, and one set of names serves the whole list.
  std::unordered_set<std::string> used;
  for (const auto& session : Sessions) used.insert(session->Settings.CrcFile);
  TCrcFileNamer namer(std::move(used));
  for (const auto& session : Sessions)
    if (!TSession::IsPlainCrcFileName(session->Settings.CrcFile)) session->Settings.CrcFile = namer.Take();
}

TKeyringEntry TSessions::KeyringEntryOf(const TSession& s) const {
  return {ExtractFilePath(SettingsFileName()), s.Settings.Name};
}

std::chrono::milliseconds TSessions::KeyringWait(const TSession& s) {
  constexpr int32_t DefaultSeconds = 30;  // a time-out of 0 sets no limit, but the keyring gets one
  return std::chrono::milliseconds(SecondsToMilliseconds(s.Settings.Timeout > 0 ? s.Settings.Timeout : DefaultSeconds));
}

TPasswordKeyring::TResult TSessions::FetchPassword(TSession& s) const {
  std::string password;
  const TPasswordKeyring::TResult result =
      Keyring ? Keyring->Fetch(KeyringEntryOf(s), password, KeyringWait(s)) : TPasswordKeyring::TResult::Unavailable;
  if (result == TPasswordKeyring::TResult::Done) {
    s.Settings.Password = password;
    s.PasswordUnavailable = false;
  }
  return result;
}

void TSessions::WriteSessionKeys(TProfileFile& file, const TSession& s, bool& keyringAnswers) const {
  const std::string section = SessionSection(s.Index);
  // The keyring keeps the password when it takes it; else the file keeps it scrambled.
  bool inKeyring = s.PasswordUnavailable;
  if (!inKeyring && keyringAnswers && !s.Settings.Password.empty()) {
    const TPasswordKeyring::TResult stored = Keyring->Store(KeyringEntryOf(s), s.Settings.Password, KeyringWait(s));
    inKeyring = stored == TPasswordKeyring::TResult::Done;
    keyringAnswers = inKeyring;
  }
  TSessionSettings written = s.Settings;
  if (inKeyring) written.Password.clear();
  for (const TSettingsKey& key : SessionSettingsKeys) {
    if (IsStored(key, written)) {
      file.WriteString(section, key.Key, StoredValue(key, written));
    } else {
      file.DeleteKey(section, key.Key);  // an optional setting no longer set
    }
  }
  if (inKeyring || file.HasKey(section, "passwordstore"))
    file.WriteString(section, "passwordstore", inKeyring ? PasswordStoreKeyring : "");
}

void TSessions::CheckWritable(const TSession& s) const {
  for (const TSettingsKey& key : SessionSettingsKeys) {
    if (!HoldsLineBreak(StoredValue(key, s.Settings))) continue;
    std::string name = s.Settings.Name;
    EraseLineBreaks(name);
    throw EZephlin("Unable to write to " + SettingsFileName() + ": the " + key.Key + " of session " + name +
                   " holds a line break");
  }
}

void TSessions::SaveSession(int32_t index) {
  const TSession* session = GetSession(index);
  if (session == nullptr) return;
  CheckWritable(*session);
  TProfileFile file;
  file.Load(SettingsFileName());
  file.WriteString(GlobalSection, "sessions", std::to_string(Count()));
  bool keyringAnswers = Keyring != nullptr;
  WriteSessionKeys(file, *session, keyringAnswers);
  file.Save(SettingsFileName());
}

void TSessions::SaveAllSessions() {
  // A fresh file replaces the old one in a single rename, so a failed save leaves the old
  // file whole instead of a deleted or half-written one.
  for (const auto& session : Sessions) CheckWritable(*session);
  TProfileFile file;
  file.WriteString(GlobalSection, "sessions", std::to_string(Count()));
  bool keyringAnswers = Keyring != nullptr;
  for (const auto& session : Sessions) WriteSessionKeys(file, *session, keyringAnswers);
  file.Save(SettingsFileName());
}

bool HoldsLineBreak(const std::string& value) { return value.find_first_of("\r\n") != std::string::npos; }

void RemoveLineBreaks(TSessionSettings& settings) {
  for (const TSettingsKey& key : SessionSettingsKeys) {
    if (const auto* text = std::get_if<TTextSetting>(&key.Field)) {
      EraseLineBreaks(settings.**text);
    } else if (const auto* optional = std::get_if<TOptionalTextSetting>(&key.Field)) {
      if (settings.**optional) EraseLineBreaks(*(settings.**optional));
    }
  }
}

std::string ScrambleText(const std::string& plain, const std::string& key) {
  std::string result(plain.size() * 4, '0');
  for (size_t p = 0; p < plain.size(); ++p) {
    const unsigned char k = static_cast<unsigned char>(key[p % key.size()]);
    const unsigned v = static_cast<unsigned char>(plain[p]) ^ k;
    char group[8];
    std::snprintf(group, sizeof group, "%04X", v);
    // The first character's group is the last one of the result.
    result.replace((plain.size() - 1 - p) * 4, 4, group);
  }
  return result;
}

bool UnscrambleText(const std::string& stored, const std::string& key, std::string& plain) {
  if (stored.size() % 4 != 0) return false;
  std::string result;
  result.reserve(stored.size() / 4);
  for (size_t end = stored.size(), k = 0; end > 0; end -= 4, ++k) {
    int32_t v = 0;
    if (!ParseHex(stored.substr(end - 4, 4), v)) return false;
    const unsigned char keyChar = static_cast<unsigned char>(key[k % key.size()]);
    result.push_back(static_cast<char>((static_cast<unsigned>(v) ^ keyChar) & 0xFF));
  }
  plain = std::move(result);
  return true;
}
