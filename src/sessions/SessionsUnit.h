#pragma once
// The session record and the ordered session list, with the settings file that stores them,
// and the scheduler that starts sessions and reacts to the end of their runs.
// Everything here runs on the main thread; workers reach it only through the main-thread
// hand-over (their status reports and their end).

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/RunEvents.h"
#include "engine/RunOutcome.h"
#include "sessions/PasswordKeyring.h"
#include "sessions/RunLedger.h"
#include "sessions/SessionEditor.h"

class QTimer;

class TSessionThread;
class TfisFileNotification;
class TSession;

// Row index, remaining countdown, and the Connection, Function and Status texts.
using TSessionStatusEvent = std::function<void(int32_t index, int32_t remaining, const std::string& connection,
                                               const std::string& function, const std::string& status)>;
using TSessionEvent = std::function<void(TSession& session)>;
// Row index and a typed event of the session's running worker.
using TSessionRunEvent = std::function<void(int32_t index, const TRunEvent& event)>;

// Starter keywords; compared exactly, case included (the modes: engine/SessionMode.h).
inline constexpr const char* StarterManual = "manual";
inline constexpr const char* StarterCountdown = "countdown";
inline constexpr const char* StarterDetect = "detect";
inline constexpr const char* StarterChain = "chain";

// The key that scrambles passwords in the settings file.
inline constexpr const char* PasswordKey = "Morvelix4";
// A session's "passwordstore" when its password is in the keyring ("password" is then empty).
inline constexpr const char* PasswordStoreKeyring = "keyring";
// How a run ends when the keyring does not give its password.
inline constexpr const char* PasswordUnavailableText = "Password not available: keyring locked";

class TSession {
 public:
  TSession() = default;
  // Stops watching and cuts a running worker; the worker is detached, so its later reports
  // and its end never reach the destroyed session, and it still frees itself.
  ~TSession();
  TSession(const TSession&) = delete;
  TSession& operator=(const TSession&) = delete;

  int32_t Index = 0;  // the row in the list and the number of its section in the settings file
  TSessionSettings Settings;

  // Run-time state, never stored.
  int32_t Remaining = 0;
  TSessionThread* Worker = nullptr;
  TfisFileNotification* Watcher = nullptr;
  bool RunOnce = false;
  bool ChangedDuringRun = false;  // a detect session saw a change while its worker ran
  // The password is in the keyring, which did not give it: saving leaves the keyring's entry
  // as it is, and a run asks the keyring once more before it starts (FetchPasswordAgain) and
  // ends with PasswordUnavailableText when it still does not.
  bool PasswordUnavailable = false;
  std::function<bool()> FetchPasswordAgain;
  TSessionStatusEvent StatusHandler;
  TSessionRunEvent RunEventHandler;
  TSessionEvent OnCompleted;
  // A run ended, with what it did; before OnCompleted and before the session reports again.
  std::function<void(TSession& session, const TRunOutcome& outcome)> OnRunEnded;

  // A clone's settings: the source's, under a name of its own, with its own CRC store and
  // outside test and debug mode.
  void CopySettingsFrom(const TSession& source);
  void ReadFromEditor(const ISessionEditor& editor);
  void SetCrcFile(const std::string& name);
  void SetStatusHandler(TSessionStatusEvent handler);
  bool IsRunning() const { return Worker != nullptr; }

  // Scheduler operations.
  void Start(bool force, bool runOnce);  // start or arm according to the starter
  // Asks a worker to stop (a second Stop during the same run cuts it), stops watching and
  // drops a pending start.
  void Stop();
  void SetRunning(bool running);
  int32_t GetRemaining() const { return Remaining; }
  void SetRemaining(int32_t value);  // one countdown step
  void StartWorker();
  void StopWorker();
  void StartWatching();
  void StopWatching();
  // Arms the start DetectWait seconds (at least one) after the change; a change seen during
  // a run starts the session once more after that run.
  void DirectoryChanged();
  // The session's own report: sent with "Offline" only while it has no worker.
  void ReportStatus(const std::string& function, const std::string& status);
  void WorkerStatus(const std::string& connection, const std::string& function, const std::string& status);
  void WorkerFinished(const TRunOutcome& outcome);
  // A run that ends before a worker was made: its failure is reported as a worker's would be.
  void EndRunWithoutWorker(const std::string& error);

  // A CRC store name made from the current local time (seconds since 30 December 1899,
  // wrapped to 32 bits, absolute value in hexadecimal).
  static std::string GenerateCrcFileName();
  // A CRC store name is a plain file name in the state directory: one that names
  // another folder (holds "/" or "..") is not, nor one of the program's own files.
  static bool IsPlainCrcFileName(const std::string& name);
  // The settings file, the program, its logs and run records, or a hidden name.
  static bool IsProgramFileName(const std::string& name);
  // A generated CRC store name that no other session of the same list uses.
  std::function<std::string()> UnusedCrcFileName;

 private:
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);  // expires with the session
};

// Hands out generated CRC store names (TSession::GenerateCrcFileName and the seconds after
// it) that are not among the given names nor handed out before.
class TCrcFileNamer {
 public:
  explicit TCrcFileNamer(std::unordered_set<std::string> used);
  std::string Take();

 private:
  std::unordered_set<std::string> Used;
  uint32_t Seed;
};

class TSessions {
 public:
  TSessions();  // starts the one-second timer, then loads every session from the settings file
  // Cuts every worker (their sockets are shut down so blocked reads return) and waits for
  // them to end, so nothing is left running after the list.
  ~TSessions();
  TSessions(const TSessions&) = delete;
  TSessions& operator=(const TSessions&) = delete;

  void LoadSessions();
  void SaveSession(int32_t index);
  void SaveAllSessions();

  int32_t AddSession(const std::string& name);
  int32_t AddSessionInteractive();
  void EditSessionInteractive(int32_t index);
  int32_t CloneSession(int32_t index);
  bool RemoveSession(int32_t index);

  int32_t Count() const { return static_cast<int32_t>(Sessions.size()); }
  TSession* GetSession(int32_t index) const;
  int32_t FindSession(const std::string& name) const;

  void SetStatusHandler(TSessionStatusEvent handler);
  void SetRunEventHandler(TSessionRunEvent handler);
  void StartSession(int32_t index, bool force, bool runOnce);
  void StopSession(int32_t index);
  void Tick();  // the one-second timer's handler
  void StartChainedSessions(const TSession& completed);
  void SetEditorFactory(TSessionEditorFactory factory) { EditorFactory = std::move(factory); }
  // The end of every run of the list's sessions.
  TRunLedger& Ledger() { return FLedger; }
  const TRunLedger& Ledger() const { return FLedger; }

  // Full path of "zephlin.ini" in the settings directory (ProgramDir.h).
  static std::string SettingsFileName();

 private:
  // The largest session count a settings file is taken at its word for.
  static constexpr int32_t MaxSessionsRead = 10'000;

  std::string UnusedCrcFileName(const TSession* asking) const;
  // The keyring's entry for a session, and how long a run or a save waits for the keyring
  // (the session's time-out).
  TKeyringEntry KeyringEntryOf(const TSession& session) const;
  static std::chrono::milliseconds KeyringWait(const TSession& session);
  TPasswordKeyring::TResult FetchPassword(TSession& session) const;
  // Writes the session's keys, its password into the keyring when one takes it (while
  // `keyringAnswers`; a keyring that does not answer is not asked again in the same save).
  void WriteSessionKeys(class TProfileFile& file, const TSession& session, bool& keyringAnswers) const;
  // Throws when a value cannot be written as one line.
  void CheckWritable(const TSession& session) const;

  std::shared_ptr<TPasswordKeyring> Keyring = PasswordKeyring();  // none: passwords stay in the file
  std::unique_ptr<QTimer> Timer;                                  // drives every countdown, one tick a second
  std::vector<std::unique_ptr<TSession>> Sessions;
  TSessionStatusEvent StatusHandler;
  TSessionRunEvent RunEventHandler;
  TSessionEditorFactory EditorFactory;
  TRunLedger FLedger;
};

// The reversible scrambling of stored passwords: four hexadecimal digits per character,
// groups in reverse order. UnscrambleText gives false for text that is not scrambled text.
std::string ScrambleText(const std::string& plain, const std::string& key);
bool UnscrambleText(const std::string& stored, const std::string& key, std::string& plain);
