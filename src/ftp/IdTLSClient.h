#pragma once
// TIdTLSClient: the TLS side of one FTP connection (RFC 4217): one OpenSSL context, the
// handshake of the control connection with the check of the server's certificate, and the
// handshakes of the data connections, each resuming the control connection's TLS session
// (servers may refuse data connections that do not, to be sure both come from one client).
//
// Which session to resume: under TLS 1.3 a session arrives as a ticket after the handshake
// (read with the next reply). Every ticket of the control connection, and those the data
// connections' resumptions bring (the same session, continued), are kept; a data connection
// takes the newest not yet taken (a ticket shown twice lets an onlooker link the two
// connections), and when none is left the one taken last again: some servers send no
// ticket on a resumed data connection. A TLS 1.2 session stays reusable.
//
// The certificate is trusted when it verifies against the system's trust store and names
// the host; otherwise only when its SHA-256 fingerprint equals the pinned one. Both checks
// happen before the stream is handed back, so nothing (no user name, no password) has been
// sent over a connection that failed them.
//
// Owner thread only. It must outlive every stream it made (their sessions refer to it).

#include <memory>
#include <string>
#include <vector>

#include "ftp/IdIOHandlerSocket.h"

struct ssl_st;
struct ssl_ctx_st;
struct ssl_session_st;

// The certificate a server offered, for display and for pinning.
struct TIdCertificateInfo {
  std::string Subject;  // distinguished names, one line each ("CN=ftp.example.org,O=...")
  std::string Issuer;
  std::string ValidFrom;  // "2026-01-31 12:00:00 UTC"
  std::string ValidUntil;
  std::string Fingerprint;  // SHA-256, upper-case hex pairs joined by ":"
  bool Trusted = false;     // verified against the trust store and the host name
  std::string VerifyError;  // why it did not verify (empty when Trusted)
};

class TIdTLSClient {
 public:
  // AHost: the name or address the user gave, which the certificate must name.
  // APinnedFingerprint: empty, or a SHA-256 fingerprint in hex (":" and blanks ignored,
  // either case).
  TIdTLSClient(const std::string& AHost, const std::string& APinnedFingerprint);
  ~TIdTLSClient();
  TIdTLSClient(const TIdTLSClient&) = delete;
  TIdTLSClient& operator=(const TIdTLSClient&) = delete;

  // Settings.
  int TimeoutMs = 0;  // per wait of a handshake; 0: no limit
  // Data connections: TLS runs over the stream this factory makes (not owned); none: TCP.
  TIdIOHandlerFactory* DataInner = nullptr;

  // Streams for the control connection (handshake, then the certificate check, raising
  // EIdTLSError) and for data connections (handshake resuming the control's session).
  TIdIOHandlerFactory& ControlFactory() { return FControl; }
  TIdIOHandlerFactory& DataFactory() { return FData; }

  // The control connection's certificate, known once its handshake completed (also when
  // it was then rejected), and the protocol agreed ("TLSv1.3").
  const TIdCertificateInfo& Certificate() const { return FCertificate; }
  const std::string& ProtocolVersion() const { return FVersion; }

  // "ab:CD 12..." -> "AB:CD:12:..."; empty when AText holds anything but hex digits, ":"
  // and blanks, or not exactly 32 bytes.
  static std::string NormalizeFingerprint(const std::string& AText);

  // A session a handshake or ticket brought (for OpenSSL's callback; takes ownership).
  void RememberSession(ssl_session_st* ASession);

 private:
  class TControlFactory : public TIdIOHandlerFactory {
   public:
    explicit TControlFactory(TIdTLSClient& AOwner) : FOwner(AOwner) {}
    std::unique_ptr<TIdIOHandlerSocket> Adopt(std::unique_ptr<TIdIOHandlerSocket> AStream) override;

   private:
    TIdTLSClient& FOwner;
  };
  class TDataFactory : public TIdIOHandlerFactory {
   public:
    explicit TDataFactory(TIdTLSClient& AOwner) : FOwner(AOwner) {}
    std::unique_ptr<TIdIOHandlerSocket> Adopt(std::unique_ptr<TIdIOHandlerSocket> AStream) override;

   private:
    TIdTLSClient& FOwner;
  };

  ssl_st* NewSSL(bool AControl);
  ssl_session_st* SessionToResume();
  void CheckCertificate() const;

  std::string FHost;
  std::string FPinned;
  ssl_ctx_st* FContext = nullptr;
  std::vector<ssl_session_st*> FSessions;  // to resume, newest last
  ssl_session_st* FLastResumed = nullptr;  // taken from FSessions, kept for want of a newer
  TIdCertificateInfo FCertificate;
  std::string FVersion;
  TControlFactory FControl{*this};
  TDataFactory FData{*this};
};
