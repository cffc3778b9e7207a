#include "ftp/IdTCPClient.h"

#include "ftp/IdException.h"

void TIdTCPClient::Connect(int ATimeout) {
  if (Connected()) throw EIdAlreadyConnected();
  TIdIOHandlerSocket& handler = CreateIOHandler();
  try {
    handler.Open(Host, Port, BoundIP, BoundPort, ATimeout);
    DoStatus(StatusConnected);
    if (OnConnected) OnConnected(this);
  } catch (...) {
    FIOHandler.reset();
    throw;
  }
}
