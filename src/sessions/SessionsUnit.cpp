#include "sessions/SessionsUnit.h"

#include <cstdio>
#include <cstdlib>

#include "platform/DateTime.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "platform/Text.h"

// ---------------------------------------------------------------------------------------------
// TSession

void TSession::CopySettingsFrom(const TSession& source) {
  const TSessionSettings own = Settings;
  Settings = source.Settings;
  Settings.Name = source.Settings.Name + "_" + std::to_string(Index);
  Settings.CrcFile = own.CrcFile;
  Settings.TestMode = own.TestMode;
  Settings.DebugMode = own.DebugMode;
}

void TSession::ReadFromEditor(const ISessionEditor& editor) {
  Stop();
  Settings = editor.GetSettings();
  if (!Settings.Password.empty()) PasswordUnavailable = false;  // the user gave it again
  SetCrcFile(Settings.CrcFile);
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

bool TSession::IsPlainCrcFileName(const std::string& name) {
  return !name.empty() && name != "." && name.find('/') == std::string::npos && name.find("..") == std::string::npos &&
         !IsProgramFileName(name);
}

bool TSession::IsProgramFileName(const std::string& name) {
  // A store saved under one of these would overwrite it: the settings, the program itself,
  // a log, the run records. Hidden names are the program's own too (lock files, partial
  // downloads).
  static const char* const kOwnFiles[] = {"zephlin.ini", "zephlin.log", "testlog.txt", "runs.jsonl"};
  if (name.starts_with('.') || name == ExtractFileName(ExecutableName())) return true;
  for (const char* own : kOwnFiles) {
    if (name == own) return true;
  }
  return false;
}

void TSession::SetCrcFile(const std::string& name) {
  if (IsPlainCrcFileName(name))
    Settings.CrcFile = name;
  else
    Settings.CrcFile = UnusedCrcFileName ? UnusedCrcFileName() : GenerateCrcFileName();
}

TCrcFileNamer::TCrcFileNamer(std::unordered_set<std::string> used)
    : Used(std::move(used)), Seed(static_cast<uint32_t>(CrcNameSeed())) {}

std::string TCrcFileNamer::Take() {
  // Sessions named in the same second would otherwise share one store and spoil each
  // other's entries, so a name in use moves on to the next second's name. The walk goes on
  // from the last name handed out: naming n sessions tries about n names, not n squared.
  std::string candidate = CrcNameFor(static_cast<int32_t>(Seed));
  for (uint64_t tries = 0; Used.contains(candidate) && tries <= UINT32_MAX; ++tries)
    candidate = CrcNameFor(static_cast<int32_t>(++Seed));
  Used.insert(candidate);
  ++Seed;
  return candidate;
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
    if (LowerAscii(Sessions[static_cast<size_t>(i)]->Settings.Name) == wanted) return i;
  return -1;
}

std::string TSessions::UnusedCrcFileName(const TSession* asking) const {
  std::unordered_set<std::string> used;
  for (const auto& session : Sessions)
    if (session.get() != asking) used.insert(session->Settings.CrcFile);
  return TCrcFileNamer(std::move(used)).Take();
}

int32_t TSessions::AddSession(const std::string& name) {
  auto session = std::make_unique<TSession>();
  TSession* added = session.get();
  added->Index = Count();
  added->Settings.Name = name.empty() ? "NewSession" + std::to_string(added->Index) : name;
  added->UnusedCrcFileName = [this, added] { return UnusedCrcFileName(added); };
  added->FetchPasswordAgain = [this, added] { return FetchPassword(*added) == TPasswordKeyring::TResult::Done; };
  Sessions.push_back(std::move(session));
  added->SetStatusHandler(StatusHandler);
  added->RunEventHandler = RunEventHandler;
  added->OnCompleted = [this](TSession& completed) { StartChainedSessions(completed); };
  added->OnRunEnded = [this](TSession& ended, const TRunOutcome& outcome) { FLedger.Record(ended, outcome); };
  return added->Index;
}

void TSessions::SetStatusHandler(TSessionStatusEvent handler) {
  StatusHandler = std::move(handler);
  for (auto& session : Sessions) session->SetStatusHandler(StatusHandler);
}

void TSessions::SetRunEventHandler(TSessionRunEvent handler) {
  RunEventHandler = std::move(handler);
  for (auto& session : Sessions) session->RunEventHandler = RunEventHandler;
}

int32_t TSessions::CloneSession(int32_t index) {
  const int32_t added = AddSession("");
  TSession& clone = *GetSession(added);
  clone.CopySettingsFrom(*GetSession(index));
  clone.SetCrcFile("");  // a store of its own, or its first run could not save one
  SaveSession(added);
  return added;
}

bool TSessions::RemoveSession(int32_t index) {
  TSession* session = GetSession(index);
  if (session == nullptr || session->IsRunning()) return false;
  FLedger.Forget(*session);
  Sessions.erase(Sessions.begin() + index);
  for (int32_t i = index; i < Count(); ++i) Sessions[static_cast<size_t>(i)]->Index = i;
  SaveAllSessions();
  return true;
}

int32_t TSessions::AddSessionInteractive() {
  if (!EditorFactory) return -1;
  const std::unique_ptr<ISessionEditor> editor = EditorFactory();
  for (const auto& session : Sessions) editor->AddParentCandidate(session->Settings.Name);
  TSessionSettings fresh;
  fresh.Name = "NewSession" + std::to_string(Count());
  fresh.Encryption = EncryptionKeyword(TEncryption::Explicit);  // stored ones without the key stay plain
  fresh.ExactTimes = true;                                      // as do their minute times
  fresh.AtomicUpload = true;                                    // stored ones without the key send in place
  fresh.Connections = 4;                                        // stored ones without the key keep one
  editor->SetSettings(fresh);
  if (!editor->ShowModal()) return -1;
  const int32_t index = AddSession(editor->GetSettings().Name);
  GetSession(index)->ReadFromEditor(*editor);
  SaveSession(index);
  return index;
}

void TSessions::EditSessionInteractive(int32_t index) {
  TSession* session = GetSession(index);
  if (session == nullptr || session->IsRunning() || !EditorFactory) return;
  const std::unique_ptr<ISessionEditor> editor = EditorFactory();
  for (const auto& other : Sessions)
    if (other.get() != session) editor->AddParentCandidate(other->Settings.Name);
  editor->SetSettings(session->Settings);
  if (!editor->ShowModal()) return;
  session->ReadFromEditor(*editor);
  SaveSession(index);
}
