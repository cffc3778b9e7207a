#include "ftp/IdIOHandlerTCP.h"

#include "ftp/IdException.h"

void TIdIOHandlerTCP::Open(const std::string& AHost, int APort, const std::string& ABoundIP,
                           int ABoundPort, int ATimeout) {
  const bool withTimeout = ATimeout != 0 && ATimeout != -1;
  try {
    int rc = FSocket.Open();
    if (rc != 0) throw EIdSocketError(rc);
    if (!ABoundIP.empty() || ABoundPort != 0) {
      uint32_t bound = 0;
      if (!ABoundIP.empty() && !ParseIPv4(ABoundIP, bound)) throw EIdSocketError(10049);
      rc = FSocket.Bind(bound, static_cast<uint16_t>(ABoundPort));
      if (rc != 0) throw EIdSocketError(rc);
    }
    uint32_t address = 0;
    if (!ParseIPv4(AHost, address)) {
      DoStatus(StatusResolving, AHost);
      rc = ResolveHost(AHost, address);
      if (rc != 0) throw EIdSocketError(rc);
    }
    DoStatus(StatusConnecting, FormatIPv4(address));
    if (APort < 0 || APort > 65535) throw EIdSocketError(10049);
    rc = FSocket.Connect(address, static_cast<uint16_t>(APort), withTimeout ? ATimeout : 0);
    if (rc == kSocketTimedOut) throw EIdConnectTimeout();
    if (rc != 0) {
      if (withTimeout) throw EIdConnectException(SocketErrorMessage(rc));
      throw EIdSocketError(rc);
    }
  } catch (...) {
    FSocket.Close();
    throw;
  }
}
