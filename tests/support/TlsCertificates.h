#pragma once
// TlsCertificates: certificates for TLS tests, made with the openssl command in a temporary
// directory: a self-signed one, and a small certificate authority with one certificate for
// 127.0.0.1 and localhost and one for another host. Throws std::runtime_error when openssl
// fails. caFile() can be given to a client as its trust store (SSL_CERT_FILE).

#include <string>

#include "support/TempDir.h"

class TlsCertificates {
 public:
  struct Certificate {
    std::string certFile, keyFile;
    std::string fingerprint;  // SHA-256 as "AB:CD:..."
  };

  TlsCertificates();

  const Certificate& selfSigned() const { return selfSigned_; }      // CN=localhost, 127.0.0.1
  const Certificate& forLocalhost() const { return forLocalhost_; }  // issued by the authority
  const Certificate& forOtherHost() const { return forOtherHost_; }  // other.example only
  const std::string& caFile() const { return caFile_; }

 private:
  Certificate Make(const std::string& name, const std::string& altNames, bool signedByAuthority);

  TempDir dir_;
  std::string caFile_, caKey_;
  Certificate selfSigned_, forLocalhost_, forOtherHost_;
};
