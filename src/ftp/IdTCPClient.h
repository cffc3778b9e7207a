#pragma once
// TIdTCPClient: a connection that connects to Host:Port. Owner thread only.

#include <string>

#include "ftp/IdTCPConnection.h"

class TIdTCPClient : public TIdTCPConnection {
 public:
  std::string Host;  // host name or dotted IPv4 address
  int Port = 21;
  std::string BoundIP;  // local address to bind; empty: any
  int BoundPort = 0;    // local port to bind; 0: any

  // EIdAlreadyConnected when connected; then opens the socket handler and connects
  // (statuses 0, 1, 2, OnConnected), the stream going through IOHandlerFactory when set
  // before status 2. ATimeout neither 0 nor -1: a connect time-out in ms.
  // On failure the socket is closed and the error propagates.
  void Connect(int ATimeout = 0);
};
