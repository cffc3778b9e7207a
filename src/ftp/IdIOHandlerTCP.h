#pragma once
// TIdIOHandlerTCP: the plain TCP stream of a connection, over one platform socket. The
// connection creates it and then connects it (Open), accepts into it (Accept) or pairs it
// with an in-memory peer (OpenPair). Owner thread only.

#include <cstddef>
#include <cstdint>
#include <string>

#include "ftp/IdIOHandlerSocket.h"
#include "platform/Socket.h"

class TIdIOHandlerTCP final : public TIdIOHandlerSocket {
 public:
  // ACanceller (may be null) interrupts the socket from another thread.
  explicit TIdIOHandlerTCP(TSocketCanceller* ACanceller) : FSocket(ACanceller) {}

  void Open(const std::string& AHost, int APort, const std::string& ABoundIP, int ABoundPort, int ATimeout) override;
  void Close() noexcept override { FSocket.Close(); }
  void Shutdown() noexcept override { FSocket.Shutdown(); }
  bool Connected() const override { return FSocket.IsOpen(); }

  int WaitReadable(int ATimeoutMs) override { return FSocket.WaitReadable(ATimeoutMs); }
  int Receive(char* ABuffer, size_t ALength, int ATimeoutMs, size_t& AReceived) override {
    return FSocket.Receive(ABuffer, ALength, ATimeoutMs, AReceived);
  }
  int Send(const char* AData, size_t ALength, int ATimeoutMs) override {
    return FSocket.Send(AData, ALength, ATimeoutMs);
  }

  int PeerAddress(std::string& AAddress, uint16_t& APort) const override {
    return FSocket.PeerAddress(AAddress, APort);
  }
  int LocalAddress(std::string& AAddress, uint16_t& APort) const override {
    return FSocket.LocalAddress(AAddress, APort);
  }

  // Takes the next connection waiting at AListener (ATimeoutMs ms, 0: no limit); the
  // stream takes the listener's canceller. APeer: where the connection came from.
  int Accept(TSocket& AListener, int ATimeoutMs, std::string& APeer) {
    return AListener.Accept(FSocket, ATimeoutMs, &APeer);
  }
  // Connects this stream to APeer without a network (see TSocket::OpenPair).
  int OpenPair(TSocket& APeer) { return FSocket.OpenPair(APeer); }

 private:
  TSocket FSocket;
};
