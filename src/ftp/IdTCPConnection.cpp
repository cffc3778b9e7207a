#include "ftp/IdTCPConnection.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ftp/IdException.h"
#include "platform/FileSystem.h"
#include "platform/RateLimiter.h"
#include "platform/Socket.h"
#include "platform/Text.h"

namespace {

constexpr size_t kCompactAfter = 32768;

void ApplyASCIIFilter(char* data, size_t length) {
  for (size_t i = 0; i < length; ++i) data[i] = static_cast<char>(data[i] & 0x7F);
}

// A command as a trace shows it: the argument of PASS, in any case, hidden (and whether it
// had one).
std::string TracedCommand(const std::string& command) {
  const bool isPass =
      (command.size() == 4 || (command.size() > 4 && command[4] == ' ')) && StartsWithIgnoringCase(command, "PASS");
  return isPass ? command.substr(0, 4) + " ****" : command;
}

}  // namespace

TIdTCPConnection::TIdTCPConnection() = default;
TIdTCPConnection::~TIdTCPConnection() = default;

bool TIdTCPConnection::Connected() const { return FIOHandler && FIOHandler->Connected(); }

TIdIOHandlerTCP& TIdTCPConnection::CreateIOHandler() {
  auto stream = std::make_unique<TIdIOHandlerTCP>(FCanceller);
  TIdIOHandlerTCP& created = *stream;
  FIOHandler = std::move(stream);
  FIOHandler->OnStatus = OnStatus;
  FInputBuffer.clear();
  FConsumed = 0;
  return created;
}

void TIdTCPConnection::AdoptIOHandler(TIdIOHandlerFactory& AFactory) {
  if (!Connected()) throw EIdNotConnected();
  if (FConsumed < FInputBuffer.size()) {
    Disconnect();
    throw EIdInputBeforeStreamChange();
  }
  FIOHandler = AFactory.Adopt(std::move(FIOHandler));
  if (!FIOHandler) throw EIdNotConnected();
  FIOHandler->OnStatus = OnStatus;
}

void TIdTCPConnection::Disconnect() {
  if (!FIOHandler) return;
  DoStatus(StatusDisconnecting);
  FIOHandler->Close();
  FIOHandler.reset();
  FInputBuffer.clear();
  FConsumed = 0;
  if (OnDisconnected) OnDisconnected(this);
  DoStatus(StatusDisconnected);
}

void TIdTCPConnection::ClosedByPeer() {
  if (FIOHandler) {
    FIOHandler->Close();
    FIOHandler.reset();
  }
  DoStatus(StatusDisconnected);
  if (OnDisconnected) OnDisconnected(this);
}

void TIdTCPConnection::RaiseSocketError(int ACode) {
  if (ACode == kSocketTimedOut) throw EIdReadTimeout();
  throw EIdSocketError(ACode);
}

bool TIdTCPConnection::ReadFromStack(int ATimeoutMs, bool ARaiseExceptionIfDisconnected) {
  if (!Connected()) throw EIdNotConnected();
  if (FConsumed == FInputBuffer.size()) {
    FInputBuffer.clear();  // nothing left to keep: no bytes move
    FConsumed = 0;
  } else if (FConsumed >= kCompactAfter) {
    FInputBuffer.erase(0, FConsumed);
    FConsumed = 0;
  }
  const size_t chunk = RecvBufferSize > 0 ? static_cast<size_t>(RecvBufferSize) : 32768;
  const size_t old = FInputBuffer.size();
  FInputBuffer.resize(old + chunk);
  size_t received = 0;
  int rc = FIOHandler->Receive(&FInputBuffer[old], chunk, ATimeoutMs, received);
  FInputBuffer.resize(old + received);
  if (rc != 0) RaiseSocketError(rc);
  if (received == 0) {
    ClosedByPeer();
    if (ARaiseExceptionIfDisconnected) throw EIdConnClosedGracefully();
    return false;
  }
  if (ASCIIFilter) ApplyASCIIFilter(&FInputBuffer[old], received);
  return true;
}

std::string TIdTCPConnection::ReadLn() {
  const size_t limit = MaxLineLength > 0 ? static_cast<size_t>(MaxLineLength) : 16384;
  size_t scanned = 0;  // bytes after FConsumed already searched for LF
  for (;;) {
    size_t lf = FInputBuffer.find('\n', FConsumed + scanned);
    if (lf != std::string::npos) {
      size_t end = lf;
      if (end > FConsumed && FInputBuffer[end - 1] == '\r') --end;
      if (end - FConsumed > limit) {
        if (MaxLineAction == maException) throw EIdReadLnMaxLineLengthExceeded();
        std::string line = FInputBuffer.substr(FConsumed, limit);
        FConsumed += limit;
        return line;
      }
      std::string line = FInputBuffer.substr(FConsumed, end - FConsumed);
      FConsumed = lf + 1;
      return line;
    }
    // No complete line: refuse to buffer past the limit (+1 for a CR awaiting its LF).
    if (FInputBuffer.size() - FConsumed > limit + 1) {
      if (MaxLineAction == maException) throw EIdReadLnMaxLineLengthExceeded();
      std::string line = FInputBuffer.substr(FConsumed, limit);
      FConsumed += limit;
      return line;
    }
    scanned = FInputBuffer.size() - FConsumed;
    ReadFromStack(ReadTimeout, true);
  }
}

int TIdTCPConnection::GetResponse(std::initializer_list<int> AAllowedResponses) {
  std::vector<std::string> lines;
  // Lines without end (or blank lines without end) would hold the memory or the thread:
  // a reply past MaxReplySize is refused.
  const size_t limit = MaxReplySize > 0 ? static_cast<size_t>(MaxReplySize) : size_t{1} << 20;
  size_t replySize = 0;
  auto nextLine = [this, limit, &replySize]() {
    for (;;) {
      std::string line = ReadLn();
      if (OnWireTrace) OnWireTrace(wdReceived, line);
      replySize += line.size() + 2;
      if (replySize > limit) throw EIdReplyTooLarge();
      line = std::string(TrimBlanksAndControls(line));
      if (!line.empty()) return line;
    }
  };
  try {
    lines.push_back(nextLine());
    const std::string& first = lines.front();
    if (first.size() > 3 && first[3] == '-') {
      const std::string code = first.substr(0, 3);
      for (;;) {
        lines.push_back(nextLine());
        const std::string& line = lines.back();
        // Only the code and a blank end the reply (the blank trimmed off when nothing
        // follows it): the lines between may hold any text, short ones such as "*" or a FEAT
        // feature such as " CCC" included.
        if (line == code || StartsWithIgnoringCase(line, code + " ")) break;
      }
    }
  } catch (const EIdReadTimeout&) {
    Disconnect();  // the reply may still come, and would answer the next command
    throw;
  } catch (const EIdReplyTooLarge&) {
    Disconnect();  // the rest of it would answer the next commands
    throw;
  }
  std::string code(TrimBlanksAndControls(std::string_view(lines.front()).substr(0, 4)));
  if (!code.empty() && code.back() == '-') code.pop_back();
  LastReply.TextCode = code;
  LastReply.NumericCode = 0;
  bool digitsOnly = !code.empty();
  for (char c : code) digitsOnly = digitsOnly && std::isdigit(static_cast<unsigned char>(c));
  if (digitsOnly) LastReply.NumericCode = std::atoi(code.c_str());
  LastReply.Text.clear();
  for (const std::string& line : lines) LastReply.Text.push_back(line.size() > 4 ? line.substr(4) : std::string());
  LastReply.Lines = std::move(lines);
  // No code: the server is not speaking FTP, or not in step. 421: it is hanging up.
  if (LastReply.NumericCode == 0 || LastReply.NumericCode == 421) Disconnect();
  if (AAllowedResponses.size() > 0) {
    bool allowed = false;
    for (int c : AAllowedResponses) allowed = allowed || c == LastReply.NumericCode;
    if (!allowed) throw EIdProtocolReplyError(LastReply.NumericCode, LastReply.TextWithLineEnds());
  }
  return LastReply.NumericCode;
}

void TIdTCPConnection::CheckCommand(const std::string& ACommand) {
  if (ACommand.find_first_of("\r\n") != std::string::npos) throw EIdInvalidCommandArgument();
}

void TIdTCPConnection::WriteCommand(const std::string& ACommand) {
  CheckCommand(ACommand);
  BeforeCommand();
  if (OnWireTrace) OnWireTrace(wdSent, TracedCommand(ACommand));
  std::string line = ACommand;
  line += "\r\n";
  Write(line.data(), line.size());
}

int TIdTCPConnection::SendCmd(const std::string& ACommand, std::initializer_list<int> AAllowedResponses) {
  WriteCommand(ACommand);
  return GetResponse(AAllowedResponses);
}

bool TIdTCPConnection::ReplyWaiting(int AWaitMs) {
  try {
    for (;;) {
      if (FInputBuffer.find('\n', FConsumed) != std::string::npos) return true;
      if (!Connected()) return false;
      int rc = FIOHandler->WaitReadable(AWaitMs > 0 ? AWaitMs : 1);
      if (rc != 0) return false;
      if (!ReadFromStack(AWaitMs > 0 ? AWaitMs : 1, false)) return false;
    }
  } catch (const EIdException&) {
    return false;
  }
}

void TIdTCPConnection::Write(const char* AData, size_t ALength) {
  if (!Connected()) throw EIdNotConnected();
  int rc = FIOHandler->Send(AData, ALength, ReadTimeout);
  if (rc != 0) RaiseSocketError(rc);
}

void TIdTCPConnection::ReadUntilClosed(TIdDataSink& ASink) {
  if (!Connected()) throw EIdNotConnected();
  BeginWork(WorkRead, 0);
  try {
    if (FConsumed < FInputBuffer.size()) {
      const size_t n = FInputBuffer.size() - FConsumed;
      ASink.Write(FInputBuffer.data() + FConsumed, n);
      FInputBuffer.clear();
      FConsumed = 0;
      DoWork(WorkRead, static_cast<int64_t>(n));
      Throttle(n);
    }
    const size_t chunk = DataStep(DataRecvSize);
    std::unique_ptr<char[]> buffer(new char[chunk]);
    TIdIOHandlerSocket& stream = *FIOHandler;
    for (;;) {
      size_t received = 0;
      int rc = stream.Receive(buffer.get(), chunk, ReadTimeout, received);
      if (rc != 0) RaiseSocketError(rc);
      if (received == 0) break;
      if (ASCIIFilter) ApplyASCIIFilter(buffer.get(), received);
      ASink.Write(buffer.get(), received);
      DoWork(WorkRead, static_cast<int64_t>(received));
      Throttle(received);
    }
    // Answers an encrypting peer's closing alert; the data are complete whatever comes of it.
    stream.Finish(ReadTimeout);
  } catch (...) {
    EndWork(WorkRead);
    throw;
  }
  EndWork(WorkRead);
}

void TIdTCPConnection::WriteFileData(TTransferFile& AFile, int64_t ASize) {
  if (!Connected()) throw EIdNotConnected();
  BeginWork(WorkWrite, ASize);
  try {
    // Read and sent in chunks rather than with sendfile(): the copy costs a little CPU, but
    // over loopback from an in-memory file system sendfile() made the receiving server a
    // third slower.
    std::vector<char> chunk(DataStep(SendBufferSize));
    TIdIOHandlerSocket& stream = *FIOHandler;
    int64_t offset = 0;
    while (offset < ASize) {
      const size_t want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(chunk.size()), ASize - offset));
      size_t got = 0;
      if (!AFile.Read(chunk.data(), want, got))
        throw EIdException("Cannot read file \"" + AFile.Path() + "\". " + ErrorText(AFile.LastError()));
      if (got == 0) break;  // the file became shorter while being sent
      Throttle(got);
      if (int rc = stream.Send(chunk.data(), got, ReadTimeout); rc != 0) RaiseSocketError(rc);
      offset += static_cast<int64_t>(got);
      DoWork(WorkWrite, static_cast<int64_t>(got));
    }
    // Only after everything was sent: an end marked after a failure would make a cut-off
    // file look complete to the server.
    if (int rc = stream.Finish(ReadTimeout); rc != 0) RaiseSocketError(rc);
  } catch (...) {
    EndWork(WorkWrite);
    throw;
  }
  EndWork(WorkWrite);
}

size_t TIdTCPConnection::DataStep(int ADefault) const {
  const size_t step = ADefault > 0 ? static_cast<size_t>(ADefault) : 32768;
  return RateLimiter ? std::min(step, RateLimiter->StepBytes()) : step;
}

void TIdTCPConnection::Throttle(size_t AMoved) {
  if (RateLimiter && !RateLimiter->Take(AMoved, FCanceller)) RaiseSocketError(WSAEINTR);
}

void TIdTCPConnection::BeginWork(TWorkMode AWorkMode, int64_t ASize) {
  if (++FWorkDepth[AWorkMode] == 1) {
    FWorkCount[AWorkMode] = 0;
    if (OnWorkBegin) OnWorkBegin(this, AWorkMode, ASize);
  }
}

void TIdTCPConnection::DoWork(TWorkMode AWorkMode, int64_t ACount) {
  if (FWorkDepth[AWorkMode] < 1) return;
  FWorkCount[AWorkMode] += ACount;
  if (OnWork) OnWork(this, AWorkMode, FWorkCount[AWorkMode]);
}

void TIdTCPConnection::EndWork(TWorkMode AWorkMode) {
  if (FWorkDepth[AWorkMode] < 1) return;
  if (--FWorkDepth[AWorkMode] == 0 && OnWorkEnd) OnWorkEnd(this, AWorkMode);
}
