#include "ftp/IdSimpleServer.h"

#include "ftp/IdException.h"

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
  int rc = CreateIOHandler().Accept(FListener, ATimeout);
  FListener.Close();
  if (rc != 0) {
    FIOHandler.reset();
    RaiseSocketError(rc);
  }
  if (IOHandlerFactory) AdoptIOHandler(*IOHandlerFactory);
}
