#include "ftp/IdTCPClient.h"

#include "ftp/IdException.h"

void TIdTCPClient::Connect(int ATimeout) {
  if (Connected()) throw EIdAlreadyConnected();
  TIdIOHandlerTCP& stream = CreateIOHandler();
  try {
    stream.Open(Host, Port, BoundIP, BoundPort, ATimeout);
    if (IOHandlerFactory) AdoptIOHandler(*IOHandlerFactory);
    DoStatus(StatusConnected);
    if (OnConnected) OnConnected(this);
  } catch (...) {
    FIOHandler.reset();
    throw;
  }
}
