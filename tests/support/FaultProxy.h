#pragma once
// FaultProxy: a proxy on 127.0.0.1 in front of a real FTP server that breaks connections on
// cue, for runs that must survive a bad network. It passes every control connection through
// (any number, one after the other or at once) and, in passive mode, every data connection
// too: each PASV reply is rewritten to a port of the proxy's own.
//
// Each fault waits for the n-th command (counted over all connections) that begins with its
// prefix, and then:
//   DropBeforeCommand  hangs up the control connection instead of passing the command on
//   DropBeforeReply    passes the command on, then hangs up before its reply
//   StallControl       passes nothing more either way until the client gives up
//   ResetData          resets the data connection of that command (RST to the client) once
//                      AfterBytes bytes went through
//   StallData          stops passing the data of that command on after AfterBytes bytes
//
//   FaultProxy proxy(server.host(), server.port(), {{"STOR", 3, FaultProxy::DropBeforeCommand}});
//   settings.Port = proxy.port(); ... run ...; proxy.commands();

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FaultProxy {
 public:
  enum Action { DropBeforeCommand, DropBeforeReply, StallControl, ResetData, StallData };
  struct Fault {
    std::string Command;  // prefix of the client's command line ("STOR", "RETR big.bin")
    int Occurrence = 1;   // the n-th such command, from 1
    Action What = DropBeforeCommand;
    int64_t AfterBytes = 0;  // data faults
  };

  FaultProxy(const std::string& host, int port, std::vector<Fault> faults);
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  int port() const { return port_; }
  // Every command the client sent, in order, over all connections (without CR LF).
  std::vector<std::string> commands() const;
  // Bytes passed on data connections, both ways together.
  int64_t dataBytes() const { return dataBytes_.load(); }
  // Control connections accepted so far.
  int connections() const { return connections_.load(); }
  // How many faults were played.
  int faultsPlayed() const { return faultsPlayed_.load(); }
  // Ends every connection and joins the threads. Idempotent.
  void stop();

 private:
  struct Control;
  void acceptLoop();
  void runControl(int client);
  void runData(int listener, std::shared_ptr<Control> control, int pasv, int serverPort);
  // The fault this command sets off, if any (counted under mutex_).
  const Fault* faultFor(const std::string& command);
  void spawn(std::thread thread);

  std::string host_;
  int serverPort_ = 0;
  std::vector<Fault> faults_;
  std::vector<int> counts_;  // commands seen per fault
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int64_t> dataBytes_{0};
  std::atomic<int> connections_{0};
  std::atomic<int> faultsPlayed_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> commands_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};
