#pragma once
// TIdTCPConnection: line and buffer I/O on one TCP connection, the reply reader, the one
// function that sends commands, and the work events of data transfers.
// Owner thread only (see TIdFTP::ShutdownSocket for the one cross-thread operation).

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "ftp/IdComponent.h"
#include "ftp/IdIOHandlerSocket.h"
#include "ftp/IdIOHandlerTCP.h"
#include "ftp/IdRFCReply.h"

class TRateLimiter;
class TSocketCanceller;
class TTransferFile;

enum TIdMaxLineAction { maException = 0, maSplit = 1 };

enum TIdWireDirection { wdSent = 0, wdReceived = 1 };
// One command sent (without CR LF) or one reply line received on the control connection,
// for a debug trace. A password never shows: "PASS secret" is traced as "PASS ****".
using TIdWireTraceEvent = std::function<void(TIdWireDirection ADirection, const std::string& ALine)>;

// Where received data goes (a file, or the text of a listing).
class TIdDataSink {
 public:
  virtual ~TIdDataSink() = default;
  virtual void Write(const char* data, size_t length) = 0;  // throws on failure
  // Every byte announced beforehand has come (a file of a listed size).
  virtual bool Complete() const { return false; }
};

class TIdTCPConnection : public TIdComponent {
 public:
  TIdTCPConnection();
  ~TIdTCPConnection() override;

  // Settings.
  int ReadTimeout = 0;         // ms to wait for data; 0 waits without limit
  int MaxLineLength = 16384;   // longest line ReadLn accepts
  int MaxReplySize = 1 << 20;  // bytes of one reply, its lines (blank ones too) with their ends
  TIdMaxLineAction MaxLineAction = maException;
  int RecvBufferSize = 32768;  // bytes asked per receive of replies and lines
  // Bytes asked per receive while a data stream is read to its end. Large, so that each
  // receive takes all the socket holds: a file write and a work event per chunk, and over
  // loopback a download spent about a third less system time than with 32 KB chunks.
  int DataRecvSize = 1 << 20;
  int SendBufferSize = 32768;  // chunk size of data writes
  bool ASCIIFilter = false;    // clear the top bit of every received byte
  // Shared by every connection whose data count against one limit (a session's); none: as
  // fast as the network goes. Data are then moved in the limiter's steps.
  std::shared_ptr<TRateLimiter> RateLimiter;

  // Events.
  TIdNotifyEvent OnConnected;
  TIdNotifyEvent OnDisconnected;
  TWorkBeginEvent OnWorkBegin;
  TWorkEvent OnWork;
  TWorkEndEvent OnWorkEnd;
  TIdWireTraceEvent OnWireTrace;  // commands and reply lines (WriteCommand, GetResponse)

  TIdRFCReply LastReply;  // the most recent reply read

  // True while the socket is open.
  bool Connected() const;
  // Status 3, close, free the handler, OnDisconnected, status 4. Nothing when not connected.
  virtual void Disconnect();

  // --- Lines and replies (the control connection) ---
  // One line up to LF, a CR before the LF removed. Waits ReadTimeout ms whenever the buffer
  // holds no complete line (EIdReadTimeout); EIdReadLnMaxLineLengthExceeded (maException)
  // or a cut line (maSplit) past MaxLineLength; EIdConnClosedGracefully when the peer closed.
  std::string ReadLn();
  // Reads one complete reply (multi-line aware) into LastReply and returns its code. With a
  // non-empty accepted set, a code outside it raises EIdProtocolReplyError.
  // A reply that timed out, one without a numeric code, and 421 (the server is closing)
  // leave the connection out of step: it is closed (Disconnect) before the failure is
  // raised, so that no later command takes a late reply for its own.
  int GetResponse(std::initializer_list<int> AAllowedResponses = {});
  // WriteCommand, then GetResponse.
  int SendCmd(const std::string& ACommand, std::initializer_list<int> AAllowedResponses = {});
  // The one function that sends a command: refuses a command holding CR or LF with
  // EIdInvalidCommandArgument before anything is written, else writes it followed by CR LF.
  void WriteCommand(const std::string& ACommand);
  // The check WriteCommand makes, for operations that must refuse a command before the
  // commands that prepare it (PASV, PORT) are sent.
  static void CheckCommand(const std::string& ACommand);
  // True when a complete line is buffered or arrives within AWaitMs ms (no exception on
  // timeout; a closed connection gives false).
  bool ReplyWaiting(int AWaitMs);

  // --- Raw data (the data connections) ---
  void Write(const char* AData, size_t ALength);
  // Reads until the peer closes, in DataRecvSize chunks, into ASink, with work events
  // (WorkRead, 0). Honours ReadTimeout per wait.
  void ReadUntilClosed(TIdDataSink& ASink);
  // Sends AFile from its start in SendBufferSize chunks with work events (WorkWrite, size).
  void WriteFileData(TTransferFile& AFile, int64_t ASize);

  // --- Work events, counted per mode with a nesting depth ---
  void BeginWork(TWorkMode AWorkMode, int64_t ASize = 0);
  void DoWork(TWorkMode AWorkMode, int64_t ACount);
  void EndWork(TWorkMode AWorkMode);

  TIdIOHandlerSocket* IOHandler() const { return FIOHandler.get(); }
  // Makes this connection's stream once it is connected or accepted (not owned); none: the
  // TCP stream stays.
  TIdIOHandlerFactory* IOHandlerFactory = nullptr;
  // Hands the connected stream to AFactory and talks through the one it returns from now
  // on (also for a connection that agrees to encrypt halfway). Refused while received
  // bytes wait in the input buffer: they came over the old stream, and reading them as if
  // they came over the new one would let whoever sent them speak for the server; the
  // connection is then closed (Disconnect) and EIdInputBeforeStreamChange raised. When
  // AFactory fails, the connection is left without a stream (not connected).
  void AdoptIOHandler(TIdIOHandlerFactory& AFactory);
  // The canceller shared by this connection's sockets (set by the owner before connecting).
  void SetCanceller(TSocketCanceller* ACanceller) { FCanceller = ACanceller; }

 protected:
  // Called by WriteCommand before a command goes out: replies still owed to commands
  // sent ahead are taken first, so that the command's own reply is the next one read.
  virtual void BeforeCommand() {}
  // Creates the TCP stream (owned), handing it OnStatus; it is then to be connected or
  // accepted into.
  TIdIOHandlerTCP& CreateIOHandler();
  // The server closed the connection: close, status 4, OnDisconnected.
  void ClosedByPeer();
  // Raises the exception for a socket result code (timeouts as EIdReadTimeout).
  [[noreturn]] void RaiseSocketError(int ACode);
  // Counts AMoved bytes of data against the limit, waiting as long as it asks; a stop
  // during the wait fails as an interrupted socket operation.
  void Throttle(size_t AMoved);
  // The most one data read or write moves: ADefault, or less under a limit.
  size_t DataStep(int ADefault) const;
  // Receives once into the input buffer; false when the peer closed.
  bool ReadFromStack(int ATimeoutMs, bool ARaiseExceptionIfDisconnected);

  std::unique_ptr<TIdIOHandlerSocket> FIOHandler;
  TSocketCanceller* FCanceller = nullptr;
  std::string FInputBuffer;  // received bytes; [FConsumed, size) not yet read
  size_t FConsumed = 0;      // compacted once it reaches 32768

 private:
  int FWorkDepth[2] = {0, 0};
  int64_t FWorkCount[2] = {0, 0};
};
