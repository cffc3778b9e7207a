#include "ftp/IdFTP.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <utility>

#include "ftp/IdSimpleServer.h"
#include "platform/DateTime.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"

namespace {

// How long to wait for the reply that may follow a 426/450, and for the final reply of a
// transfer that failed on the data connection: long enough for a reply already on its way,
// short enough that a silent server costs little.
constexpr int kReplyGraceMs = 500;

EIdFileError FileError(const char* what, const std::string& path, int error) {
  return EIdFileError(std::string(what) + " \"" + path + "\". " + ErrorText(error), error);
}

}  // namespace

// Collects the text of a listing, up to a limit.
class TIdFTP::TStringSink : public TIdDataSink {
 public:
  explicit TStringSink(int64_t limit) : FLimit(limit) {}
  void Write(const char* data, size_t length) override {
    if (static_cast<int64_t>(FText.size() + length) > FLimit) throw EIdFTPListingTooLarge();
    FText.append(data, length);
  }
  std::string FText;

 private:
  int64_t FLimit;
};

class TIdFTP::TFileSink : public TIdDataSink {
 public:
  explicit TFileSink(TTransferFile& file) : FFile(file) {}
  void Write(const char* data, size_t length) override {
    Received += static_cast<int64_t>(length);
    if (Limit >= 0 && Received > Limit) throw EIdFTPSizeMismatch(RemoteName, ListedSize, Received);
    if (Room >= 0 && Received > Room) throw FileError("Cannot write to file", FFile.Path(), ENOSPC);
    if (!FFile.Write(data, length)) throw FileError("Cannot write to file", FFile.Path(), FFile.LastError());
  }
  bool Complete() const override { return Limit >= 0 && Received == ListedSize; }

  int64_t Received = 0;
  // With a listed size: the remote name for the failure, and the count past which it fails.
  std::string RemoteName;
  int64_t ListedSize = -1;
  int64_t Limit = -1;
  int64_t Room = -1;  // the most the file may take of the disk (see DownloadRoom); -1: no cap

 private:
  TTransferFile& FFile;
};

namespace {

// What a continued download fetches again before its resume point differs from what was kept.
class EResumeMismatch : public std::exception {};

// The first bytes that come again are compared with what the kept file ends with; only those
// that follow reach the file.
class TResumeCheckSink : public TIdDataSink {
 public:
  TResumeCheckSink(TIdDataSink& sink, std::string kept) : FSink(sink), FKept(std::move(kept)) {}
  void Write(const char* data, size_t length) override {
    const size_t compared = std::min(length, FKept.size() - FCompared);
    if (FKept.compare(FCompared, compared, data, compared) != 0) throw EResumeMismatch();
    FCompared += compared;
    if (length > compared) FSink.Write(data + compared, length - compared);
  }
  bool Complete() const override { return FSink.Complete(); }

 private:
  TIdDataSink& FSink;
  std::string FKept;
  size_t FCompared = 0;
};

// The last bytes (up to ACount) of the file before AEnd; empty when they cannot be read.
std::string KeptTail(const std::string& APath, int64_t AEnd, int64_t ACount) {
  TTransferFile file;
  std::string tail(static_cast<size_t>(ACount), '\0');
  size_t got = 0;
  if (!file.OpenRead(APath) || !file.ReadAt(AEnd - ACount, tail.data(), tail.size(), got) || got != tail.size())
    return std::string();
  return tail;
}

// Sizes beyond this are no file's: a listing that gives one is not taken at its word.
constexpr int64_t kLargestCredibleSize = int64_t{1} << 53;
// How much of a continued download is fetched again to check what was kept.
constexpr int64_t kResumeCheckBytes = int64_t{64} * 1024;

}  // namespace

TIdFTP::TIdFTP() { SetCanceller(&FCanceller); }

TIdFTP::~TIdFTP() {
  // The sockets refer to FCanceller, which dies before the base class's members.
  FIOHandler.reset();
}

void TIdFTP::ConnectAndLogin(bool ALogin, int ATimeout) {
  TIdIOHandlerFactory* const controlFactory = IOHandlerFactory;
  try {
    if (!Connected()) {
      FTLS.reset();
      if (Encryption != etNone) {
        FTLS = std::make_unique<TIdTLSClient>(Host, PinnedFingerprint);
        FTLS->TimeoutMs = ReadTimeout;
        FTLS->DataInner = DataIOHandlerFactory;
      }
      FDataProtected = false;
      FUseEPSV = false;
      FPassiveAheadSent = false;
      FFeaturesRequested = false;
      FSetTimeCommand = TSetTimeCommand::Unknown;
      FSetTimeWorked = false;
      Features.clear();
    }
    if (Encryption == etImplicitTLS && FTLS) IOHandlerFactory = &FTLS->ControlFactory();
    Connect(ATimeout);
    IOHandlerFactory = controlFactory;
    GetResponse();
    Greeting = LastReply;
    if (Greeting.NumericCode != 220) throw EIdProtocolReplyError(Greeting.NumericCode, Greeting.TextWithLineEnds());
    if (Encryption == etExplicitTLS) StartTLS();
    if (ALogin) {
      Login();
      // What the server offers is asked once on every connection: later commands choose by it.
      if (FTLS)
        ProtectData();
      else
        RequestFeatures();
      if (HasFeature("UTF8")) SendCmd("OPTS UTF8 ON");
      if (OnAfterClientLogin) OnAfterClientLogin(this);
      SendCmd(TransferType == ftASCII ? "TYPE A" : "TYPE I", {200});
      if (SendCmd("SYST", {200, 215, 500}) == 500)
        SystemDescription = "Unknown";
      else
        SystemDescription = LastReply.Text.empty() ? std::string() : LastReply.Text.front();
      DoStatus(StatusReady, "Connection established");
    }
  } catch (...) {
    IOHandlerFactory = controlFactory;
    try {
      Disconnect();
    } catch (...) {
      // The first failure is the one to report.
    }
    throw;
  }
}

void TIdFTP::Login() {
  if (SendCmd("USER " + Username, {230, 331}) == 331) SendCmd("PASS " + Password, {230});
  LoginReply = LastReply;
}

namespace {

// A reply as one line for a message: "504 Unknown AUTH type."
std::string ReplyLine(const TIdRFCReply& AReply) {
  std::string text;
  for (const std::string& line : AReply.Lines) text += (text.empty() ? "" : " ") + line;
  return text;
}

}  // namespace

void TIdFTP::StartTLS() {
  if (SendCmd("AUTH TLS") != 234) throw EIdTLSError("TLS refused by server: " + ReplyLine(LastReply));
  try {
    AdoptIOHandler(FTLS->ControlFactory());
  } catch (const EIdInputBeforeStreamChange& e) {
    throw EIdTLSError(std::string("TLS handshake failed: ") + e.what());
  }
}

// Every data connection encrypted from now on; then what the server offers. The three commands go out together: none
// depends on the answer to the one before (a refusal ends the login, which closes the connection), and a far server
// then costs one round trip for them instead of three.
void TIdFTP::ProtectData() {
  const bool askFeatures = !FFeaturesRequested;
  WriteCommand("PBSZ 0");
  WriteCommand("PROT P");
  if (askFeatures) WriteCommand("FEAT");
  if (GetResponse() != 200) throw EIdTLSError("TLS refused by server: " + ReplyLine(LastReply));
  if (GetResponse() != 200) throw EIdTLSError("TLS refused by server: " + ReplyLine(LastReply));
  FDataProtected = true;
  if (askFeatures) TakeFeatures(GetResponse());
}

void TIdFTP::RequestFeatures() {
  if (FFeaturesRequested) return;
  TakeFeatures(SendCmd("FEAT"));
}

void TIdFTP::TakeFeatures(int AReplyCode) {
  FFeaturesRequested = true;
  Features.clear();
  // A 421 or a reply without a code closed the connection: that reply is the failure to show,
  // not the "Not Connected" the next command would meet.
  if (!Connected()) throw EIdProtocolReplyError(AReplyCode, LastReply.TextWithLineEnds());
  if (AReplyCode != 211) return;
  // The lines between "211-Features:" and "211 End".
  for (size_t i = 1; i + 1 < LastReply.Lines.size(); ++i) Features.push_back(LastReply.Lines[i]);
}

bool TIdFTP::HasFeature(const std::string& AFeature) const {
  for (const std::string& feature : Features) {
    if (SameTextIgnoringCase(std::string_view(feature).substr(0, feature.find(' ')), AFeature)) return true;
  }
  return false;
}

std::optional<TDateTime> TIdFTP::ModificationTime(const std::string& AFileName) {
  if (!HasFeature("MDTM") || SendCmd("MDTM " + AFileName) != 213 || LastReply.Text.empty()) return std::nullopt;
  TDateTime time = 0;
  if (!ParseMachineTime(TrimBlanksAndControls(LastReply.Text.front()), time)) return std::nullopt;
  return time;
}

namespace {

// A reply that says the server does not know the command or this form of it, as opposed to
// a refusal for the one file.
bool CommandNotUnderstood(int ACode) { return ACode == 500 || ACode == 501 || ACode == 502 || ACode == 504; }

}  // namespace

bool TIdFTP::SetModificationTime(const std::string& AFileName, TDateTime ALocalTime) {
  CheckCommand(AFileName);
  const std::string stamp = FormatMachineTime(ToUnixTimeLocal(ALocalTime));
  if (FSetTimeCommand == TSetTimeCommand::Unknown) {
    FSetTimeCommand = HasFeature("MFMT") ? TSetTimeCommand::Mfmt : TSetTimeCommand::SiteUtime;
  }
  while (FSetTimeCommand != TSetTimeCommand::None) {
    const TSetTimeCommand command = FSetTimeCommand;
    const int code = SendCmd(command == TSetTimeCommand::Mfmt        ? "MFMT " + stamp + " " + AFileName
                             : command == TSetTimeCommand::SiteUtime ? "SITE UTIME " + stamp + " " + AFileName
                                                                     : "MDTM " + stamp + " " + AFileName);
    if (code >= 200 && code <= 299) {
      FSetTimeWorked = true;
      return true;
    }
    // Once a command has worked, a refusal is this file's; before, it may be the command's
    // (vsftpd answers SITE with 550 to anonymous logins), and the next one is tried.
    if (FSetTimeWorked && !CommandNotUnderstood(code)) return false;
    FSetTimeCommand = command == TSetTimeCommand::Mfmt                              ? TSetTimeCommand::SiteUtime
                      : command == TSetTimeCommand::SiteUtime && HasFeature("MDTM") ? TSetTimeCommand::MdtmWithTime
                                                                                    : TSetTimeCommand::None;
  }
  return false;
}

const TIdCertificateInfo& TIdFTP::ServerCertificate() const {
  static const TIdCertificateInfo kNone;
  return FTLS ? FTLS->Certificate() : kNone;
}

std::string TIdFTP::TLSVersion() const { return FTLS ? FTLS->ProtocolVersion() : std::string(); }

void TIdFTP::Disconnect() {
  FDataConnectionOpen = false;
  FPassiveAheadSent = false;
  TIdTCPClient::Disconnect();
}

void TIdFTP::SetBinaryMode() {
  if (TransferType == ftBinary || FDataConnectionOpen) return;
  TransferType = ftBinary;
  if (Connected()) SendCmd("TYPE I", {200});
}

void TIdFTP::ChangeDirectory(const std::string& ADirName) { SendCmd("CWD " + ADirName, {200, 250}); }
void TIdFTP::MakeDirectory(const std::string& ADirName) { SendCmd("MKD " + ADirName, {257}); }
void TIdFTP::RemoveDirectory(const std::string& ADirName) { SendCmd("RMD " + ADirName, {250}); }
void TIdFTP::DeleteFile(const std::string& AFileName) { SendCmd("DELE " + AFileName, {250}); }

void TIdFTP::Rename(const std::string& AFromName, const std::string& AToName) {
  CheckCommand("RNTO " + AToName);  // both names checked before the first is sent
  SendCmd("RNFR " + AFromName, {350});
  SendCmd("RNTO " + AToName, {250});
}

std::string TIdFTP::PrintWorkingDirectory() {
  SendCmd("PWD", {257});
  if (LastReply.Text.empty()) return std::string();
  const std::string& line = LastReply.Text.front();
  size_t first = line.find('"');
  if (first == std::string::npos) return std::string();
  size_t second = line.find('"', first + 1);
  if (second == std::string::npos) return std::string();
  return line.substr(first + 1, second - first - 1);
}

// ---------------------------------------------------------------------------------------
// Data connections

void TIdFTP::ParsePASV(const std::string& AReplyLine, std::string& AIP, int& APort) {
  std::string line(TrimBlanksAndControls(AReplyLine));
  std::string fields;
  size_t open = line.find('('), close = line.find(')', open == std::string::npos ? 0 : open);
  if (open != std::string::npos && close != std::string::npos) {
    fields = line.substr(open + 1, close - open - 1);
  } else {
    size_t blank = line.rfind(' ');
    fields = blank == std::string::npos ? line : line.substr(blank + 1);
  }
  // Whatever stands around the numbers ("=" in "227 =h1,h2,...", a closing period) is not
  // part of them.
  size_t firstDigit = fields.find_first_of("0123456789");
  size_t lastDigit = fields.find_last_of("0123456789");
  fields = firstDigit == std::string::npos ? std::string() : fields.substr(firstDigit, lastDigit - firstDigit + 1);
  int numbers[6];
  size_t pos = 0;
  for (int i = 0; i < 6; ++i) {
    size_t comma = fields.find(',', pos);
    std::string field(TrimBlanksAndControls(
        std::string_view(fields).substr(pos, comma == std::string::npos ? std::string::npos : comma - pos)));
    if (field.empty() || field.size() > 3 || field.find_first_not_of("0123456789") != std::string::npos)
      throw EIdInvalidPASVReply(line);
    numbers[i] = std::stoi(field);
    if (numbers[i] > 255) throw EIdInvalidPASVReply(line);
    if (i < 5) {
      if (comma == std::string::npos) throw EIdInvalidPASVReply(line);
      pos = comma + 1;
    } else if (comma != std::string::npos) {
      throw EIdInvalidPASVReply(line);
    }
  }
  AIP = std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." + std::to_string(numbers[2]) + "." +
        std::to_string(numbers[3]);
  APort = numbers[4] * 256 + numbers[5];
  if (APort == 0) throw EIdInvalidPASVReply(line);
}

std::string TIdFTP::MakePortArgument(const std::string& AIP, int APort) {
  std::string result = AIP;
  for (char& c : result)
    if (c == '.') c = ',';
  return result + "," + std::to_string(APort / 256) + "," + std::to_string(APort % 256);
}

int TIdFTP::ParseEPSV(const std::string& AReplyLine) {
  const std::string line(TrimBlanksAndControls(AReplyLine));
  const size_t open = line.find('('), close = line.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open + 6) throw EIdInvalidEPSVReply(line);
  // "(|||6446|)": three delimiters, the port, a delimiter; any printable delimiter.
  const std::string fields = line.substr(open + 1, close - open - 1);
  const char d = fields[0];
  const std::string digits = fields.substr(3, fields.size() - 4);
  if (d < 33 || d > 126 || fields[1] != d || fields[2] != d || fields.back() != d || digits.empty() ||
      digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
    throw EIdInvalidEPSVReply(line);
  const int port = std::stoi(digits);
  if (port < 1 || port > 65535) throw EIdInvalidEPSVReply(line);
  return port;
}

std::string TIdFTP::MakeEPRTArgument(const std::string& AIP, int APort) {
  return std::string("|") + (IsIPv6Address(AIP) ? "2" : "1") + "|" + AIP + "|" + std::to_string(APort) + "|";
}

bool TIdFTP::ControlIsIPv6() const {
  std::string peer;
  uint16_t port = 0;
  return FIOHandler && FIOHandler->PeerAddress(peer, port) == 0 && IsIPv6Address(peer);
}

void TIdFTP::InitDataConnection(TIdTCPConnection& AConnection) {
  AConnection.OnWorkBegin = OnWorkBegin;
  AConnection.OnWork = OnWork;
  AConnection.OnWorkEnd = OnWorkEnd;
  AConnection.RecvBufferSize = RecvBufferSize;
  AConnection.DataRecvSize = DataRecvSize;
  AConnection.SendBufferSize = SendBufferSize;
  AConnection.ReadTimeout = ReadTimeout;
  AConnection.RateLimiter = RateLimiter;
  AConnection.SetCanceller(&FCanceller);
  AConnection.IOHandlerFactory = FDataProtected ? &FTLS->DataFactory() : DataIOHandlerFactory;
}

int TIdFTP::RequestPassivePort() {
  // What was sent ahead is what would be sent now: FUseEPSV changes only here.
  bool sentAhead = std::exchange(FPassiveAheadSent, false);
  if (!FUseEPSV && !ControlIsIPv6()) {
    const int code = sentAhead ? GetResponse() : SendCmd("PASV");
    sentAhead = false;
    if (code == 227) {
      // The announced address is read (and must be well-formed) but not used: the data
      // connection always goes to the server the control connection talks to.
      std::string announced;
      int port = 0;
      ParsePASV(LastReply.Text.empty() ? std::string() : LastReply.Text.front(), announced, port);
      return port;
    }
    if (code < 500 || code > 599 || !Connected())
      throw EIdProtocolReplyError(LastReply.NumericCode, LastReply.TextWithLineEnds());
    FUseEPSV = true;  // for the rest of this connection
  }
  if (sentAhead)
    GetResponse({229});
  else
    SendCmd("EPSV", {229});
  return ParseEPSV(LastReply.Lines.empty() ? std::string() : LastReply.Lines.front());
}

void TIdFTP::OpenPassiveDataConnection(int APort, std::unique_ptr<TIdTCPClient>& AData) {
  if (!Connected()) throw EIdNotConnected();
  std::string peer;
  uint16_t peerPort = 0;
  int rc = FIOHandler->PeerAddress(peer, peerPort);
  if (rc != 0) throw EIdSocketError(rc);
  AData = std::make_unique<TIdTCPClient>();
  InitDataConnection(*AData);
  AData->Host = peer;
  AData->Port = APort;
  AData->Connect(ReadTimeout > 0 ? ReadTimeout : 0);
}

void TIdFTP::OpenPassiveDataConnectionAfter(int APort, std::unique_ptr<TIdTCPClient>& AData) {
  try {
    OpenPassiveDataConnection(APort, AData);
  } catch (const EIdException&) {
    // A server that refused the command at once may have closed its side already: its reply
    // tells the user why, where "Connection refused" would not. A refusal throws it here.
    if (Connected() && ReplyWaiting(kReplyGraceMs)) GetResponse({110, 125, 150, 154});
    throw;
  }
}

void TIdFTP::OpenActiveListener(std::unique_ptr<TIdSimpleServer>& AData) {
  if (!Connected()) throw EIdNotConnected();
  std::string local;
  uint16_t localPort = 0;
  int rc = FIOHandler->LocalAddress(local, localPort);
  if (rc != 0) throw EIdSocketError(rc);
  std::string peer;
  uint16_t peerPort = 0;
  rc = FIOHandler->PeerAddress(peer, peerPort);
  if (rc != 0) throw EIdSocketError(rc);
  AData = std::make_unique<TIdSimpleServer>();
  InitDataConnection(*AData);
  AData->BoundIP = local;
  AData->AllowedPeerIP = peer;  // the data must come from the server itself
  AData->BoundPort = 0;
  AData->BeginListen();
  if (IsIPv6Address(local))
    SendCmd("EPRT " + MakeEPRTArgument(AData->BoundIP, AData->BoundPort), {200});
  else
    SendCmd("PORT " + MakePortArgument(AData->BoundIP, AData->BoundPort), {200});
}

void TIdFTP::SendPassiveAhead() {
  if (!PassiveAhead || !Passive || !Connected()) return;
  try {
    WriteCommand(FUseEPSV || ControlIsIPv6() ? "EPSV" : "PASV");
    FPassiveAheadSent = true;
  } catch (const EIdException&) {
    // The data are complete; the final reply tells whether the connection is still there.
  }
}

void TIdFTP::BeforeCommand() {
  if (std::exchange(FPassiveAheadSent, false)) GetResponse();
}

void TIdFTP::ReadFinalReply() {
  int code = GetResponse({225, 226, 250, 426, 450});
  if (code != 426 && code != 450) return;
  // The server aborted the transfer: the data may be incomplete. Take the reply that may
  // follow only when it is already there or about to be, so nothing stale stays behind.
  TIdRFCReply aborted = LastReply;
  if (ReplyWaiting(kReplyGraceMs)) {
    try {
      // A reply that does not end a transfer answers the PASV sent ahead.
      const int following = GetResponse();
      if (following != 225 && following != 226 && following != 250 && following != 426 && following != 450 &&
          following != 451)
        FPassiveAheadSent = false;
    } catch (const EIdException&) {
      // Whatever it was, the transfer already failed.
    }
  }
  LastReply = aborted;
  DoStatus(StatusAborted, "Transfer aborted");
  throw EIdProtocolReplyError(aborted.NumericCode, aborted.TextWithLineEnds());
}

// After a failure on the data connection once the server had accepted the command, its
// final reply is still due; read and drop it if it comes at once, so that the next command
// does not take it for its own reply. False when it did not come in time: it could still
// come later and would then answer the next command, so the caller closes the connection.
static bool DropPendingReply(TIdTCPConnection& control, bool pending) {
  if (!pending || !control.Connected()) return true;
  try {
    if (control.ReplyWaiting(kReplyGraceMs)) {
      control.GetResponse();
      return true;
    }
  } catch (...) {
    // Already failing; the first failure is reported.
  }
  return false;
}

// Closes the data connection of a transfer. After a failure whose final reply is still due,
// that reply is dropped if it comes at once; otherwise the control connection is out of step
// and is closed, so a late reply never answers the next command.
void TIdFTP::EndDataConnection(std::unique_ptr<TIdTCPClient>& APassive, std::unique_ptr<TIdSimpleServer>& AActive,
                               bool AFailed, bool AReplyDue) {
  APassive.reset();
  AActive.reset();
  FDataConnectionOpen = false;
  const bool inStep = !AFailed || DropPendingReply(*this, AReplyDue);
  DoStatus(StatusReady, "Transfer complete");
  if (!inStep) Disconnect();
}

// Reads a transfer's data to their end. An encrypted one that ends in a hang-up without the
// server's closing alert may have been cut off, unless every announced byte came; then the
// final reply decides, as after a proper end.
static void ReadData(TIdTCPConnection& AData, TIdDataSink& ASink, bool AEncrypted) {
  try {
    AData.ReadUntilClosed(ASink);
  } catch (const EIdSocketError& e) {
    if (!AEncrypted || e.LastError != WSAECONNRESET || !ASink.Complete()) throw;
  }
}

void TIdFTP::TransferIn(const std::string& ACommand, TIdDataSink& ASink, int64_t ARestartAt) {
  CheckCommand(ACommand);
  DoStatus(StatusTransfer, "Starting FTP transfer");
  FDataConnectionOpen = true;
  std::unique_ptr<TIdTCPClient> passive;
  std::unique_ptr<TIdSimpleServer> active;
  bool replyDue = false;
  try {
    if (Passive && ARestartAt == 0) {
      const int port = RequestPassivePort();
      // At once, before the data connection exists (as for sending): the server works on the
      // command while the connection is made, which saves a round trip per file or listing.
      WriteCommand(ACommand);
      replyDue = true;
      OpenPassiveDataConnectionAfter(port, passive);
      GetResponse({125, 150, 154});
      ReadData(*passive, ASink, FDataProtected);
    } else if (Passive) {
      OpenPassiveDataConnection(RequestPassivePort(), passive);
      SendCmd("REST " + std::to_string(ARestartAt), {350});
      SendCmd(ACommand, {125, 150, 154});
      replyDue = true;
      ReadData(*passive, ASink, FDataProtected);
    } else {
      OpenActiveListener(active);
      if (ARestartAt > 0) SendCmd("REST " + std::to_string(ARestartAt), {350});
      SendCmd(ACommand, {125, 150, 154});
      replyDue = true;
      active->Listen(ReadTimeout);
      ReadData(*active, ASink, FDataProtected);
    }
  } catch (const EIdProtocolReplyError&) {
    // A refusal is itself the reply that was due: the connection is in step.
    EndDataConnection(passive, active, false, false);
    throw;
  } catch (...) {
    EndDataConnection(passive, active, true, replyDue);
    throw;
  }
  EndDataConnection(passive, active, false, false);
  // Every byte came, so the server is done with the data connection: the next one can be
  // asked for while its final reply is on the way.
  SendPassiveAhead();
  ReadFinalReply();
}

void TIdFTP::TransferOut(const std::string& ACommand, TTransferFile& AFile, int64_t ASize) {
  CheckCommand(ACommand);
  DoStatus(StatusTransfer, "Starting FTP transfer");
  FDataConnectionOpen = true;
  std::unique_ptr<TIdTCPClient> passive;
  std::unique_ptr<TIdSimpleServer> active;
  bool replyDue = false;
  try {
    if (Passive) {
      const int port = RequestPassivePort();
      WriteCommand(ACommand);  // at once, before the data connection exists
      replyDue = true;
      OpenPassiveDataConnectionAfter(port, passive);
      GetResponse({110, 125, 150});
      try {
        passive->WriteFileData(AFile, ASize);
      } catch (const EIdSocketError& e) {
        if (e.LastError != WSAENOTSOCK) throw;
      }
    } else {
      OpenActiveListener(active);
      SendCmd(ACommand, {125, 150});
      replyDue = true;
      active->Listen(ReadTimeout);
      active->WriteFileData(AFile, ASize);
    }
  } catch (const EIdProtocolReplyError&) {
    // The command's own reply refused it: nothing more is due.
    EndDataConnection(passive, active, false, false);
    throw;
  } catch (...) {
    EndDataConnection(passive, active, true, replyDue);
    throw;
  }
  EndDataConnection(passive, active, false, false);
  ReadFinalReply();
}

bool TIdFTP::CanResume() {
  if (FCanResume < 0) {
    FCanResume = SendCmd("REST 1") == 350 ? 1 : 0;
    SendCmd("REST 0");
  }
  return FCanResume == 1;
}

void TIdFTP::ListDirectory(const std::string& APath, bool ADetails) { ListDirectory(nullptr, APath, ADetails); }

void TIdFTP::ListDirectory(std::vector<std::string>* ADest, const std::string& APath, bool ADetails) {
  const std::string command(TrimSpaces((ADetails ? "LIST " : "NLST ") + APath));
  TStringSink sink(MaxListingSize);
  TransferIn(command, sink, 0);
  FListing.SetText(std::move(sink.FText));
  if (ADest) {
    ADest->clear();
    for (std::string_view line : FListing.Lines()) ADest->emplace_back(line);
  }
}

void TIdFTP::MachineListDirectory(const std::string& ADirectory) {
  TStringSink sink(MaxListingSize);
  TransferIn(std::string(TrimSpaces("MLSD " + ADirectory)), sink, 0);
  FListing.SetText(std::move(sink.FText), true);
}

TIdFTPListItems& TIdFTP::ListingItems() { return FListing.Items(Now()); }

int64_t TIdFTP::SizeMismatchCutOff(int64_t AListedSize) {
  const int64_t extra = (int64_t{1} << 20) + AListedSize / 100;
  return AListedSize > INT64_MAX - extra ? INT64_MAX : AListedSize + extra;
}

int64_t TIdFTP::DownloadRoom(const std::string& ADestFile, int64_t AListedSize) {
  if (AListedSize >= 0 && AListedSize <= kLargestCredibleSize) return -1;
  const int64_t free = FreeBytes(ExtractFilePath(ADestFile));
  return free < 0 ? -1 : free - free / 100;
}

void TIdFTP::GetFile(const std::string& ASourceFile, const std::string& ADestFile, bool ACanOverwrite, bool AResume,
                     int64_t AListedSize) {
  CheckCommand("RETR " + ASourceFile);  // before the restart probe or any file work
  bool resume = false;
  if (TTransferFile::Exists(ADestFile)) {
    resume = AResume && CanResume();
    if (ACanOverwrite == resume) throw EIdFTPFileAlreadyExists();
  }

  TTransferFile file;
  if (resume) {
    // Resuming appends to the existing file in place: keeping what is there is the point.
    if (!file.OpenAppend(ADestFile)) throw FileError("Cannot open file", ADestFile, file.LastError());
    const int64_t size = file.Size();
    TFileSink sink(file);
    TransferIn("RETR " + ASourceFile, sink, size);
    if (!file.Close()) throw FileError("Cannot write to file", ADestFile, file.LastError());
  } else {
    // Received beside the target under a hidden name, and renamed over it only once the
    // server confirmed the transfer: a failure leaves the old file exactly as it was.
    if (!file.CreateTempBeside(ADestFile)) throw FileError("Cannot create file", ADestFile, file.LastError());
    const std::string temp = file.Path();
    try {
      TFileSink sink(file);
      // In ASCII mode the server may turn line ends, so its size says nothing of what comes.
      const bool checkSize = AListedSize >= 0 && TransferType == ftBinary;
      if (checkSize) {
        sink.RemoteName = ASourceFile;
        sink.ListedSize = AListedSize;
        sink.Limit = SizeMismatchCutOff(AListedSize);
        file.Reserve(AListedSize);
      }
      sink.Room = DownloadRoom(ADestFile, AListedSize);
      TransferIn("RETR " + ASourceFile, sink, 0);
      if (checkSize && sink.Received != AListedSize) throw EIdFTPSizeMismatch(ASourceFile, AListedSize, sink.Received);
      if (!file.Close()) throw FileError("Cannot write to file", ADestFile, file.LastError());
      int error = 0;
      if (!TTransferFile::Rename(temp, ADestFile, error)) throw FileError("Cannot create file", ADestFile, error);
    } catch (...) {
      file.Close();
      TTransferFile::Remove(temp);
      throw;
    }
  }
  RaiseAfterGet(ADestFile);
}

void TIdFTP::RaiseAfterGet(const std::string& ALocalFile) {
  if (!OnAfterGet) return;
  TTransferFile done;
  const int64_t size = done.OpenRead(ALocalFile) ? done.Size() : -1;
  OnAfterGet(this, ALocalFile, size);
}

void TIdFTP::GetFileResumable(const std::string& ASourceFile, const std::string& ADestFile,
                              const std::string& APartialFile, bool ACanOverwrite, int64_t AListedSize) {
  CheckCommand("RETR " + ASourceFile);
  if (!ACanOverwrite && TTransferFile::Exists(ADestFile)) throw EIdFTPFileAlreadyExists();
  TTransferFile file;
  int64_t restartAt = 0;
  if (TTransferFile::Exists(APartialFile)) {
    RequestFeatures();
    if (HasFeature("REST") && file.OpenAppend(APartialFile)) restartAt = file.Size();
  }
  if (restartAt <= 0 || restartAt >= AListedSize) {
    // Made anew, never opened where it stands: a link put there would lead the bytes elsewhere.
    restartAt = 0;
    file.Close();
    TTransferFile::Remove(APartialFile);
    if (!file.CreateNew(APartialFile)) throw FileError("Cannot create file", APartialFile, file.LastError());
  }
  TFileSink sink(file);
  sink.Received = restartAt;
  sink.RemoteName = ASourceFile;
  sink.ListedSize = AListedSize;
  sink.Limit = SizeMismatchCutOff(AListedSize);
  sink.Room = DownloadRoom(ADestFile, AListedSize);
  file.Reserve(AListedSize - restartAt);
  try {
    ContinueInto(ASourceFile, APartialFile, file, sink);
  } catch (...) {
    file.Close();  // what came stays, for the next attempt to continue
    throw;
  }
  const bool closed = file.Close();
  if (sink.Received != AListedSize) {
    TTransferFile::Remove(APartialFile);
    throw EIdFTPSizeMismatch(ASourceFile, AListedSize, sink.Received);
  }
  if (!closed) throw FileError("Cannot write to file", APartialFile, file.LastError());
  int error = 0;
  if (!TTransferFile::Rename(APartialFile, ADestFile, error)) throw FileError("Cannot create file", ADestFile, error);
  RaiseAfterGet(ADestFile);
}

void TIdFTP::ContinueInto(const std::string& ASourceFile, const std::string& APartialFile, TTransferFile& AFile,
                          TFileSink& ASink) {
  const int64_t restartAt = ASink.Received;
  const int64_t overlap = std::min(restartAt, kResumeCheckBytes);
  std::string kept = overlap > 0 ? KeptTail(APartialFile, restartAt, overlap) : std::string();
  if (kept.empty()) {
    TransferIn("RETR " + ASourceFile, ASink, restartAt);
    return;
  }
  // The bytes before the resume point come again: another version of the file of the same
  // size and time is never joined to what was kept.
  TResumeCheckSink check(ASink, std::move(kept));
  try {
    TransferIn("RETR " + ASourceFile, check, restartAt - overlap);
  } catch (const EResumeMismatch&) {
    AFile.Close();
    TTransferFile::Remove(APartialFile);
    if (!AFile.CreateNew(APartialFile)) throw FileError("Cannot create file", APartialFile, AFile.LastError());
    ASink.Received = 0;
    TransferIn("RETR " + ASourceFile, ASink, 0);
  }
}

void TIdFTP::PutFile(const std::string& ASourceFile, const std::string& ADestFile, bool AAppend) {
  CheckCommand(ADestFile);
  TTransferFile file;
  if (!file.OpenRead(ASourceFile)) throw FileError("Cannot open file", ASourceFile, file.LastError());
  const int64_t size = file.Size();
  std::string command;
  if (ADestFile.empty())
    command = "STOU";
  else
    command = (AAppend ? "APPE " : "STOR ") + ADestFile;
  TransferOut(command, file, size < 0 ? 0 : size);
}
