#include "remote/RemoteFactory.h"

#include "remote/ftp/FtpConnection.h"

std::unique_ptr<TRemoteConnection> MakeRemoteConnection(const TRemoteSettings& ASettings) {
  switch (ASettings.Protocol) {
    case TProtocol::Ftp: break;
    case TProtocol::Sftp: throw ERemoteError(TRemoteFailure::Refused, "SFTP is not available in this build");
  }
  return std::make_unique<TFtpConnection>(ASettings);
}
