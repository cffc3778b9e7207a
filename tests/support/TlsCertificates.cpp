#include "support/TlsCertificates.h"

#include <stdexcept>

#include "support/ChildProcess.h"

namespace {

using namespace std::chrono_literals;

std::string Run(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  TChildResult result = RunChild(argv, {}, "/", 30s);
  if (result.ExitCode != 0) throw std::runtime_error("openssl " + args.front() + " failed:\n" + result.Output);
  return result.Output;
}

// Small EC keys: quick to make, and every TLS version here accepts them.
const std::vector<std::string> kNewKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};

}  // namespace

TlsCertificates::TlsCertificates() {
  caFile_ = dir_.path() + "ca.pem";
  caKey_ = dir_.path() + "ca.key";
  std::vector<std::string> ca = {"req",     "-x509",
                                 "-days",   "2",
                                 "-subj",   "/CN=Test Authority",
                                 "-keyout", caKey_,
                                 "-out",    caFile_,
                                 "-addext", "basicConstraints=critical,CA:TRUE",
                                 "-addext", "keyUsage=critical,keyCertSign,cRLSign"};
  ca.insert(ca.begin() + 2, kNewKey.begin(), kNewKey.end());
  Run(ca);
  selfSigned_ = Make("self", "DNS:localhost,IP:127.0.0.1,IP:::1", false);
  forLocalhost_ = Make("localhost", "DNS:localhost,IP:127.0.0.1,IP:::1", true);
  forOtherHost_ = Make("other", "DNS:other.example", true);
}

TlsCertificates::Certificate TlsCertificates::Make(const std::string& name, const std::string& altNames,
                                                   bool signedByAuthority) {
  Certificate c{dir_.path() + name + ".pem", dir_.path() + name + ".key", ""};
  const std::string subject = "/CN=" + (name == "other" ? std::string("other.example") : std::string("localhost"));
  if (signedByAuthority) {
    const std::string request = dir_.path() + name + ".csr";
    std::vector<std::string> req = {
        "req", "-subj", subject, "-keyout", c.keyFile, "-out", request, "-addext", "subjectAltName=" + altNames};
    req.insert(req.begin() + 1, kNewKey.begin(), kNewKey.end());
    Run(req);
    Run({"x509", "-req", "-in", request, "-CA", caFile_, "-CAkey", caKey_, "-CAcreateserial", "-days", "2",
         "-copy_extensions", "copy", "-out", c.certFile});
  } else {
    std::vector<std::string> req = {"req",     "-x509",   "-days", "2",        "-subj",   subject,
                                    "-keyout", c.keyFile, "-out",  c.certFile, "-addext", "subjectAltName=" + altNames};
    req.insert(req.begin() + 4, kNewKey.begin(), kNewKey.end());
    Run(req);
  }
  const std::string out = Run({"x509", "-noout", "-fingerprint", "-sha256", "-in", c.certFile});
  const size_t equals = out.find('=');
  if (equals == std::string::npos) throw std::runtime_error("no fingerprint in: " + out);
  c.fingerprint = out.substr(equals + 1);
  while (!c.fingerprint.empty() && (c.fingerprint.back() == '\n' || c.fingerprint.back() == '\r'))
    c.fingerprint.pop_back();
  return c;
}
