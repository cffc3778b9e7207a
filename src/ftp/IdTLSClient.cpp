#include "ftp/IdTLSClient.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <ctime>

#include "ftp/IdException.h"
#include "ftp/IdIOHandlerTLS.h"
#include "platform/Socket.h"
#include "platform/Text.h"

namespace {

std::string NameText(const X509_NAME* AName) {
  BIO* out = BIO_new(BIO_s_mem());
  X509_NAME_print_ex(out, AName, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  const long length = BIO_get_mem_data(out, &data);
  std::string text(data, static_cast<size_t>(length > 0 ? length : 0));
  BIO_free(out);
  return text;
}

std::string TimeText(const ASN1_TIME* ATime) {
  std::tm parts{};
  if (!ATime || ASN1_TIME_to_tm(ATime, &parts) != 1) return std::string();
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

std::string HexPairs(const unsigned char* ABytes, unsigned ALength) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned i = 0; i < ALength; ++i) {
    if (i > 0) text += ':';
    text += kDigits[ABytes[i] >> 4];
    text += kDigits[ABytes[i] & 15];
  }
  return text;
}

std::string Fingerprint(X509* ACertificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  if (X509_digest(ACertificate, EVP_sha256(), digest, &length) != 1) return std::string();
  return HexPairs(digest, length);
}

// What the peer of ASSL offered; Trusted and VerifyError from the chain check made during
// the handshake (which checks the host as well).
TIdCertificateInfo DescribePeer(SSL* ASSL) {
  TIdCertificateInfo info;
  X509* certificate = SSL_get1_peer_certificate(ASSL);
  if (!certificate) {
    info.VerifyError = "no certificate";
    return info;
  }
  info.Subject = NameText(X509_get_subject_name(certificate));
  info.Issuer = NameText(X509_get_issuer_name(certificate));
  info.ValidFrom = TimeText(X509_get0_notBefore(certificate));
  info.ValidUntil = TimeText(X509_get0_notAfter(certificate));
  info.Fingerprint = Fingerprint(certificate);
  X509_free(certificate);
  const long result = SSL_get_verify_result(ASSL);
  info.Trusted = result == X509_V_OK;
  if (!info.Trusted) info.VerifyError = X509_verify_cert_error_string(result);
  return info;
}

// OpenSSL's callback for every new session of a connection of this client.
int OnNewSession(SSL* ASSL, SSL_SESSION* ASession) {
  auto* owner = static_cast<TIdTLSClient*>(SSL_get_app_data(ASSL));
  if (!owner) return 0;
  owner->RememberSession(ASession);
  return 1;
}

std::unique_ptr<TIdIOHandlerTLS> Handshake(SSL* ASSL, std::unique_ptr<TIdIOHandlerSocket> AStream, int ATimeoutMs) {
  auto stream = std::make_unique<TIdIOHandlerTLS>(std::move(AStream), ASSL);
  const std::string failure = stream->Handshake(ATimeoutMs);
  if (!failure.empty()) throw EIdTLSError("TLS handshake failed: " + failure);
  return stream;
}

}  // namespace

TIdTLSClient::TIdTLSClient(const std::string& AHost, const std::string& APinnedFingerprint) : FHost(AHost) {
  FPinned = NormalizeFingerprint(APinnedFingerprint);
  if (FPinned.empty()) FPinned = APinnedFingerprint;  // kept as given, so it matches nothing
  if (FHost.size() > 2 && FHost.front() == '[' && FHost.back() == ']') FHost = FHost.substr(1, FHost.size() - 2);
  FContext = SSL_CTX_new(TLS_client_method());
  if (!FContext) throw EIdTLSError("TLS handshake failed: cannot create a TLS context");
  SSL_CTX_set_min_proto_version(FContext, TLS1_2_VERSION);
  SSL_CTX_set_default_verify_paths(FContext);
  // The handshake goes on whatever the chain check says; CheckCertificate decides after it,
  // so that an untrusted certificate can still be shown and pinned.
  SSL_CTX_set_verify(FContext, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_session_cache_mode(FContext, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(FContext, OnNewSession);
}

TIdTLSClient::~TIdTLSClient() {
  for (SSL_SESSION* session : FSessions) SSL_SESSION_free(session);
  SSL_SESSION_free(FLastResumed);
  SSL_CTX_free(FContext);
}

std::string TIdTLSClient::NormalizeFingerprint(const std::string& AText) {
  std::string digits;
  for (char c : AText) {
    if (c == ':' || c == ' ') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::string();
    digits += UpperAsciiChar(c);
  }
  if (digits.size() != 64) return std::string();
  std::string result;
  for (size_t i = 0; i < digits.size(); i += 2) {
    if (i > 0) result += ':';
    result += digits.substr(i, 2);
  }
  return result;
}

void TIdTLSClient::RememberSession(ssl_session_st* ASession) {
  constexpr size_t kKept = 8;  // more than a server sends between two data connections
  if (FSessions.size() == kKept) {
    SSL_SESSION_free(FSessions.front());
    FSessions.erase(FSessions.begin());
  }
  FSessions.push_back(ASession);
}

SSL_SESSION* TIdTLSClient::SessionToResume() {
  if (FSessions.empty()) return FLastResumed;  // a server may take a ticket again
  SSL_SESSION* newest = FSessions.back();
  if (SSL_SESSION_get_protocol_version(newest) != TLS1_3_VERSION) return newest;
  FSessions.pop_back();
  SSL_SESSION_free(FLastResumed);
  FLastResumed = newest;
  return newest;
}

SSL* TIdTLSClient::NewSSL(bool AControl) {
  SSL* ssl = SSL_new(FContext);
  if (!ssl) throw EIdTLSError("TLS handshake failed: cannot create a TLS connection");
  if (IsNumericAddress(FHost)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), FHost.c_str());
  } else {
    SSL_set1_host(ssl, FHost.c_str());
    SSL_set_tlsext_host_name(ssl, FHost.c_str());
  }
  SSL_set_app_data(ssl, this);
  if (!AControl) {
    // A copy: once a TLS 1.3 session is resumed, OpenSSL marks it as used up and would not
    // offer it again, while the kept one must stay good to take again.
    if (SSL_SESSION* session = SessionToResume()) {
      SSL_SESSION* copy = SSL_SESSION_dup(session);
      SSL_set_session(ssl, copy);
      SSL_SESSION_free(copy);
    }
  }
  return ssl;
}

void TIdTLSClient::CheckCertificate() const {
  if (FCertificate.Trusted) return;
  if (FPinned.empty())
    throw EIdTLSError("Server certificate not trusted: " + FCertificate.VerifyError + "; SHA-256 " +
                      FCertificate.Fingerprint);
  if (FPinned != FCertificate.Fingerprint)
    throw EIdTLSError("Server certificate changed: pinned " + FPinned + ", offered " + FCertificate.Fingerprint);
}

std::unique_ptr<TIdIOHandlerSocket> TIdTLSClient::TControlFactory::Adopt(std::unique_ptr<TIdIOHandlerSocket> AStream) {
  FOwner.FCertificate = TIdCertificateInfo();
  FOwner.FVersion.clear();
  std::unique_ptr<TIdIOHandlerTLS> stream = Handshake(FOwner.NewSSL(true), std::move(AStream), FOwner.TimeoutMs);
  FOwner.FCertificate = DescribePeer(stream->SSL());
  FOwner.FVersion = SSL_get_version(stream->SSL());
  FOwner.CheckCertificate();
  return stream;
}

std::unique_ptr<TIdIOHandlerSocket> TIdTLSClient::TDataFactory::Adopt(std::unique_ptr<TIdIOHandlerSocket> AStream) {
  if (FOwner.DataInner) AStream = FOwner.DataInner->Adopt(std::move(AStream));
  std::unique_ptr<TIdIOHandlerTLS> stream = Handshake(FOwner.NewSSL(false), std::move(AStream), FOwner.TimeoutMs);
  // A resumed session carries the control connection's certificate; a new one must offer
  // that same certificate, or another server answered.
  if (DescribePeer(stream->SSL()).Fingerprint != FOwner.FCertificate.Fingerprint)
    throw EIdTLSError("TLS handshake failed: the data connection offered another certificate");
  return stream;
}
