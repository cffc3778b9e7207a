#pragma once
// The remote-state record of a "syncremotetolocal" run (RemoteState.h) as the run uses it:
// loaded under the CRC store's lock before the walk and saved however it ends (not in test
// mode); the level's clock shift, the verdict on each changed-file candidate, the record of
// each fetch, and the offset of a server's LIST times. Worker thread.

#include <functional>
#include <optional>
#include <string>

#include "engine/RemoteState.h"
#include "engine/RunContext.h"

class TRunActions;

class TSyncDownRecord {
 public:
  explicit TSyncDownRecord(TRunContext& ARun) : FRun(ARun) {}
  // Runs AWalk with the record (without one when the session has no CRC file name), and
  // waits for the handed transfers before the record is saved.
  void Around(TRunActions& AActions, const std::function<void()>& AWalk);
  // Whether the record names AName in ARemoteDir (it was listed there before).
  bool Recorded(const std::string& ARemoteDir, const std::string& AName) const;
  // The clock shift of ARemoteDir's listing against the record, logged when there is one.
  std::optional<TDateTime> RecordedClockShift(const std::string& ARemoteDir, const TRemoteListing& AListing);
  // Whether the listed AItem is fetched again over ALocalFile: by the record while the local
  // file is as the fetch left it, else by its time (ALocalTime, ARemoteTime, for the log); a
  // file found the same is recorded.
  bool FetchAgain(const std::string& ARemoteDir, const TRemoteEntry& AItem, const std::string& ALocalFile,
                  std::optional<TDateTime> AShift, TDateTime& ALocalTime, TDateTime& ARemoteTime);
  // What records a fetch of AItem in the current remote directory once it is done.
  std::function<void()> RecordFetchOf(const std::string& ARemoteName, const std::string& ALocalFile,
                                      const TRemoteEntry& AItem);
  void ForgetRecord(const std::string& ARemoteDir, const std::string& AName);

 private:
  std::string RecordKey(const std::string& ARemoteDir, const std::string& AName) const;
  void RecordLocalFile(const std::string& AKey, const TListedState& AListed, const std::string& ALocalFile);
  // How far a server's LIST times are from the true time, learnt once per run with MDTM of
  // the first file that needs it (0 when the server does not say); logged.
  TDateTime ServerListingOffset(const TRemoteEntry& AItem);

  TRunContext& FRun;
  TRemoteState FRemoteState;
  bool FRecording = false;  // this run keeps the record
  std::optional<TDateTime> FListingOffset;
};
