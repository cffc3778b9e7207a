#pragma once
// TIdIOHandlerTLS: a TLS stream (client side) over another, already connected stream. The
// encrypted bytes go through the inner stream's Receive and Send, so its time-outs and its
// canceller (TIdFTP::ShutdownSocket) work unchanged underneath.
//
// Made by TIdTLSClient, which configures the session and runs Handshake before the stream
// is used. Results are those of TIdIOHandlerSocket: a failure of the inner stream keeps its
// own number (kSocketTimedOut, 10054, 10004, ...); a peer that hangs up without its closing
// alert gives 10054 (the data may have been cut off), a TLS protocol failure 10053
// (connection aborted). Owner thread only.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "ftp/IdIOHandlerSocket.h"

struct ssl_st;

class TIdIOHandlerTLS final : public TIdIOHandlerSocket {
 public:
  // Takes the connected AInner and the configured ASSL (both owned).
  TIdIOHandlerTLS(std::unique_ptr<TIdIOHandlerSocket> AInner, ssl_st* ASSL);
  ~TIdIOHandlerTLS() override;

  // Runs the client handshake, waiting at most ATimeoutMs (0: no limit) for each step.
  // Empty when it succeeded, else why it failed.
  std::string Handshake(int ATimeoutMs);
  ssl_st* SSL() const { return FSSL; }

  // Already connected when made: Open only fails (EIdAlreadyConnected).
  void Open(const std::string& AHost, int APort, const std::string& ABoundIP, int ABoundPort, int ATimeout) override;
  // Closes without the closing alert: a stream ended by Close alone reads as cut off.
  void Close() noexcept override { FInner->Close(); }
  void Shutdown() noexcept override { FInner->Shutdown(); }
  bool Connected() const override { return FInner->Connected(); }

  int WaitReadable(int ATimeoutMs) override;
  // AReceived 0: the peer closed the stream with its closing alert (close_notify).
  int Receive(char* ABuffer, size_t ALength, int ATimeoutMs, size_t& AReceived) override;
  int Send(const char* AData, size_t ALength, int ATimeoutMs) override;
  // Sends the closing alert (once), then awaits the peer's (see AwaitPeerClose).
  int Finish(int ATimeoutMs) override;

  int PeerAddress(std::string& AAddress, uint16_t& APort) const override {
    return FInner->PeerAddress(AAddress, APort);
  }
  int LocalAddress(std::string& AAddress, uint16_t& APort) const override {
    return FInner->LocalAddress(AAddress, APort);
  }

  // For the bridge between OpenSSL and the inner stream (IdIOHandlerTLS.cpp).
  int InnerReceive(char* ABuffer, size_t ALength, size_t& AReceived);
  int InnerSend(const char* AData, size_t ALength);

 private:
  // The result of a failed OpenSSL call, from what the inner stream last reported.
  int FailureCode(int ASSLResult);
  // After the closing alert was sent: reads until the peer's own closing alert or its
  // hang-up, so that the connection ends cleanly and what the peer sent meanwhile (tickets
  // among it) is taken. For at most ATimeoutMs and never long: a peer that keeps silent
  // or keeps sending is no failure, the data having all been sent.
  void AwaitPeerClose(int ATimeoutMs);

  std::unique_ptr<TIdIOHandlerSocket> FInner;
  ssl_st* FSSL = nullptr;
  int FTimeoutMs = 0;        // of the OpenSSL call in progress
  int FInnerError = 0;       // the inner stream's last failure, 0 when none
  bool FInnerEnded = false;  // the peer closed the TCP connection
};
