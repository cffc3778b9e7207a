#pragma once
// TFtpConnection: the FTP backend of the remote layer, the FTP client (ftp/IdFTP.h) behind
// TRemoteConnection. Every failure of the client leaves here as ERemoteError, its kind taken
// from one table (FtpFailureKind) and its text as the client words it, a refused reply's
// code first ("550 No such file").

#include <atomic>
#include <string>
#include <vector>

#include "ftp/IdException.h"
#include "ftp/IdFTP.h"
#include "ftp/IdFTPList.h"
#include "remote/RemoteConnection.h"
#include "remote/RemoteSettings.h"

// The kind of a failure of the FTP client. ACut: the connection was cut on purpose, so a
// broken socket is a cancellation rather than a loss.
TRemoteFailure FtpFailureKind(const EIdException& AError, bool ACut = false);
// The text reports show of a failure: "<code> <message>" for a refused reply, else the message.
std::string FtpFailureText(const std::exception& AError);
// A neutral listing from the FTP client's parsed one.
TRemoteListing NeutralListing(const TIdFTPListItems& AItems);

// Gives AClient the settings' host, port, login, time-outs and protection, then connects
// and logs in; the client's failure is thrown as it is.
void ConnectFtpClient(TIdFTP& AClient, const TRemoteSettings& ASettings);

class TFtpConnection : public TRemoteConnection {
 public:
  explicit TFtpConnection(const TRemoteSettings& ASettings);
  ~TFtpConnection() override;

  void Connect() override;
  bool Connected() const override { return FClient.IsConnected(); }
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
  void Send(const std::string& ALocalFile, const std::string& ARemoteName, int64_t AOffset) override;
  void Fetch(const TFetchRequest& ARequest) override;
  void RenameOver(const std::string& AFrom, const std::string& ATo) override;
  void SetTime(const std::string& AName, TDateTime AWhen) override;
  bool MaySetTime() const override;
  std::optional<TDateTime> ModificationTime(const std::string& AName) override;

 private:
  void AttachClientEvents();
  void TraceWire(TIdWireDirection ADirection, const std::string& ALine);
  void ListWithHiddenNames(const std::string& APath);
  // Runs AOperation on the client; its failures leave as ERemoteError.
  template <typename Operation>
  auto Translated(Operation&& AOperation) -> decltype(AOperation());

  const TRemoteSettings FSettings;
  TIdFTP FClient;
  std::atomic<bool> FCut{false};
  bool FTlsTraced = false;
};
