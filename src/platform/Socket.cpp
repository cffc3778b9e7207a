#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/Text.h"

namespace {

constexpr int kPollStepMs = 125;

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  return sa;
}

using Clock = std::chrono::steady_clock;

std::string WithoutBrackets(const std::string& text) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') return text.substr(1, text.size() - 2);
  return text;
}

// A numeric address of either family (and port) as a socket address; false when `text` is
// not one. Scope ids ("fe80::1%eth0") are understood.
bool ToSocketAddress(const std::string& text, uint16_t port, sockaddr_storage& sa, socklen_t& length) {
  const std::string address = WithoutBrackets(text);
  if (address.empty()) return false;
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (getaddrinfo(address.c_str(), nullptr, &hints, &result) != 0 || !result) return false;
  std::memcpy(&sa, result->ai_addr, result->ai_addrlen);
  length = result->ai_addrlen;
  freeaddrinfo(result);
  if (sa.ss_family == AF_INET)
    reinterpret_cast<sockaddr_in&>(sa).sin_port = htons(port);
  else
    reinterpret_cast<sockaddr_in6&>(sa).sin6_port = htons(port);
  return true;
}

std::string FormatSocketAddress(const sockaddr_storage& sa, uint16_t& port) {
  char text[INET6_ADDRSTRLEN] = "";
  if (sa.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(sa);
    ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    port = ntohs(v6.sin6_port);
  } else {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(sa);
    ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    port = ntohs(v4.sin_port);
  }
  return text;
}

int LastSocketError() { return SocketErrorFromErrno(errno); }

}  // namespace

int SocketErrorFromErrno(int err) {
  switch (err) {
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES:
    case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE:
    case ENFILE: return 10024;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK: return 10035;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET:
    case EPIPE: return 10054;
    case ENOBUFS:
    case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    default: return 10000 + err;
  }
}

const char* SocketErrorText(int code) {
  switch (code) {
    case 10004: return "Interrupted system call.";
    case 10009: return "Bad file number.";
    case 10013: return "Access denied.";
    case 10014: return "Bad address.";
    case 10022: return "Invalid argument.";
    case 10024: return "Too many open files.";
    case 10035: return "Operation would block. ";
    case 10036: return "Operation now in progress.";
    case 10037: return "Operation already in progress.";
    case 10038: return "Socket operation on non-socket.";
    case 10039: return "Destination address required.";
    case 10040: return "Message too long.";
    case 10041: return "Protocol wrong type for socket.";
    case 10042: return "Bad protocol option.";
    case 10043: return "Protocol not supported.";
    case 10044: return "Socket type not supported.";
    case 10045: return "Operation not supported on socket.";
    case 10046: return "Protocol family not supported.";
    case 10047: return "Address family not supported by protocol family.";
    case 10048: return "Address already in use.";
    case 10049: return "Cannot assign requested address.";
    case 10050: return "Network is down.";
    case 10051: return "Network is unreachable.";
    case 10052: return "Net dropped connection or reset.";
    case 10053: return "Software caused connection abort.";
    case 10054: return "Connection reset by peer.";
    case 10055: return "No buffer space available.";
    case 10056: return "Socket is already connected.";
    case 10057: return "Socket is not connected.";
    case 10058: return "Cannot send or receive after socket is closed.";
    case 10059: return "Too many references, cannot splice.";
    case 10060: return "Connection timed out.";
    case 10061: return "Connection refused.";
    case 10062: return "Too many levels of symbolic links.";
    case 10063: return "File name too long.";
    case 10064: return "Host is down.";
    case 10065: return "No route to host.";
    case 10066: return "Directory not empty";
    case 11001: return "Host not found.";
    default: return "";
  }
}

std::string SocketErrorMessage(int code) {
  return "Socket Error # " + std::to_string(code) + "\r\n" + SocketErrorText(code);
}

bool ParseIPv4(const std::string& text, uint32_t& address) {
  uint32_t result = 0;
  int parts = 0;
  size_t i = 0;
  while (parts < 4) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    unsigned value = 0;
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
      if (++digits > 3 || value > 255) return false;
      ++i;
    }
    result = (result << 8) | value;
    ++parts;
    if (parts < 4) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
  }
  if (i != text.size()) return false;
  address = result;
  return true;
}

std::string FormatIPv4(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 255u, (address >> 16) & 255u, (address >> 8) & 255u,
                address & 255u);
  return text;
}

namespace {

bool IsLocalhost(const std::string& host) { return SameTextIgnoringCase(host, "localhost"); }

}  // namespace

bool IsIPv6Address(const std::string& text) {
  in6_addr ignored{};
  return ::inet_pton(AF_INET6, WithoutBrackets(text).c_str(), &ignored) == 1;
}

bool IsNumericAddress(const std::string& text) {
  uint32_t ignored = 0;
  return ParseIPv4(text, ignored) || IsIPv6Address(text);
}

int ResolveHostAddresses(const std::string& host, std::vector<std::string>& addresses) {
  addresses.clear();
  if (IsLocalhost(host)) {
    addresses.push_back("127.0.0.1");
    return 0;
  }
  if (IsNumericAddress(host)) {
    addresses.push_back(WithoutBrackets(host));
    return 0;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result) return WSAHOST_NOT_FOUND;
  for (addrinfo* ai = result; ai; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    sockaddr_storage sa{};
    std::memcpy(&sa, ai->ai_addr, ai->ai_addrlen);
    uint16_t ignored = 0;
    std::string text = FormatSocketAddress(sa, ignored);
    if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) addresses.push_back(text);
  }
  freeaddrinfo(result);
  return addresses.empty() ? WSAHOST_NOT_FOUND : 0;
}

// ---------------------------------------------------------------------------------------
// TSocketCanceller

void TSocketCanceller::Cancel() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  cancelled_.store(true, std::memory_order_release);
  for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
}

bool TSocketCanceller::Register(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (cancelled_.load(std::memory_order_acquire)) return false;
  fds_.push_back(fd);
  return true;
}

void TSocketCanceller::CloseRegistered(int fd) noexcept {
  // Under the lock, so that Cancel never shuts down a descriptor number already reused.
  std::lock_guard<std::mutex> lock(mutex_);
  fds_.erase(std::remove(fds_.begin(), fds_.end(), fd), fds_.end());
  ::close(fd);
}

// ---------------------------------------------------------------------------------------
// TSocket

int TSocket::Adopt(int fd) {
  if (canceller_ && !canceller_->Register(fd)) {
    ::close(fd);
    return WSAEINTR;
  }
  // Small writes go out at once: a TLS close alert right after the last data record would
  // otherwise wait for the peer's delayed acknowledgement. Pairs of local sockets ignore it.
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  fd_ = fd;
  return 0;
}

int TSocket::Open() {
  Close();
  if (canceller_ && canceller_->Cancelled()) return WSAEINTR;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return LastSocketError();
  return Adopt(fd);
}

int TSocket::Open(const std::string& address) {
  Close();
  if (canceller_ && canceller_->Cancelled()) return WSAEINTR;
  sockaddr_storage sa{};
  socklen_t length = 0;
  if (!ToSocketAddress(address, 0, sa, length)) return WSAEINVAL;
  int fd = ::socket(sa.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return LastSocketError();
  return Adopt(fd);
}

int TSocket::OpenPair(TSocket& peer) {
  Close();
  peer.Close();
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) return LastSocketError();
  const int rc = Adopt(fds[0]);
  if (rc != 0) {
    ::close(fds[1]);
    return rc;
  }
  return peer.Adopt(fds[1]);
}

void TSocket::Close() noexcept {
  if (fd_ < 0) return;
  if (canceller_)
    canceller_->CloseRegistered(fd_);
  else
    ::close(fd_);
  fd_ = -1;
}

void TSocket::Shutdown() noexcept {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

int TSocket::DuplicateDescriptor() const {
  if (fd_ < 0) return -1;
  return ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
}

void TSocket::Abort() noexcept {
  if (fd_ < 0) return;
  const linger immediately{1, 0};  // a zero linger time makes close() send RST
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &immediately, sizeof immediately);
  Close();
}

int TSocket::Bind(uint32_t address, uint16_t port) {
  if (fd_ < 0) return WSAENOTSOCK;
  sockaddr_in sa = MakeAddress(address, port);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return LastSocketError();
  return 0;
}

int TSocket::Bind(const std::string& address, uint16_t port) {
  if (fd_ < 0) return WSAENOTSOCK;
  sockaddr_storage sa{};
  socklen_t length = 0;
  if (address.empty()) {
    int family = AF_INET;
    socklen_t size = sizeof family;
    if (::getsockopt(fd_, SOL_SOCKET, SO_DOMAIN, &family, &size) != 0) return LastSocketError();
    if (!ToSocketAddress(family == AF_INET6 ? "::" : "0.0.0.0", port, sa, length)) return WSAEINVAL;
  } else if (!ToSocketAddress(address, port, sa, length)) {
    return WSAEINVAL;
  }
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), length) != 0) return LastSocketError();
  return 0;
}

int TSocket::Listen(int backlog) {
  if (fd_ < 0) return WSAENOTSOCK;
  if (::listen(fd_, backlog) != 0) return LastSocketError();
  return 0;
}

int TSocket::Wait(short events, int timeoutMs) {
  if (fd_ < 0) return WSAENOTSOCK;
  const bool limited = timeoutMs > 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(limited ? timeoutMs : 0);
  for (;;) {
    if (canceller_ && canceller_->Cancelled()) return WSAEINTR;
    int step = kPollStepMs;
    if (limited) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return kSocketTimedOut;
      // Round up so that a short remainder still waits instead of spinning.
      step = static_cast<int>(std::min<long long>(left + 1, kPollStepMs));
    }
    pollfd p{fd_, events, 0};
    int n = ::poll(&p, 1, step);
    if (n > 0) return 0;  // ready, or an error/hang-up the next call will report
    if (n < 0 && errno != EINTR) return LastSocketError();
  }
}

int TSocket::Connect(uint32_t address, uint16_t port, int timeoutMs) {
  if (fd_ < 0) return WSAENOTSOCK;
  sockaddr_in sa = MakeAddress(address, port);
  return ConnectTo(&sa, sizeof sa, timeoutMs);
}

int TSocket::Connect(const std::string& address, uint16_t port, int timeoutMs) {
  if (fd_ < 0) return WSAENOTSOCK;
  sockaddr_storage sa{};
  socklen_t length = 0;
  if (!ToSocketAddress(address, port, sa, length)) return WSAEINVAL;
  return ConnectTo(&sa, length, timeoutMs);
}

int TSocket::ConnectTo(const void* address, unsigned length, int timeoutMs) {
  if (::connect(fd_, static_cast<const sockaddr*>(address), length) == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) return LastSocketError();
  int rc = Wait(POLLOUT, timeoutMs);
  if (rc != 0) return rc;
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return LastSocketError();
  if (error != 0) return SocketErrorFromErrno(error);
  if (canceller_ && canceller_->Cancelled()) return WSAEINTR;
  return 0;
}

int TSocket::Accept(TSocket& client, int timeoutMs, std::string* peer) {
  if (fd_ < 0) return WSAENOTSOCK;
  for (;;) {
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      uint16_t port = 0;
      if (peer != nullptr) *peer = FormatSocketAddress(from, port);
      client.Close();
      client.canceller_ = canceller_;
      return client.Adopt(fd);
    }
    if (canceller_ && canceller_->Cancelled()) return WSAEINTR;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) return LastSocketError();
    int rc = Wait(POLLIN, timeoutMs);
    if (rc != 0) return rc;
  }
}

int TSocket::WaitReadable(int timeoutMs) { return Wait(POLLIN, timeoutMs); }

int TSocket::Receive(char* buffer, size_t length, int timeoutMs, size_t& received) {
  received = 0;
  if (fd_ < 0) return WSAENOTSOCK;
  for (;;) {
    ssize_t n = ::recv(fd_, buffer, length, 0);
    if (n > 0) {
      received = static_cast<size_t>(n);
      return 0;
    }
    if (canceller_ && canceller_->Cancelled()) return WSAEINTR;
    if (n == 0) return 0;
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return LastSocketError();
    int rc = Wait(POLLIN, timeoutMs);
    if (rc != 0) return rc;
  }
}

int TSocket::Send(const char* buffer, size_t length, int timeoutMs) {
  if (fd_ < 0) return WSAENOTSOCK;
  while (length > 0) {
    ssize_t n = ::send(fd_, buffer, length, MSG_NOSIGNAL);
    if (n > 0) {
      buffer += n;
      length -= static_cast<size_t>(n);
      continue;
    }
    if (canceller_ && canceller_->Cancelled()) return WSAEINTR;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return LastSocketError();
    int rc = Wait(POLLOUT, timeoutMs);
    if (rc != 0) return rc;
  }
  return 0;
}

int TSocket::LocalAddress(std::string& address, uint16_t& port) const {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  if (fd_ < 0) return WSAENOTSOCK;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return LastSocketError();
  address = FormatSocketAddress(sa, port);
  return 0;
}

int TSocket::PeerAddress(std::string& address, uint16_t& port) const {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  if (fd_ < 0) return WSAENOTSOCK;
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return LastSocketError();
  address = FormatSocketAddress(sa, port);
  return 0;
}
