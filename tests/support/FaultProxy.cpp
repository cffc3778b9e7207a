#include "support/FaultProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <stdexcept>

namespace {

constexpr int kPollMs = 50;

// Sends never block the proxy for long, and lines go out at once (passed on line by line,
// replies would otherwise wait for the peer's delayed acknowledgement).
void TuneSocket(int fd) {
  timeval timeout{0, 200 * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int ListenOnLoopback(int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("FaultProxy: cannot listen");
  }
  port = ntohs(address.sin_port);
  return fd;
}

int ConnectTo(const std::string& host, int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  TuneSocket(fd);
  return fd;
}

// Waits for a connection on listener while keepWaiting() holds; -1 when none came.
template <typename KeepWaiting>
int AcceptWhile(int listener, KeepWaiting keepWaiting) {
  while (keepWaiting()) {
    pollfd entry{listener, POLLIN, 0};
    if (::poll(&entry, 1, kPollMs) <= 0) continue;
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      TuneSocket(fd);
      return fd;
    }
  }
  return -1;
}

bool SendAll(int fd, const char* data, size_t length, const std::atomic<bool>& stopping) {
  while (length > 0) {
    const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
    if (sent < 0) {
      if ((errno == EAGAIN || errno == EINTR) && !stopping) continue;
      return false;
    }
    data += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

// Closes with RST: the peer's next read fails with "connection reset".
void Reset(int fd) {
  linger option{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
  ::close(fd);
}

// Takes the complete lines (up to LF) out of buffer.
std::vector<std::string> TakeLines(std::string& buffer) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t lf = buffer.find('\n'); lf != std::string::npos; lf = buffer.find('\n', start)) {
    lines.push_back(buffer.substr(start, lf + 1 - start));
    start = lf + 1;
  }
  buffer.erase(0, start);
  return lines;
}

bool IsTransferCommand(const std::string& command) {
  for (const char* verb : {"RETR", "STOR", "APPE", "STOU", "LIST", "NLST", "MLSD"})
    if (command.starts_with(verb)) return true;
  return false;
}

std::string WithoutLineEnd(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

}  // namespace

// What the threads of one control connection share.
struct FaultProxy::Control {
  std::mutex mutex;
  std::condition_variable changed;
  int pasvs = 0;                                       // PASV replies passed on so far; each makes one data connection
  int transferPasv = 0;                                // the PASV of the last transfer command the client sent
  std::map<int, const FaultProxy::Fault*> dataFaults;  // by the PASV of their transfer
  bool closed = false;
};

FaultProxy::FaultProxy(const std::string& host, int port, std::vector<Fault> faults)
    : host_(host), serverPort_(port), faults_(std::move(faults)), counts_(faults_.size(), 0) {
  listener_ = ListenOnLoopback(port_);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

FaultProxy::~FaultProxy() { stop(); }

void FaultProxy::stop() {
  stopping_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  for (;;) {
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(mutex_);
      threads.swap(threads_);
    }
    if (threads.empty()) break;
    for (std::thread& thread : threads) thread.join();
  }
  if (listener_ >= 0) ::close(listener_);
  listener_ = -1;
}

std::vector<std::string> FaultProxy::commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

void FaultProxy::spawn(std::thread thread) {
  std::lock_guard lock(mutex_);
  threads_.push_back(std::move(thread));
}

const FaultProxy::Fault* FaultProxy::faultFor(const std::string& command) {
  std::lock_guard lock(mutex_);
  commands_.push_back(command);
  const Fault* played = nullptr;
  for (size_t i = 0; i < faults_.size(); ++i) {
    if (command.compare(0, faults_[i].Command.size(), faults_[i].Command) != 0) continue;
    if (++counts_[i] == faults_[i].Occurrence && played == nullptr) played = &faults_[i];
  }
  if (played) ++faultsPlayed_;
  return played;
}

void FaultProxy::acceptLoop() {
  for (;;) {
    const int client = AcceptWhile(listener_, [this] { return !stopping_; });
    if (client < 0) return;
    ++connections_;
    spawn(std::thread([this, client] { runControl(client); }));
  }
}

void FaultProxy::runControl(int client) {
  auto control = std::make_shared<Control>();
  const int server = ConnectTo(host_, serverPort_);
  std::string fromClient, fromServer;
  bool stalled = false, dropOnReply = false, open = server >= 0;
  char buffer[65536];
  while (open && !stopping_) {
    pollfd entries[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    if (::poll(entries, 2, kPollMs) <= 0) continue;
    if (entries[0].revents != 0) {
      const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      if (stalled) continue;
      fromClient.append(buffer, static_cast<size_t>(got));
      for (const std::string& line : TakeLines(fromClient)) {
        const std::string command = WithoutLineEnd(line);
        const Fault* fault = faultFor(command);
        if (IsTransferCommand(command)) {
          {
            std::lock_guard lock(control->mutex);
            control->transferPasv = control->pasvs;
            if (fault && (fault->What == ResetData || fault->What == StallData))
              control->dataFaults[control->pasvs] = fault;
          }
          control->changed.notify_all();
        }
        if (fault && fault->What == DropBeforeCommand) open = false;
        if (fault && fault->What == StallControl) stalled = true;
        if (!open || stalled) break;
        if (fault && fault->What == DropBeforeReply) dropOnReply = true;
        if (!SendAll(server, line.data(), line.size(), stopping_)) open = false;
      }
    }
    if (open && entries[1].revents != 0) {
      const ssize_t got = ::recv(server, buffer, sizeof buffer, 0);
      if (got <= 0 || dropOnReply) break;
      if (stalled) continue;
      fromServer.append(buffer, static_cast<size_t>(got));
      for (std::string line : TakeLines(fromServer)) {
        unsigned h1, h2, h3, h4, p1, p2;
        const size_t open227 = line.find('(');
        if (line.starts_with("227 ") && open227 != std::string::npos &&
            std::sscanf(line.c_str() + open227, "(%u,%u,%u,%u,%u,%u)", &h1, &h2, &h3, &h4, &p1, &p2) == 6) {
          int ownPort = 0;
          const int listener = ListenOnLoopback(ownPort);
          int pasv = 0;
          {
            std::lock_guard lock(control->mutex);
            pasv = ++control->pasvs;
          }
          const int dataPort = static_cast<int>(p1 * 256 + p2);
          spawn(std::thread([this, listener, control, pasv, dataPort] { runData(listener, control, pasv, dataPort); }));
          line = "227 Entering Passive Mode (127,0,0,1," + std::to_string(ownPort / 256) + "," +
                 std::to_string(ownPort % 256) + ").\r\n";
        }
        if (!SendAll(client, line.data(), line.size(), stopping_)) open = false;
      }
    }
  }
  ::close(client);
  if (server >= 0) ::close(server);
  {
    std::lock_guard lock(control->mutex);
    control->closed = true;
  }
  control->changed.notify_all();
}

void FaultProxy::runData(int listener, std::shared_ptr<Control> control, int pasv, int serverPort) {
  const auto controlOpen = [&] {
    std::lock_guard lock(control->mutex);
    return !control->closed;
  };
  const int client = AcceptWhile(listener, [&] { return !stopping_ && controlOpen(); });
  ::close(listener);
  if (client < 0) return;
  const int server = ConnectTo(host_, serverPort);
  // The client may connect before the proxy has read the command this connection serves.
  const Fault* fault = nullptr;
  {
    std::unique_lock lock(control->mutex);
    control->changed.wait_for(lock, std::chrono::seconds(5),
                              [&] { return control->closed || control->transferPasv >= pasv; });
    auto found = control->dataFaults.find(pasv);
    if (found != control->dataFaults.end()) fault = found->second;
  }
  int64_t passed = 0;
  bool stalled = false;
  char buffer[65536];
  while (server >= 0 && !stopping_) {
    pollfd entries[2] = {{client, POLLIN, 0}, {server, static_cast<short>(stalled ? 0 : POLLIN), 0}};
    if (::poll(entries, 2, kPollMs) <= 0) {
      if (stalled && !controlOpen()) break;
      continue;
    }
    const bool fromClient = entries[0].revents != 0;
    const int from = fromClient ? client : server;
    const int to = fromClient ? server : client;
    size_t wanted = sizeof buffer;
    if (fault && !stalled) wanted = static_cast<size_t>(std::min<int64_t>(wanted, fault->AfterBytes - passed));
    if (wanted == 0) {
      if (fault->What == ResetData) {
        Reset(client);
        // The server's side goes only with the control connection: some servers take a reset
        // for the end of an upload, and would keep half a file as if it were whole.
        while (!stopping_ && controlOpen()) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        Reset(server);
        return;
      }
      stalled = true;
      continue;
    }
    const ssize_t got = ::recv(from, buffer, wanted, 0);
    if (got <= 0 && stalled) {
      // Closed cleanly, the server's side would end a stalled upload as if it were whole.
      while (!stopping_ && controlOpen()) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
      ::close(client);
      Reset(server);
      return;
    }
    if (got <= 0) break;
    if (stalled) continue;  // the client's last bytes of a stalled upload go nowhere
    passed += got;
    dataBytes_ += got;
    if (!SendAll(to, buffer, static_cast<size_t>(got), stopping_)) break;
  }
  ::close(client);
  if (server >= 0) ::close(server);
}
