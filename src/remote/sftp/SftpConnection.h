#pragma once
// TSftpConnection: the remote interface over SFTP (version 3) on an SSH connection. There is
// no working directory on the server: the connection keeps the one last entered and makes
// every bare name absolute with it. The login folder (REALPATH ".") is where it starts.
//
// Links are never followed: listings give their kind from the server's own attributes,
// and a directory is entered only when it is one itself, not through a link.

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "remote/RemoteConnection.h"
#include "remote/RemoteSettings.h"
#include "remote/sftp/SftpClient.h"
#include "remote/sftp/SshTransport.h"

class TTransferFile;

class TSftpConnection : public TRemoteConnection {
 public:
  explicit TSftpConnection(const TRemoteSettings& ASettings);
  ~TSftpConnection() override;

  void Connect() override;
  bool Connected() const override;
  void Disconnect() override;
  void Cut() noexcept override;
  std::vector<std::string> LoginDescription() const override;
  TRemoteIdentity ServerIdentity() const override;
  TRemoteCapabilities Capabilities() override;

  void ChangeDirectory(const std::string& ADirectory) override;
  std::string WorkingDirectory() override;
  TRemoteListing List(const TListRequest& ARequest) override;
  void MakeDirectory(const std::string& ADirectory) override;
  void RemoveDirectory(const std::string& ADirectory) override;
  void DeleteFile(const std::string& AName) override;
  void Send(const std::string& ALocalFile, const std::string& ARemoteName, int64_t AOffset = 0) override;
  void Fetch(const TFetchRequest& ARequest) override;
  void RenameOver(const std::string& AFrom, const std::string& ATo) override;
  void SetTime(const std::string& AName, TDateTime AWhen) override;
  bool MaySetTime() const override { return FTimesRefusal.empty(); }
  std::string TimesRefusal() const override { return FTimesRefusal; }

  // The absolute form of a name: as it is when it begins with "/", else in the directory
  // last entered; "." and ".." parts are resolved by name, never by the server.
  static std::string JoinPath(const std::string& ADirectory, const std::string& AName);

 private:
  template <typename Operation>
  auto Translated(Operation&& AOperation) -> decltype(AOperation());
  std::string Absolute(const std::string& AName) const { return JoinPath(FDirectory, AName); }
  // Receives ARemote from AOffset on into AFile, but for its first bytes, which must equal
  // AKept (else EResumeMismatch); returns where the file ended.
  uint64_t Receive(const std::string& ARemote, TTransferFile& AFile, uint64_t AOffset, int64_t AExpected,
                   const std::string& AKept);
  // Continues APartial of ARequest from ARestartAt (0: from the start); returns the size it came to.
  uint64_t ContinueInto(const TFetchRequest& ARequest, TTransferFile& AFile, int64_t ARestartAt);
  void FetchWhole(const TFetchRequest& ARequest);
  void FetchResumable(const TFetchRequest& ARequest);
  void Trace(const std::string& ALine);
  // Waits until the run's rate limit (if any) allows ABytes more.
  void Pace(size_t ABytes);
  // The time an upload of ALocalFile gives the remote file: its own, to the second; none once
  // the server refused a time on this connection (it is not asked again; the uploads stand).
  std::optional<sftp::TUploadTime> LocalTimeFor(const std::string& ALocalFile) const;

  TRemoteSettings FSettings;
  sftp::TSshTransport FTransport;
  std::unique_ptr<sftp::TSftpClient> FClient;
  std::string FDirectory = "/";
  std::atomic<bool> FCut{false};
  // The file the last upload gave its time, under the name it has now, and that time.
  struct TStamp {
    std::string Path;
    uint32_t Seconds = 0;
  };
  TStamp FLastStamp;
  std::string FTimesRefusal;  // what the server said when it refused a time
};
