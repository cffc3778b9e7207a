#include "support/FakeFtpServer.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

constexpr int kWaitMs = 20000;  // no step waits longer: a broken test ends instead of hanging

std::string Expand(const std::string& text, int pasvPort) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '{') {
      size_t close = text.find('}', i);
      if (close != std::string::npos) {
        std::string key = text.substr(i + 1, close - i - 1);
        if (key == "pasv") {
          out += "127,0,0,1," + std::to_string(pasvPort / 256) + "," + std::to_string(pasvPort % 256);
          i = close;
          continue;
        }
        if (key == "pasvport" || key == "p1" || key == "p2") {
          out += std::to_string(key == "p1" ? pasvPort / 256 : key == "p2" ? pasvPort % 256 : pasvPort);
          i = close;
          continue;
        }
        if (key.size() > 2 && key[1] == '*') {
          out.append(static_cast<size_t>(std::stoul(key.substr(2))), key[0]);
          i = close;
          continue;
        }
      }
    }
    out += text[i];
  }
  return out;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      char c = text[++i];
      out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
    } else {
      out += text[i];
    }
  }
  return out;
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

std::string Arg(const std::string& step, const std::string& keyword) {
  std::string rest = step.substr(keyword.size());
  if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
  return rest;
}

}  // namespace

std::string FakeFtpServer::LoadTranscript(const std::string& name) {
  std::ifstream in(std::string(ZEPHLIN_TEST_SOURCE_DIR) + "/ftp/transcripts/" + name, std::ios::binary);
  if (!in) throw std::runtime_error("no transcript " + name);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string FakeFtpServer::Pattern(int64_t size) {
  std::string s(static_cast<size_t>(size), '\0');
  for (int64_t i = 0; i < size; ++i) s[static_cast<size_t>(i)] = PatternByte(i);
  return s;
}

FakeFtpServer::FakeFtpServer(const std::string& script) {
  std::istringstream in(script);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t b = line.find_first_not_of(" \t");
    if (b == std::string::npos || line[b] == '#' || line[b] == '@') continue;
    steps_.push_back(line.substr(b));
  }
  if (listener_.Open() != 0 || listener_.Bind(0x7F000001u, 0) != 0 || listener_.Listen(4) != 0)
    throw std::runtime_error("FakeFtpServer: cannot listen");
  std::string address;
  uint16_t port = 0;
  listener_.LocalAddress(address, port);
  port_ = port;
  thread_ = std::thread([this] { run(); });
}

FakeFtpServer::~FakeFtpServer() { stop(); }

void FakeFtpServer::stop() {
  canceller_.Cancel();
  if (thread_.joinable()) thread_.join();
}

std::vector<std::string> FakeFtpServer::commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return commands_;
}

std::string FakeFtpServer::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::string FakeFtpServer::errors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return errors_;
}

void FakeFtpServer::fail(const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  errors_ += message + "\n";
}

bool FakeFtpServer::sendLine(const std::string& text) {
  std::string line = text + "\r\n";
  int rc = control_.Send(line.data(), line.size(), kWaitMs);
  if (rc != 0 && !canceller_.Cancelled()) fail("cannot send '" + text + "': " + SocketErrorText(rc));
  return rc == 0;
}

bool FakeFtpServer::readCommand(std::string& line) {
  for (;;) {
    size_t lf = controlBuffer_.find('\n');
    if (lf != std::string::npos) {
      line = controlBuffer_.substr(0, lf);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      controlBuffer_.erase(0, lf + 1);
      std::lock_guard<std::mutex> lock(mutex_);
      commands_.push_back(line);
      return true;
    }
    char buffer[4096];
    size_t got = 0;
    int rc = control_.Receive(buffer, sizeof buffer, kWaitMs, got);
    if (rc != 0 || got == 0) return false;
    controlBuffer_.append(buffer, got);
  }
}

bool FakeFtpServer::openDataConnection() {
  if (data_.IsOpen()) return true;
  if (dataListener_.IsOpen()) {
    int rc = dataListener_.Accept(data_, kWaitMs);
    dataListener_.Close();
    if (rc != 0) {
      if (!canceller_.Cancelled()) fail("the client made no data connection");
      return false;
    }
    return true;
  }
  if (portPort_ != 0) {
    int rc = data_.Open();
    if (rc == 0) rc = data_.Connect(portAddress_, static_cast<uint16_t>(portPort_), kWaitMs);
    if (rc != 0) {
      fail(std::string("cannot connect to the PORT address: ") + SocketErrorText(rc));
      data_.Close();
      return false;
    }
    portPort_ = 0;
    return true;
  }
  fail("a data step without LISTEN or PORT");
  return false;
}

void FakeFtpServer::run() {
  int rc = listener_.Accept(control_, kWaitMs);
  listener_.Close();
  if (rc != 0) {
    if (!canceller_.Cancelled()) fail("no client connected");
    return;
  }
  for (const std::string& step : steps_) {
    if (canceller_.Cancelled()) return;
    if (StartsWith(step, "S:")) {
      if (!sendLine(Expand(Arg(step, "S:"), pasvPort_))) return;
    } else if (StartsWith(step, "C:")) {
      std::string expected = Arg(step, "C:");
      std::string line;
      if (!readCommand(line)) {
        if (!canceller_.Cancelled()) fail("expected '" + expected + "', the client sent nothing more");
        return;
      }
      bool ok = !expected.empty() && expected.back() == '*' ? StartsWith(line, expected.substr(0, expected.size() - 1))
                                                            : line == expected;
      if (!ok) fail("expected '" + expected + "', got '" + line + "'");
      if (StartsWith(line, "PORT ")) {
        unsigned a, b, c, d, p1, p2;
        if (std::sscanf(line.c_str() + 5, "%u,%u,%u,%u,%u,%u", &a, &b, &c, &d, &p1, &p2) == 6) {
          portAddress_ = (a << 24) | (b << 16) | (c << 8) | d;
          portPort_ = static_cast<int>(p1 * 256 + p2);
        }
      }
    } else if (step == "LISTEN") {
      dataListener_.Close();
      std::string address;
      uint16_t port = 0;
      if (dataListener_.Open() != 0 || dataListener_.Bind(0x7F000001u, 0) != 0 || dataListener_.Listen(4) != 0 ||
          dataListener_.LocalAddress(address, port) != 0) {
        fail("cannot open the data listener");
        return;
      }
      pasvPort_ = port;
    } else if (step == "UNLISTEN") {
      dataListener_.Close();
    } else if (StartsWith(step, "DATA-SEND-RESET:")) {
      if (!openDataConnection()) return;
      std::string payload = Pattern(std::stoll(Arg(step, "DATA-SEND-RESET:")));
      if (data_.Send(payload.data(), payload.size(), kWaitMs) != 0 && !canceller_.Cancelled())
        fail("cannot send the data");
      data_.Abort();
    } else if (StartsWith(step, "DATA-RECV-RESET:")) {
      if (!openDataConnection()) return;
      const size_t wanted = std::stoull(Arg(step, "DATA-RECV-RESET:"));
      size_t total = 0;
      char buffer[32768];
      while (total < wanted) {
        size_t got = 0;
        if (data_.Receive(buffer, sizeof buffer, kWaitMs, got) != 0 || got == 0) break;
        total += got;
      }
      data_.Abort();
    } else if (StartsWith(step, "DATA-SEND-BYTES:")) {
      if (!openDataConnection()) return;
      std::string payload = Pattern(std::stoll(Arg(step, "DATA-SEND-BYTES:")));
      if (data_.Send(payload.data(), payload.size(), kWaitMs) != 0 && !canceller_.Cancelled())
        fail("cannot send the data");
      data_.Close();
    } else if (StartsWith(step, "DATA-SEND:")) {
      if (!openDataConnection()) return;
      std::string payload = Unescape(Arg(step, "DATA-SEND:"));
      if (data_.Send(payload.data(), payload.size(), kWaitMs) != 0 && !canceller_.Cancelled())
        fail("cannot send the data");
      data_.Close();
    } else if (step == "DATA-RECV") {
      if (!openDataConnection()) return;
      char buffer[32768];
      for (;;) {
        size_t got = 0;
        if (data_.Receive(buffer, sizeof buffer, kWaitMs, got) != 0) {
          if (!canceller_.Cancelled()) fail("data connection failed while receiving");
          break;
        }
        if (got == 0) break;
        std::lock_guard<std::mutex> lock(mutex_);
        received_.append(buffer, got);
      }
      data_.Close();
    } else if (step == "DATA-SEND-ENDLESS") {
      if (!openDataConnection()) return;
      const std::string chunk = Pattern(65536);
      for (int sent = 0; sent < 1024 && !canceller_.Cancelled(); ++sent)
        if (data_.Send(chunk.data(), chunk.size(), kWaitMs) != 0) break;
      data_.Close();
    } else if (StartsWith(step, "DATA-CONNECT-FROM:")) {
      uint32_t from = 0;
      TSocket stranger(&canceller_);
      if (!ParseIPv4(Arg(step, "DATA-CONNECT-FROM:"), from) || stranger.Open() != 0 || stranger.Bind(from, 0) != 0 ||
          stranger.Connect(portAddress_, static_cast<uint16_t>(portPort_), kWaitMs) != 0) {
        fail("cannot connect from " + Arg(step, "DATA-CONNECT-FROM:"));
        return;
      }
      char byte;
      size_t got = 1;
      const int closed = stranger.Receive(&byte, 1, kWaitMs, got);
      if (closed == kSocketTimedOut || (closed == 0 && got != 0)) fail("the client kept a connection from a stranger");
    } else if (step == "DATA-STALL") {
      if (!openDataConnection()) return;
      // Keep it open and silent; stop() ends the wait.
      char byte;
      size_t got = 0;
      while (!canceller_.Cancelled() && data_.Receive(&byte, 1, 100, got) == kSocketTimedOut) {
      }
    } else if (step == "DATA-CLOSE") {
      data_.Close();
    } else if (StartsWith(step, "SLEEP:")) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(Arg(step, "SLEEP:"))));
    } else if (step == "STALL") {
      while (!canceller_.Cancelled()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      return;
    } else if (step == "CLOSE") {
      control_.Close();
      finished_ = true;
      return;
    } else {
      fail("unknown step '" + step + "'");
      return;
    }
  }
  finished_ = true;
  // Wait for the client to hang up (or the test to stop the server); what it sends now is
  // recorded but not expected.
  std::string line;
  while (readCommand(line)) {
  }
}
