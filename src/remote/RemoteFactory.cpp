#include "remote/RemoteFactory.h"

#include "remote/ftp/FtpConnection.h"
#include "remote/sftp/SftpConnection.h"

std::unique_ptr<TRemoteConnection> MakeRemoteConnection(const TRemoteSettings& ASettings) {
  switch (ASettings.Protocol) {
    case TProtocol::Ftp: break;
    case TProtocol::Sftp: return std::make_unique<TSftpConnection>(ASettings);
  }
  return std::make_unique<TFtpConnection>(ASettings);
}
