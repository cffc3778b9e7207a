#include "engine/SessionThreadUnit.h"

#include <algorithm>

#include "engine/RunActions.h"
#include "engine/RunContext.h"
#include "engine/TransferFunctions.h"
#include "engine/TransferPaths.h"
#include "platform/Errors.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "platform/Text.h"
#include "platform/VersionInfo.h"

namespace {

const std::string kCopyright = std::string("Copyright (C) ") + ProgramMaker + ". All rights reserved.";

std::string ProgramFileVersion() {
  TEPInfoExe info;
  info.ExeName = ExecutableName();
  info.LangId = "0C09";
  info.ReadInfo();
  return info.FileVersion();
}

std::string BoolText(bool Flag) { return Flag ? "Yes" : "No"; }

TRunSettings WithinBounds(TRunSettings ASettings) {
  ASettings.Retries = std::min(ASettings.Retries, MaxRetries);
  return ASettings;
}

}  // namespace

TSessionThread::TSessionThread(const TRunSettings& ASettings)
    : Settings(WithRateLimiter(WithinBounds(ASettings))), FRun(std::make_unique<TRunContext>(*this, Settings)) {}

TSessionThread::~TSessionThread() = default;

std::vector<std::string> TSessionThread::HeaderLines() const {
  return {
      "Zephlin v2 (" + ProgramFileVersion() + ") by " + ProgramMaker,
      kCopyright,
      "Test Commenced " + FormatShortDateLongTime(Now()),
      "",
      "Local Path: " + Settings.LocalPath,
      "Remote Path: " + Settings.RemotePath,
      "Session Mode: " + SessionModeKeyword(Settings.SessionMode),
      "Recurse: " + BoolText(Settings.Recurse),
      "Host: " + Settings.Host,
      "Username: " + Settings.UserName,
      "Timeout: " + std::to_string(Settings.Timeout),
      "Abort On Failure: " + BoolText(Settings.AbortOnFailure),
      "Passive Mode: " + BoolText(Settings.PassiveMode),
      "Crc File: " + Settings.CrcFile,
      "",
  };
}

void TSessionThread::WriteTestLog() {
  std::string content;
  for (const std::string& entry : TestLog) content += entry + "\r\n";
  try {
    // Written whole and renamed into place: runs that end together never interleave.
    WriteFileAtomic(StateDirectory() + "testlog.txt", content);
  } catch (const std::exception&) {
    // A log that cannot be written ends the run quietly; the session's end still runs.
  }
}

void TSessionThread::Execute() {
  TRunContext& run = *FRun;
  Outcome.Start = Now();
  Outcome.TestMode = Settings.TestMode;
  run.LogLines(HeaderLines());
  run.SendStatus("", "");
  run.OpenClient();
  run.LogLines({"Connecting to: " + Settings.Host});
  try {
    RunConnection();
    run.ReleaseClient();
  } catch (const std::exception& error) {
    run.ReleaseClient();
    run.ReportRunError(error);
  } catch (...) {
    run.ReleaseClient();
    run.ReportRunError(EZephlin("Unknown error"));
  }
  run.CloseOutcome();
  if (!Settings.TestMode && !Settings.DebugMode) return;
  run.LogLines({"", (Settings.TestMode ? "Test Completed: " : "Session Completed: ") + FormatShortDateLongTime(Now())});
  WriteTestLog();
}

void TSessionThread::RunConnection() {
  TRunContext& run = *FRun;
  // Before connecting: a run that cannot know where its files are does nothing at all.
  if (!IsAbsoluteLocalPath(Settings.LocalPath)) throw EZephlin("Local path must be absolute: " + Settings.LocalPath);
  TRemoteConnection& remote = run.Client();
  remote.Connect();
  run.MarkLoggedIn(true);
  if (!remote.Connected()) {
    run.NoteError("Connection failed");
    run.MarkRunFailed();
    run.SendStatus("", "Connection failed");
    run.LogLines({"Connection failed"});
    return;
  }
  run.LogLines(remote.LoginDescription());
  run.SettleRemotePath();
  TRunActions actions(run);
  actions.StartTransferPool();
  if (const TTransferFunction function = TransferFunctionOf(Settings.SessionMode)) function(run, actions);
  actions.FinishHandedTransfers();
  run.SendStatus("Disconnecting", "");
  remote.Disconnect();
  if (remote.Connected()) run.LogLines({"Disconnect failed"});
  run.SendStatus("", "Done");
}

void TSessionThread::Stop() { FRun->Stop(false); }

void TSessionThread::Cut() { FRun->Stop(true); }
