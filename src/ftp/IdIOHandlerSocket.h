#pragma once
// TIdIOHandlerSocket: the socket work of one connection. The connection creates and owns it
// when it connects and frees it when it disconnects. Owner thread only.

#include <cstdint>
#include <string>

#include "ftp/IdComponent.h"
#include "platform/Socket.h"

class TIdIOHandlerSocket : public TIdComponent {
 public:
  explicit TIdIOHandlerSocket(TSocketCanceller* canceller) : FSocket(canceller) {}

  // Opens a socket, binds it to ABoundIP/ABoundPort (empty and 0: any), resolves AHost
  // (status 0 unless it is a dotted address or "localhost"), raises status 1 and connects.
  // ATimeout neither 0 nor -1: EIdConnectTimeout after that many ms, other failures as
  // EIdConnectException; otherwise failures as EIdSocketError. Closes the socket on failure.
  void Open(const std::string& AHost, int APort, const std::string& ABoundIP, int ABoundPort,
            int ATimeout);
  void Close() noexcept { FSocket.Close(); }
  bool Connected() const { return FSocket.IsOpen(); }

  TSocket& Socket() { return FSocket; }

 private:
  TSocket FSocket;
};
