#pragma once
// TIdSimpleServer: listens on one port and accepts one connection, which it then is (the
// data connection of active mode). Owner thread only.

#include <cstdint>
#include <string>

#include "ftp/IdTCPConnection.h"
#include "platform/Socket.h"

class TIdSimpleServer : public TIdTCPConnection {
 public:
  std::string BoundIP;  // numeric address (IPv4 or IPv6) to listen on; empty: any IPv4
  int BoundPort = 0;    // 0: any free port
  // The only address a connection is taken from; empty: any. Connections from elsewhere
  // are closed at once and the wait goes on: a port announced to the server is open to
  // anyone who finds it.
  std::string AllowedPeerIP;

  // Binds and listens (backlog 15); BoundPort then holds the chosen port.
  void BeginListen();
  // Waits for one connection from AllowedPeerIP (ATimeout ms in all, 0 without limit:
  // EIdReadTimeout), accepts it, closes the listening socket, and hands the stream to
  // IOHandlerFactory when set.
  void Listen(int ATimeout = 0);
  void EndListen() noexcept { FListener.Close(); }

 private:
  TSocket FListener;
};
