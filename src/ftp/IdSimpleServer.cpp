#include "ftp/IdSimpleServer.h"

#include <chrono>

#include "ftp/IdException.h"
#include "ftp/IdIOHandlerTCP.h"

void TIdSimpleServer::BeginListen() {
  FListener.SetCanceller(FCanceller);
  if (!BoundIP.empty() && !IsNumericAddress(BoundIP)) throw EIdSocketError(WSAEINVAL);
  int rc = BoundIP.empty() ? FListener.Open() : FListener.Open(BoundIP);
  if (rc != 0) throw EIdSocketError(rc);
  rc = FListener.Bind(BoundIP, static_cast<uint16_t>(BoundPort));
  if (rc == 0) rc = FListener.Listen(15);
  uint16_t port = 0;
  std::string address;
  if (rc == 0) rc = FListener.LocalAddress(address, port);
  if (rc != 0) {
    FListener.Close();
    throw EIdSocketError(rc);
  }
  BoundPort = port;
}

void TIdSimpleServer::Listen(int ATimeout) {
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
    std::string peer;
    rc = stream.Accept(FListener, wait, peer);
    if (rc != 0 || AllowedPeerIP.empty() || peer == AllowedPeerIP) break;
    stream.Close();  // a stranger: not the server this transfer was announced to
  }
  FListener.Close();
  if (rc != 0) {
    FIOHandler.reset();
    RaiseSocketError(rc);
  }
  if (IOHandlerFactory) AdoptIOHandler(*IOHandlerFactory);
}
