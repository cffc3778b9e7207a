#pragma once
// TIdFTP: the FTP client (RFC 959): login, commands, and passive (PASV, EPSV) or active
// (PORT, EPRT) data transfers, in the clear or over TLS (RFC 4217), over IPv4 or IPv6.
//
// Threads: a TIdFTP belongs to the one thread that uses it (a session's worker, or the main
// thread for a connection test); every event is raised on that thread, inside the operation
// that causes it. The ONLY member another thread may call is ShutdownSocket(), which makes a
// blocked operation end promptly so program exit never hangs on a worker.
//
// Failures are exceptions rooted at EIdException (ftp/IdException.h): a refused reply is
// EIdProtocolReplyError with its ReplyCode; socket failures carry socket error numbers
// (the 100xx numbering of platform/Socket.h).
//
// Safety decisions of this client:
// - PASV: the reply's address is parsed, but the data connection goes to the address of the
//   control connection's peer (a server cannot send the client to another host).
// - A command whose argument holds CR or LF is never sent (EIdInvalidCommandArgument).
// - GetFile receives into a hidden temporary file beside the target and renames it over the
//   target only after the final reply was accepted; on failure the old file stays untouched.
// - A final reply of 426 or 450 (transfer aborted by the server) raises status 8 "Transfer
//   aborted" and then fails with EIdProtocolReplyError carrying that code.
// - Data connections honour ReadTimeout (connect, accept, every read and write).
// - One listing is at most MaxListingSize bytes (EIdFTPListingTooLarge).
// - Over IPv6 the data connections use EPSV and EPRT; over IPv4, PASV and PORT, and EPSV
//   from the first PASV the server refuses with a 5xx reply on.
// - TLS fails closed: when the server refuses it, the handshake fails or its certificate is
//   not trusted (see ftp/IdTLSClient.h), the login fails with EIdTLSError before the user
//   name or the password was sent. Every data connection is then encrypted too. One that
//   ends in a hang-up without the server's closing alert fails as cut off, unless it was a
//   file of a listed size (binary) and all of it came.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ftp/IdException.h"
#include "ftp/IdFTPList.h"
#include "ftp/IdRFCReply.h"
#include "ftp/IdTCPClient.h"
#include "ftp/IdTLSClient.h"
#include "platform/Socket.h"

class TIdSimpleServer;
class TTransferFile;

// How the connection is protected: not at all; with TLS after "AUTH TLS" (explicit); with
// TLS from the first byte (implicit, usually on port 990).
enum TIdFTPEncryption { etNone = 0, etExplicitTLS = 1, etImplicitTLS = 2 };

enum TIdFTPTransferType { ftASCII = 0, ftBinary = 1 };

enum TIdFtpProxyType {
  fpcmNone = 0,
  fpcmUserSite,
  fpcmSite,
  fpcmOpen,
  fpcmUserPass,
  fpcmTransparent,
  fpcmHttpProxyWithFtp
};
// Kept for completeness of the settings; proxy login is not implemented (never used).
struct TIdFtpProxySettings {
  TIdFtpProxyType ProxyType = fpcmNone;
  std::string Host;
  std::string UserName;
  std::string Password;
  int Port = 0;
};

// Raised after a completed retrieval with the local file's final path and its size.
using TIdAfterGetEvent = std::function<void(TIdComponent* ASender, const std::string& ALocalFile, int64_t ASize)>;

class TIdFTP : public TIdTCPClient {
 public:
  TIdFTP();
  ~TIdFTP() override;

  // --- Settings (Host, Port, BoundIP, BoundPort: TIdTCPClient; ReadTimeout, MaxLineLength,
  //     MaxLineAction, RecvBufferSize, DataRecvSize, SendBufferSize, ASCIIFilter:
  //     TIdTCPConnection) ---
  std::string Username;
  std::string Password;
  bool Passive = false;  // true: PASV; false: PORT
  // Passive only: once a download's data have all come, the next PASV (or EPSV) is sent
  // before the transfer's final reply is read, so that its reply comes with that one. For a
  // connection that fetches file after file; an offer left unused costs the server a port.
  bool PassiveAhead = false;
  TIdFTPTransferType TransferType = ftBinary;
  TIdFtpProxySettings ProxySettings;
  int64_t MaxListingSize = int64_t{64} << 20;  // bytes of one listing
  // Makes the streams of the data connections (not owned); none: plain TCP. With TLS, the
  // encrypted stream runs over the one it makes.
  TIdIOHandlerFactory* DataIOHandlerFactory = nullptr;
  TIdFTPEncryption Encryption = etNone;
  // SHA-256 fingerprint (hex; ":" and blanks ignored) of a certificate to accept although
  // it does not verify; empty: only verified certificates are accepted.
  std::string PinnedFingerprint;

  // --- State ---
  TIdRFCReply Greeting;           // the reply sent on connecting
  TIdRFCReply LoginReply;         // the last reply of the login exchange
  std::string SystemDescription;  // first line of the SYST reply, or "Unknown"
  // What FEAT listed (one entry per feature line, "UTF8", "MLST type*;size*;"), once
  // RequestFeatures ran on this connection; with TLS the login runs it.
  std::vector<std::string> Features;
  // (LastReply: TIdTCPConnection)

  // --- Events (all optional; OnStatus, OnConnected, OnDisconnected and the work events are
  //     inherited). Work events of a transfer arrive with the data connection as sender. ---
  TIdNotifyEvent OnAfterClientLogin;
  TIdAfterGetEvent OnAfterGet;

  // --- Operations (owner thread) ---
  // Connect (ATimeout neither 0 nor -1: connect time-out in ms), greeting 220, with TLS
  // the handshake (implicit: on connecting; explicit: after "AUTH TLS"), and with ALogin:
  // USER/PASS, with TLS "PBSZ 0" and "PROT P", FEAT (also in the clear) and "OPTS UTF8 ON"
  // when it lists UTF8, then OnAfterClientLogin, TYPE, SYST, status 7 "Connection established".
  // Any failure disconnects and propagates.
  void ConnectAndLogin(bool ALogin = true, int ATimeout = 0);
  bool IsConnected() const { return Connected(); }
  // Closes the control connection (no QUIT): status 3, OnDisconnected, status 4.
  void Disconnect() override;

  void SetBinaryMode();                               // "TYPE I" when the type changes
  void ChangeDirectory(const std::string& ADirName);  // CWD, 200/250
  void MakeDirectory(const std::string& ADirName);    // MKD, 257
  void RemoveDirectory(const std::string& ADirName);  // RMD, 250
  void DeleteFile(const std::string& AFileName);      // DELE, 250
  // RNFR 350, then RNTO 250: AFromName gets the name AToName.
  void Rename(const std::string& AFromName, const std::string& AToName);
  std::string PrintWorkingDirectory();  // PWD, 257: the quoted path
  // FEAT, once per connection, into Features (empty when the server refuses it).
  void RequestFeatures();
  // Whether Features names AFeature (its first word, letter case ignored).
  bool HasFeature(const std::string& AFeature) const;
  // MDTM of one file (when FEAT lists MDTM): its modification time as the server tells it,
  // in UTC by the command's rules, converted to local time; nothing when it is not offered,
  // refused or unreadable.
  std::optional<TDateTime> ModificationTime(const std::string& AFileName);
  // Gives a file on the server the modification time ALocalTime (sent as UTC, to the second):
  // MFMT when FEAT lists it, else "SITE UTIME", else "MDTM time name" where FEAT lists MDTM.
  // A command refused before it ever worked on this connection, or not understood, is not
  // sent again on it; false when no command set the time (a refusal for this file, or none
  // offered). Never throws for a refusal.
  bool SetModificationTime(const std::string& AFileName, TDateTime ALocalTime);
  // False once this connection found no command that sets times.
  bool MaySetModificationTime() const { return FSetTimeCommand != TSetTimeCommand::None; }

  // The certificate the server offered on the last TLS connection (also one that was then
  // rejected), and the protocol agreed ("TLSv1.3"); empty without TLS.
  const TIdCertificateInfo& ServerCertificate() const;
  std::string TLSVersion() const;

  // Whether LIST "-a" is worth sending on this connection; its users clear it when the server
  // proves to read "-a" as a name.
  bool ListAllOptionWorks = true;
  // LIST (ADetails) or NLST + APath, trimmed ("LIST" for an empty path). Keeps the text as
  // lines for ListingItems(); with ADest, also stores the lines there. A failed listing
  // leaves the previous one in place.
  void ListDirectory(const std::string& APath = std::string(), bool ADetails = true);
  void ListDirectory(std::vector<std::string>* ADest, const std::string& APath, bool ADetails);
  // MLSD + ADirectory, trimmed ("MLSD" for an empty one): the machine listing (RFC 3659),
  // which ListingItems() parses as such. Only for a server whose features name MLST.
  void MachineListDirectory(const std::string& ADirectory = std::string());
  // RETR ASourceFile into ADestFile. An existing ADestFile without ACanOverwrite (and
  // without an effective resume) raises EIdFTPFileAlreadyExists before anything is sent.
  // AListedSize (bytes, -1: unknown) is the size the listing gave; in binary mode a file
  // that arrives with another size raises EIdFTPSizeMismatch and ADestFile stays as it was,
  // and the data connection is dropped once SizeMismatchCutOff(AListedSize) bytes came.
  void GetFile(const std::string& ASourceFile, const std::string& ADestFile, bool ACanOverwrite = false,
               bool AResume = false, int64_t AListedSize = -1);
  // How much of a listed file is read before the transfer is given up as too long: the
  // listed size, 1 MiB and 1 % more, so that a file that grows a little while it is sent
  // still ends with the server's final reply (and fails on its size), while a stream without
  // end is cut off.
  static int64_t SizeMismatchCutOff(int64_t AListedSize);
  // The most a download of unknown or incredible size (over 2^53) may write: the free space
  // of ADestFile's file system less 1 %; -1 (no cap) for a credible listed size.
  static int64_t DownloadRoom(const std::string& ADestFile, int64_t AListedSize);
  // RETR ASourceFile of AListedSize bytes (binary mode) into APartialFile, renamed over
  // ADestFile once whole; APartialFile stays when the transfer breaks off. An existing
  // APartialFile shorter than AListedSize is continued from its end (REST) when the server
  // lists REST among its features (FEAT), and written anew otherwise; the last 64 KiB before
  // the resume point are fetched again, and when they differ from what was kept the file
  // comes whole from the start. A file that does not
  // come to AListedSize bytes raises EIdFTPSizeMismatch, and APartialFile is removed.
  // ACanOverwrite as for GetFile.
  void GetFileResumable(const std::string& ASourceFile, const std::string& ADestFile, const std::string& APartialFile,
                        bool ACanOverwrite, int64_t AListedSize);
  // STOR ADestFile (APPE with AAppend, STOU for an empty name) from ASourceFile.
  void PutFile(const std::string& ASourceFile, const std::string& ADestFile, bool AAppend = false);

  // The entries of the most recent successful listing, parsed on first use (year-less
  // dates against Now() of platform/DateTime.h, which tests may replace).
  TIdFTPListItems& ListingItems();
  // The text of the most recent successful listing, and its lines (views into the text,
  // valid until the next successful listing).
  const std::string& ListingText() const { return FListing.Text(); }
  std::vector<std::string_view> ListingLines() const { return FListing.Lines(); }

  // Any thread, any time: shuts down the control and data sockets so that a blocked read,
  // write, connect or accept returns, and makes every later socket operation of this object
  // fail (EIdSocketError 10004 "Interrupted system call." or EIdConnClosedGracefully). The
  // object can then only be disconnected and destroyed.
  void ShutdownSocket() noexcept { FCanceller.Cancel(); }

  // Helpers exposed for tests: the PASV reply text -> address and port; the PORT argument;
  // the EPSV reply text -> port ("(|||6446|)", any delimiter); the EPRT argument.
  static void ParsePASV(const std::string& AReplyLine, std::string& AIP, int& APort);
  static std::string MakePortArgument(const std::string& AIP, int APort);
  static int ParseEPSV(const std::string& AReplyLine);
  static std::string MakeEPRTArgument(const std::string& AIP, int APort);

 private:
  class TStringSink;
  class TFileSink;
  void Login();
  void StartTLS();
  void ProtectData();
  // Features from the reply to FEAT just read (none unless it is 211).
  void TakeFeatures(int AReplyCode);
  bool ControlIsIPv6() const;
  void InitDataConnection(TIdTCPConnection& AConnection);
  void TransferIn(const std::string& ACommand, TIdDataSink& ASink, int64_t ARestartAt);
  // RETR from ASink.Received on, into APartialFile (open in AFile) of that size; see
  // GetFileResumable for the check of what was kept.
  void ContinueInto(const std::string& ASourceFile, const std::string& APartialFile, TTransferFile& AFile,
                    TFileSink& ASink);
  void TransferOut(const std::string& ACommand, TTransferFile& AFile, int64_t ASize);
  void EndDataConnection(std::unique_ptr<TIdTCPClient>& APassive, std::unique_ptr<TIdSimpleServer>& AActive,
                         bool AFailed, bool AReplyDue);
  // PASV or EPSV; the port of a well-formed reply.
  int RequestPassivePort();
  void OpenPassiveDataConnection(int APort, std::unique_ptr<TIdTCPClient>& AData);
  // The same once the transfer command has been sent: a failure to connect that the server
  // explains with a refusal of the command raises that refusal.
  void OpenPassiveDataConnectionAfter(int APort, std::unique_ptr<TIdTCPClient>& AData);
  void OpenActiveListener(std::unique_ptr<TIdSimpleServer>& AData);
  void ReadFinalReply();
  // The PASV sent ahead and not taken: its reply is read and dropped.
  void BeforeCommand() override;
  void SendPassiveAhead();
  bool CanResume();
  void RaiseAfterGet(const std::string& ALocalFile);

  TSocketCanceller FCanceller;
  TIdFTPListing FListing;
  int FCanResume = -1;  // -1: not probed yet
  bool FDataConnectionOpen = false;
  std::unique_ptr<TIdTLSClient> FTLS;  // of the last connection with TLS
  bool FDataProtected = false;         // PROT P accepted: data connections use TLS
  bool FUseEPSV = false;               // the server refused PASV
  bool FPassiveAheadSent = false;      // its reply not read yet
  bool FFeaturesRequested = false;
  // The command that sets a file's time on this connection, once tried.
  enum class TSetTimeCommand { Unknown, Mfmt, SiteUtime, MdtmWithTime, None };
  TSetTimeCommand FSetTimeCommand = TSetTimeCommand::Unknown;
  bool FSetTimeWorked = false;  // that command set a time on this connection
};
