#pragma once
// TCP sockets (IPv4 and IPv6) for the FTP client, on POSIX sockets.
//
// Failures are returned, not thrown: every operation that can fail returns 0 on success,
// kSocketTimedOut when a wait with a limit ran out, or a socket error number in the 100xx range
// (errno mapped by SocketErrorFromErrno), so messages read the same on every platform.
// The FTP client turns them into its exceptions.
//
// Threads: a TSocket belongs to one thread. The one exception is TSocketCanceller::Cancel,
// which any thread may call at any time to make the owner's blocked and later socket
// operations return promptly with 10004 (used to stop a worker that waits on a server).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Socket error numbers used by name in the code.
enum : int {
  WSAEINTR = 10004,
  WSAEBADF = 10009,
  WSAEINVAL = 10022,
  WSAEWOULDBLOCK = 10035,
  WSAENOTSOCK = 10038,
  WSAEADDRINUSE = 10048,
  WSAECONNABORTED = 10053,
  WSAECONNRESET = 10054,
  WSAENOTCONN = 10057,
  WSAETIMEDOUT = 10060,
  WSAECONNREFUSED = 10061,
  WSAEHOSTUNREACH = 10065,
  WSAHOST_NOT_FOUND = 11001,
};

// Returned by a wait whose time limit ran out (not an error number).
constexpr int kSocketTimedOut = -1;

// errno -> socket error number (ECONNREFUSED -> 10061, ...); an unknown errno gives
// 10000 + errno so the number at least stays distinct.
int SocketErrorFromErrno(int err);
// The text of a socket error number ("Connection refused."); "" for an unknown number.
const char* SocketErrorText(int code);
// "Socket Error # <code>\r\n<text>".
std::string SocketErrorMessage(int code);

// IPv4 addresses in host byte order.
bool ParseIPv4(const std::string& text, uint32_t& address);  // dotted a.b.c.d only
std::string FormatIPv4(uint32_t address);

// Numeric addresses of either family as text: dotted IPv4 ("127.0.0.1") or IPv6 ("::1";
// also accepted in brackets, "[::1]", as it is written in URLs).
bool IsNumericAddress(const std::string& text);
bool IsIPv6Address(const std::string& text);
// The addresses to try for a host, in order: "localhost" in any case -> 127.0.0.1 without a
// lookup; a numeric address -> itself (without brackets); anything else -> every address
// getaddrinfo gives, IPv6 and IPv4, in its order, without repeats. Returns 0 or 11001.
int ResolveHostAddresses(const std::string& host, std::vector<std::string>& addresses);

// Lets another thread interrupt the sockets of one owner (a client and its data
// connections). Thread-safe. Once cancelled it stays cancelled until Reset().
class TSocketCanceller {
 public:
  // Shuts down every registered socket (blocked reads and writes return at once) and makes
  // every later wait fail with 10004. Safe from any thread, any number of times.
  void Cancel() noexcept;
  bool Cancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }
  // Only the owning thread, while none of its sockets is open.
  void Reset() noexcept { cancelled_.store(false, std::memory_order_release); }

 private:
  friend class TSocket;
  bool Register(int fd);  // false when already cancelled
  void CloseRegistered(int fd) noexcept;

  std::mutex mutex_;
  std::vector<int> fds_;
  std::atomic<bool> cancelled_{false};
};

class TSocket {
 public:
  explicit TSocket(TSocketCanceller* canceller = nullptr) : canceller_(canceller) {}
  ~TSocket() { Close(); }
  TSocket(const TSocket&) = delete;
  TSocket& operator=(const TSocket&) = delete;

  void SetCanceller(TSocketCanceller* canceller) { canceller_ = canceller; }
  // True once the socket's canceller was cancelled.
  bool Cancelled() const { return canceller_ && canceller_->Cancelled(); }

  int Open();  // a new IPv4 stream socket; closes any previous one
  // A new stream socket of the family of the numeric `address`; closes any previous one.
  int Open(const std::string& address);
  // A connected pair of local stream sockets, this one and `peer` (both closed first):
  // bytes written to one are read from the other. Lets a test or a fuzzer feed a connection
  // from memory without a network.
  int OpenPair(TSocket& peer);
  bool IsOpen() const { return fd_ >= 0; }
  void Close() noexcept;
  // Sends FIN both ways; the descriptor stays open until Close.
  void Shutdown() noexcept;
  // A second descriptor of the same connection, for a library that closes the descriptor it
  // is given; Shutdown and the canceller still cut it. -1 when closed or on failure.
  int DuplicateDescriptor() const;
  // Closes with a reset (RST) instead of an orderly close: the peer's next read or write
  // fails with 10054. For test servers that simulate a broken network.
  void Abort() noexcept;

  int Bind(uint32_t address, uint16_t port);  // 0 and 0: any address, any port
  // A numeric address of the socket's family; empty: any address of that family.
  int Bind(const std::string& address, uint16_t port);
  int Listen(int backlog);
  // timeoutMs <= 0 waits until the platform gives up. Polls in steps of 125 ms.
  int Connect(uint32_t address, uint16_t port, int timeoutMs);
  int Connect(const std::string& address, uint16_t port, int timeoutMs);  // numeric address
  // Accepts one connection into `client` (which must not be open). timeoutMs <= 0: no limit.
  // With `peer`, stores the address the connection came from (known even when the peer has
  // already reset it).
  int Accept(TSocket& client, int timeoutMs, std::string* peer = nullptr);

  // Waits until data (or the peer's close) can be read. 0, kSocketTimedOut or an error.
  int WaitReadable(int timeoutMs);
  // Receives up to `length` bytes; `received` 0 means the peer closed the connection.
  int Receive(char* buffer, size_t length, int timeoutMs, size_t& received);
  // Sends all `length` bytes, waiting at most timeoutMs for each step of progress.
  int Send(const char* buffer, size_t length, int timeoutMs);

  // The same for either family, the address as numeric text ("::1", "127.0.0.1").
  int LocalAddress(std::string& address, uint16_t& port) const;
  int PeerAddress(std::string& address, uint16_t& port) const;

 private:
  int Wait(short events, int timeoutMs);
  int ConnectTo(const void* address, unsigned length, int timeoutMs);
  int Adopt(int fd);

  int fd_ = -1;
  TSocketCanceller* canceller_ = nullptr;
};
