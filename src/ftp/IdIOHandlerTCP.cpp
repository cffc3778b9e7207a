#include "ftp/IdIOHandlerTCP.h"

#include <vector>

#include "ftp/IdException.h"

void TIdIOHandlerTCP::Open(const std::string& AHost, int APort, const std::string& ABoundIP, int ABoundPort,
                           int ATimeout) {
  const bool withTimeout = ATimeout != 0 && ATimeout != -1;
  if (!ABoundIP.empty() && !IsNumericAddress(ABoundIP)) throw EIdSocketError(10049);
  std::vector<std::string> addresses;
  if (IsNumericAddress(AHost)) {
    ResolveHostAddresses(AHost, addresses);
  } else {
    DoStatus(StatusResolving, AHost);
    int rc = ResolveHostAddresses(AHost, addresses);
    if (rc != 0) throw EIdSocketError(rc);
  }
  for (size_t i = 0; i < addresses.size(); ++i) {
    const std::string& address = addresses[i];
    try {
      int rc = FSocket.Open(address);
      if (rc != 0) throw EIdSocketError(rc);
      if (!ABoundIP.empty() || ABoundPort != 0) {
        // A bound address of the other family cannot serve this one.
        if (!ABoundIP.empty() && IsIPv6Address(ABoundIP) != IsIPv6Address(address)) throw EIdSocketError(10049);
        rc = FSocket.Bind(ABoundIP, static_cast<uint16_t>(ABoundPort));
        if (rc != 0) throw EIdSocketError(rc);
      }
      DoStatus(StatusConnecting, address);
      if (APort < 0 || APort > 65535) throw EIdSocketError(10049);
      rc = FSocket.Connect(address, static_cast<uint16_t>(APort), withTimeout ? ATimeout : 0);
      if (rc == kSocketTimedOut) throw EIdConnectTimeout();
      if (rc != 0) {
        if (withTimeout) throw EIdConnectException(SocketErrorMessage(rc));
        throw EIdSocketError(rc);
      }
      return;
    } catch (const EIdException&) {
      FSocket.Close();
      // The next address may answer; a stop request or the last address ends the attempt.
      const bool cancelled = FSocket.Cancelled();
      if (i + 1 == addresses.size() || cancelled) throw;
    }
  }
}
