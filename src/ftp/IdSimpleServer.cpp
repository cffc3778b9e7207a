#include "ftp/IdSimpleServer.h"

#include "ftp/IdException.h"

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
  int rc = CreateIOHandler().Accept(FListener, ATimeout);
  FListener.Close();
  if (rc != 0) {
    FIOHandler.reset();
    RaiseSocketError(rc);
  }
  if (IOHandlerFactory) AdoptIOHandler(*IOHandlerFactory);
}
