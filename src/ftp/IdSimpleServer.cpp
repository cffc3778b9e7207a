#include "ftp/IdSimpleServer.h"

#include <chrono>

#include "ftp/IdException.h"
#include "ftp/IdIOHandlerTCP.h"

void TIdSimpleServer::BeginListen() {
  FListener.SetCanceller(FCanceller);
  int rc = FListener.Open();
  if (rc != 0) throw EIdSocketError(rc);
  uint32_t address = 0;
  if (!BoundIP.empty() && !ParseIPv4(BoundIP, address)) {
    FListener.Close();
    throw EIdSocketError(WSAEINVAL);
  }
  rc = FListener.Bind(address, static_cast<uint16_t>(BoundPort));
  if (rc == 0) rc = FListener.Listen(15);
  uint16_t port = 0;
  if (rc == 0) rc = FListener.LocalAddress(address, port);
  if (rc != 0) {
    FListener.Close();
    throw EIdSocketError(rc);
  }
  BoundPort = port;
}

void TIdSimpleServer::Listen(int ATimeout) {
  uint32_t allowed = 0;
  if (!AllowedPeerIP.empty() && !ParseIPv4(AllowedPeerIP, allowed)) RaiseSocketError(WSAEINVAL);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeout);
  TIdIOHandlerTCP& stream = CreateIOHandler();
  int rc = 0;
  for (;;) {
    int wait = 0;  // no limit
    if (ATimeout > 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      wait = static_cast<int>(left.count());
      if (wait <= 0) {
        rc = kSocketTimedOut;
        break;
      }
    }
    uint32_t peer = 0;
    rc = stream.Accept(FListener, wait, peer);
    if (rc != 0 || AllowedPeerIP.empty() || peer == allowed) break;
    stream.Close();  // a stranger: not the server this transfer was announced to
  }
  FListener.Close();
  if (rc != 0) {
    FIOHandler.reset();
    RaiseSocketError(rc);
  }
  if (IOHandlerFactory) AdoptIOHandler(*IOHandlerFactory);
}
