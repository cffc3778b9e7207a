#pragma once
// TRemoteConnection: one connection to a remote tree, whatever the protocol. The engine
// works through this alone; each protocol is a backend in a folder of its own under
// remote/ (remote/ftp, ...), made by MakeRemoteConnection (remote/RemoteFactory.h).
//
// Threads: a connection belongs to the thread that uses it; every event is raised on that
// thread, inside the operation that causes it. The ONLY member another thread may call is
// Cut(), which makes a blocked operation end promptly.
//
// Failures are ERemoteError (remote/RemoteError.h). Names are as the server has them: a
// bare name is in the directory last entered, a name beginning with "/" is absolute.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/DateTime.h"
#include "remote/RemoteEntry.h"
#include "remote/RemoteError.h"

enum class TTransferDirection { Receiving, Sending };

// What the test log shows of a debug run's traffic: a command sent ("> "), a line received
// ("< "), or a note of the connection's own ("* ": the protocol and the certificate or host
// key once the connection is protected).
enum class TWireLine { Sent, Received, Note };

// The events a connection raises (all optional).
struct TRemoteEvents {
  std::function<void()> OnConnected;     // the connection is made (before the login)
  std::function<void()> OnLoggedIn;      // the login was accepted
  std::function<void()> OnDisconnected;  // the connection was closed
  // A transfer begins (with its expected size, -1 when unknown), goes on (bytes so far) and ends.
  std::function<void(TTransferDirection, int64_t)> OnWorkBegin;
  std::function<void(TTransferDirection, int64_t)> OnWork;
  std::function<void(TTransferDirection)> OnWorkEnd;
  std::function<void(const std::string& ALocalFile)> OnFetched;  // a fetched file is in place
  std::function<void(TWireLine, const std::string&)> OnWireTrace;
};

// What the server offers; asking may cost a round trip the first time on a connection.
struct TRemoteCapabilities {
  bool ExactTimes = false;  // listings with times to the second
  bool Resume = false;      // a fetch continues from an offset
  bool RenameOver = false;  // a rename replaces an existing file by itself
  bool SetTime = false;     // a file's time can be set
  bool Utf8 = false;        // names are UTF-8
};

// The certificate or host key the server offered on the last protected connection.
struct TRemoteIdentity {
  std::string Subject;
  std::string Issuer;
  std::string ValidFrom;
  std::string ValidUntil;
  std::string Fingerprint;  // SHA-256, hex
  bool Trusted = false;     // verified (rather than accepted for its pinned fingerprint)
};

struct TListRequest {
  // A directory ending in "/", or a directory and a file mask ("/pub/*.zip"). The caller
  // has entered the directory.
  std::string Path;
  bool ExactTimes = false;  // the session asks for times to the second where the server has them
  bool DotNames = false;    // names beginning with "." are ordinary names, to be listed too
};

struct TFetchRequest {
  std::string RemoteName;
  std::string LocalFile;
  bool CanOverwrite = false;  // an existing local file may be replaced (else the fetch fails)
  int64_t ExpectedSize = -1;  // the listed size; a file that arrives with another fails; -1: unknown
  // Empty: the file arrives beside the target under a temporary name and replaces it whole.
  // Else the file whose ExpectedSize is known is fetched into this one, continued from its
  // end where the server can resume, and renamed over LocalFile once whole; it stays when
  // the transfer breaks off.
  std::string PartialFile;
};

class TRemoteConnection {
 public:
  TRemoteConnection() = default;
  TRemoteConnection(const TRemoteConnection&) = delete;
  TRemoteConnection& operator=(const TRemoteConnection&) = delete;
  virtual ~TRemoteConnection() = default;

  TRemoteEvents Events;

  // Connects and logs in with the settings the connection was made with. Any failure
  // leaves it disconnected and is thrown.
  virtual void Connect() = 0;
  virtual bool Connected() const = 0;
  // Closes the connection (OnDisconnected).
  virtual void Disconnect() = 0;
  // Any thread, any time: a blocked operation returns with a failure of kind Cancelled (or
  // ConnectionLost), and so does every later one. The connection can then only be
  // disconnected and destroyed.
  virtual void Cut() noexcept = 0;
  // What a test log records after the login: the server's answer to it and the system it names.
  virtual std::vector<std::string> LoginDescription() const = 0;
  virtual TRemoteIdentity ServerIdentity() const = 0;
  virtual TRemoteCapabilities Capabilities() = 0;

  virtual void ChangeDirectory(const std::string& ADirectory) = 0;
  // The absolute path of the directory entered; empty when the server does not say it exactly.
  virtual std::string WorkingDirectory() = 0;
  virtual TRemoteListing List(const TListRequest& ARequest) = 0;
  virtual void MakeDirectory(const std::string& ADirectory) = 0;
  virtual void RemoveDirectory(const std::string& ADirectory) = 0;
  virtual void DeleteFile(const std::string& AName) = 0;
  // Sends ALocalFile as ARemoteName from byte AOffset of both on (0: the whole file).
  virtual void Send(const std::string& ALocalFile, const std::string& ARemoteName, int64_t AOffset = 0) = 0;
  virtual void Fetch(const TFetchRequest& ARequest) = 0;
  // AFrom takes the name ATo, replacing a file of that name where the server does so; a
  // server that will not replace one refuses (the engine then moves the old file aside).
  virtual void RenameOver(const std::string& AFrom, const std::string& ATo) = 0;
  // Gives AName the time AWhen (local time, to the second); only where Capabilities().SetTime.
  virtual void SetTime(const std::string& AName, TDateTime AWhen) = 0;
  // False once this connection found no way to set times (asking may cost nothing).
  virtual bool MaySetTime() const { return false; }
  // The server's refusal, once it refused to give a file this connection uploaded its time
  // (the upload stands and no time is asked for again); empty while it never refused.
  virtual std::string TimesRefusal() const { return {}; }
  // One file's time as the server tells it (local time); nothing when the server does not
  // offer it, refuses it, or says something unreadable.
  virtual std::optional<TDateTime> ModificationTime(const std::string&) { return std::nullopt; }
};
