#pragma once
// FakeFtpServer: a scripted FTP server on 127.0.0.1 for what real servers will not do on
// request (a 421 greeting, a stalled reply, a dropped connection, a bad PASV reply, ...).
// It accepts one control connection and plays a script, one step per line:
//
//   S: <text>        send <text> CR LF on the control connection
//   C: <text>        read one command; it must equal <text> exactly, or, when <text> ends
//                    in "*", begin with what precedes the "*" (a mismatch is an error)
//   LISTEN           open a passive data listener on 127.0.0.1; later S: lines may use
//                    {pasv} ("127,0,0,1,p1,p2"), {pasvport}, and {p1} {p2}
//   UNLISTEN         close the passive data listener (a server that refuses at once)
//   DATA-SEND: <t>   send <t> (with \r and \n escapes) on the data connection, then close it
//   DATA-SEND-BYTES: <n>   send n bytes of PatternByte(i), then close
//   DATA-RECV        read the data connection until the client closes it (see received())
//   DATA-SEND-RESET: <n>   send n bytes of PatternByte(i), then reset the connection (RST)
//   DATA-RECV-RESET: <n>   read at least n bytes (or until the client closes), then reset
//   DATA-STALL       open the data connection and send nothing until the server stops
//   DATA-SEND-ENDLESS      send PatternByte(i) until the client drops the connection (at
//                    most 64 MiB, so a client that never stops cannot fill the disk)
//   DATA-CONNECT-FROM: <ip>   (active) connect to the PORT address from <ip>, a stranger to
//                    the control connection; the client must close that connection at once
//   DATA-CLOSE       close the data connection
//   SLEEP: <ms>      wait
//   STALL            answer nothing more until the server stops
//   CLOSE            close the control connection (the server hangs up)
//   # ...            a comment; blank lines are skipped
//   @...             a line for the test that runs the transcript (what the client does and
//                    what must come of it); skipped by the server
//
// The data connection is the one accepted on the LISTEN socket (passive) or, after the
// client's PORT command was read by a C: step, one made to the address it gave (active).
// Every S: line may also use {x*N}: the character x repeated N times.
// After the last step the server waits until the client closes the connection or the
// server stops. Errors (a wrong command, a client that went away early) are collected, not
// thrown: check errors() after stop().
//
//   FakeFtpServer server("S: 220 hi\nC: USER bob\nS: 230 ok\n...");
//   ftp.Port = server.port();  ...  server.stop();  EXPECT_EQ(server.errors(), "");

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Socket.h"

class FakeFtpServer {
 public:
  explicit FakeFtpServer(const std::string& script);
  ~FakeFtpServer();
  FakeFtpServer(const FakeFtpServer&) = delete;
  FakeFtpServer& operator=(const FakeFtpServer&) = delete;

  // Reads tests/ftp/transcripts/<name> (the test source tree) and returns its text.
  static std::string LoadTranscript(const std::string& name);
  // The byte at position i of DATA-SEND-BYTES payloads.
  static char PatternByte(int64_t i) { return static_cast<char>((i * 7 + 3) % 251); }
  static std::string Pattern(int64_t size);

  int port() const { return port_; }
  // Ends the script (interrupting any wait) and joins the server thread. Idempotent.
  void stop();
  // Every command line the client sent, in order (without CR LF).
  std::vector<std::string> commands() const;
  // What DATA-RECV received (all DATA-RECV steps appended).
  std::string received() const;
  // The collected errors, one per line; empty when the script went as written.
  std::string errors() const;
  // True once the script ran through to its end.
  bool finished() const { return finished_.load(); }

 private:
  void run();
  void fail(const std::string& message);
  bool readCommand(std::string& line);
  bool sendLine(const std::string& text);
  bool openDataConnection();

  std::vector<std::string> steps_;
  TSocketCanceller canceller_;
  TSocket listener_{&canceller_};
  TSocket control_{&canceller_};
  TSocket dataListener_{&canceller_};
  TSocket data_{&canceller_};
  std::string controlBuffer_;
  uint32_t portAddress_ = 0;
  int portPort_ = 0;
  int port_ = 0;
  int pasvPort_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> commands_;
  std::string received_;
  std::string errors_;
  std::atomic<bool> finished_{false};
  std::thread thread_;
};
