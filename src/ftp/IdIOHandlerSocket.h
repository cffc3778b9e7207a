#pragma once
// TIdIOHandlerSocket: the byte stream of one connection, control or data, and the only way
// the connections above it reach the network: connect, read with a time-out, wait until
// readable, write, shut down, close, and the addresses of both ends. TIdIOHandlerTCP is the
// plain TCP stream every connection starts with; a TIdIOHandlerFactory may put another
// stream over it (one that encrypts), which the connection then talks through.
//
// Results other than Open's are those of platform/Socket.h (0, kSocketTimedOut or a socket
// error number); the connection turns them into its exceptions. Owner thread only: the
// one cross-thread operation, TSocketCanceller::Cancel, works on the TCP socket underneath
// and so interrupts whatever stream runs over it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "ftp/IdComponent.h"

class TIdIOHandlerSocket : public TIdComponent {
 public:
  // Connects to AHost:APort from ABoundIP:ABoundPort (empty and 0: any), raising statuses 0
  // (unless AHost is a numeric address or "localhost") and 1 (for each address tried). A
  // host name may give IPv6 and IPv4 addresses: they are tried in the resolver's order
  // until one connects. ATimeout neither 0 nor -1: EIdConnectTimeout after that many ms
  // (per address), other failures as EIdConnectException; otherwise failures as
  // EIdSocketError. Closed again on failure.
  virtual void Open(const std::string& AHost, int APort, const std::string& ABoundIP, int ABoundPort, int ATimeout) = 0;
  virtual void Close() noexcept = 0;
  // Ends the connection both ways; the stream stays open until Close.
  virtual void Shutdown() noexcept = 0;
  virtual bool Connected() const = 0;

  // Until data (or the peer's close) can be read: 0, kSocketTimedOut or an error.
  virtual int WaitReadable(int ATimeoutMs) = 0;
  // Up to ALength bytes; AReceived 0 means the peer closed the connection.
  virtual int Receive(char* ABuffer, size_t ALength, int ATimeoutMs, size_t& AReceived) = 0;
  // All ALength bytes, waiting at most ATimeoutMs for each step of progress.
  virtual int Send(const char* AData, size_t ALength, int ATimeoutMs) = 0;
  // Marks the end of what this side sends, once all of it was sent, so that the peer can
  // tell a complete stream from a cut one: an encrypting stream sends its closing alert and
  // waits at most ATimeoutMs for the peer's. Plain TCP has nothing to add: closing the
  // socket is its end.
  virtual int Finish(int /*ATimeoutMs*/) { return 0; }

  // Numeric addresses of either family ("127.0.0.1", "::1").
  virtual int PeerAddress(std::string& AAddress, uint16_t& APort) const = 0;
  virtual int LocalAddress(std::string& AAddress, uint16_t& APort) const = 0;
};

// Decides the stream a connection talks through once it is connected or accepted. The
// connection hands over its stream and talks through the one it gets back: a factory that
// encrypts returns a stream running over the one it was given, after its handshake.
// A connection without a factory keeps its TCP stream.
class TIdIOHandlerFactory {
 public:
  virtual ~TIdIOHandlerFactory() = default;
  // Takes the connected AStream. Throws an EIdException when it cannot make a stream of it
  // (AStream, which it then owns, closes with it).
  virtual std::unique_ptr<TIdIOHandlerSocket> Adopt(std::unique_ptr<TIdIOHandlerSocket> AStream) = 0;
};
