#include "sessions/SessionsUnit.h"

#include <cstdio>
#include <cstdlib>

#include "platform/DateTime.h"

std::string LowerAscii(const std::string& text) {
  std::string lower = text;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) { return LowerAscii(a) == LowerAscii(b); }

// ---------------------------------------------------------------------------------------------
// TSession

void TSession::CopySettingsFrom(const TSession& source) {
  Name = source.Name + "_" + std::to_string(Index);
  LocalPath = source.LocalPath;
  RemotePath = source.RemotePath;
  SessionStarter = source.SessionStarter;
  Countdown = source.Countdown;
  DetectWait = source.DetectWait;
  SessionMode = source.SessionMode;
  Recurse = source.Recurse;
  Host = source.Host;
  Port = source.Port;
  UserName = source.UserName;
  Password = source.Password;
  Timeout = source.Timeout;
  AbortOnFailure = source.AbortOnFailure;
  PassiveMode = source.PassiveMode;
  ParentSession = source.ParentSession;
}

void TSession::ReadFromEditor(const ISessionEditor& editor) {
  Stop();
  Name = editor.GetName();
  LocalPath = editor.GetLocalPath();
  RemotePath = editor.GetRemotePath();
  SessionStarter = editor.GetSessionStarter();
  Countdown = editor.GetCountdown();
  DetectWait = editor.GetDetectWait();
  SessionMode = editor.GetSessionMode();
  Recurse = editor.GetRecurse();
  Host = editor.GetHost();
  Port = editor.GetPort();
  UserName = editor.GetUserName();
  Password = editor.GetPassword();
  Timeout = editor.GetTimeout();
  AbortOnFailure = editor.GetAbortOnFailure();
  PassiveMode = editor.GetPassiveMode();
  ParentSession = editor.GetParentSession();
  SetCrcFile(editor.GetCrcFile());
  TestMode = editor.GetTestMode();
  DebugMode = editor.GetDebugMode();
  ReportStatus("", "");
}

namespace {

// Seconds since 30 December 1899 in local time, wrapped to 32 bits.
int32_t CrcNameSeed() {
  const TDateTime now = Now();
  const TDateTimeParts parts = DecodeDateTime(now);
  const uint32_t days = static_cast<uint32_t>(DayCount(now));
  const uint32_t seconds = days * 86400u + static_cast<uint32_t>(parts.Hour * 3600 + parts.Minute * 60 + parts.Second);
  return static_cast<int32_t>(seconds);
}

std::string CrcNameFor(int32_t seed) {
  // The absolute value of the most negative number keeps its bit pattern (80000000).
  const uint32_t magnitude = seed < 0 ? 0u - static_cast<uint32_t>(seed) : static_cast<uint32_t>(seed);
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%08X", magnitude);
  return std::string(buffer) + ".crc";
}

}  // namespace

std::string TSession::GenerateCrcFileName() { return CrcNameFor(CrcNameSeed()); }

void TSession::SetCrcFile(const std::string& name) {
  CrcFile = name;
  if (!name.empty()) return;
  // Sessions loaded in the same second would otherwise share one store and spoil each
  // other's entries, so a name in use moves on to the next second's name.
  uint32_t seed = static_cast<uint32_t>(CrcNameSeed());
  std::string candidate = CrcNameFor(static_cast<int32_t>(seed));
  for (int tries = 0; CrcFileTaken && CrcFileTaken(candidate) && tries < 1'000'000; ++tries)
    candidate = CrcNameFor(static_cast<int32_t>(++seed));
  CrcFile = candidate;
}

void TSession::SetStatusHandler(TSessionStatusEvent handler) {
  StatusHandler = std::move(handler);
  ReportStatus("", "");
}

// ---------------------------------------------------------------------------------------------
// TSessions: list operations (the settings file is in SettingsFile.cpp)

TSession* TSessions::GetSession(int32_t index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return Sessions[static_cast<size_t>(index)].get();
}

int32_t TSessions::FindSession(const std::string& name) const {
  const std::string wanted = LowerAscii(name);
  for (int32_t i = 0; i < Count(); ++i)
    if (LowerAscii(Sessions[static_cast<size_t>(i)]->Name) == wanted) return i;
  return -1;
}

bool TSessions::CrcFileInUse(const TSession* asking, const std::string& name) const {
  for (const auto& session : Sessions)
    if (session.get() != asking && session->CrcFile == name) return true;
  return false;
}

int32_t TSessions::AddSession(const std::string& name) {
  auto session = std::make_unique<TSession>();
  TSession* added = session.get();
  added->Index = Count();
  added->Name = name.empty() ? "NewSession" + std::to_string(added->Index) : name;
  added->Port = 21;
  added->CrcFileTaken = [this, added](const std::string& crc) { return CrcFileInUse(added, crc); };
  Sessions.push_back(std::move(session));
  added->SetStatusHandler(StatusHandler);
  added->OnCompleted = [this](TSession& completed) { StartChainedSessions(completed); };
  return added->Index;
}

void TSessions::SetStatusHandler(TSessionStatusEvent handler) {
  StatusHandler = std::move(handler);
  for (auto& session : Sessions) session->SetStatusHandler(StatusHandler);
}

int32_t TSessions::CloneSession(int32_t index) {
  const int32_t added = AddSession("");
  GetSession(added)->CopySettingsFrom(*GetSession(index));
  SaveSession(added);
  return added;
}

bool TSessions::RemoveSession(int32_t index) {
  TSession* session = GetSession(index);
  if (session == nullptr || session->IsRunning()) return false;
  Sessions.erase(Sessions.begin() + index);
  for (int32_t i = index; i < Count(); ++i) Sessions[static_cast<size_t>(i)]->Index = i;
  SaveAllSessions();
  return true;
}

namespace {

void FillEditor(ISessionEditor& editor, const TSession& s) {
  editor.SetName(s.Name);
  editor.SetLocalPath(s.LocalPath);
  editor.SetRemotePath(s.RemotePath);
  editor.SetSessionStarter(s.SessionStarter);
  editor.SetCountdown(s.Countdown);
  editor.SetDetectWait(s.DetectWait);
  editor.SetSessionMode(s.SessionMode);
  editor.SetRecurse(s.Recurse);
  editor.SetHost(s.Host);
  editor.SetPort(s.Port);
  editor.SetUserName(s.UserName);
  editor.SetPassword(s.Password);
  editor.SetTimeout(s.Timeout);
  editor.SetAbortOnFailure(s.AbortOnFailure);
  editor.SetPassiveMode(s.PassiveMode);
}

}  // namespace

int32_t TSessions::AddSessionInteractive() {
  if (!EditorFactory) return -1;
  const std::unique_ptr<ISessionEditor> editor = EditorFactory();
  editor->SetName("NewSession" + std::to_string(Count()));
  editor->SetPort(21);
  for (const auto& session : Sessions) editor->AddParentCandidate(session->Name);
  if (!editor->ShowModal()) return -1;
  const int32_t index = AddSession(editor->GetName());
  GetSession(index)->ReadFromEditor(*editor);
  SaveSession(index);
  return index;
}

void TSessions::EditSessionInteractive(int32_t index) {
  TSession* session = GetSession(index);
  if (session == nullptr || session->IsRunning() || !EditorFactory) return;
  const std::unique_ptr<ISessionEditor> editor = EditorFactory();
  FillEditor(*editor, *session);
  for (const auto& other : Sessions)
    if (other.get() != session) editor->AddParentCandidate(other->Name);
  editor->SetParentSession(session->ParentSession);
  editor->SetCrcFile(session->CrcFile);
  editor->SetTestMode(session->TestMode);
  editor->SetDebugMode(session->DebugMode);
  if (!editor->ShowModal()) return;
  session->ReadFromEditor(*editor);
  SaveSession(index);
}
