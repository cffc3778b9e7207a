// A session run with encryption: a refused certificate, a refused AUTH TLS and a failed
// handshake end the run before the login with the client's own text, sending nothing; a
// debug run's test log carries the control connection's trace without the password.

#include <algorithm>

#include "EngineFixture.h"
#include "support/TlsCertificates.h"

namespace {

using Tls = RealFtpServer::Tls;

const TlsCertificates& Certificates() {
  static const TlsCertificates certificates;
  return certificates;
}

// The text with "<offered>" (the server's certificate) and "<other>" (another one) filled in.
std::string WithFingerprints(std::string text) {
  for (const auto& [name, value] :
       {std::pair<std::string, std::string>{"<offered>", Certificates().selfSigned().fingerprint},
        {"<other>", Certificates().forLocalhost().fingerprint}})
    if (const size_t at = text.find(name); at != std::string::npos) text.replace(at, name.size(), value);
  return text;
}

class TlsRun : public EngineRun {
 protected:
  void Start(Tls tls) {
    RealFtpServer::Options options;
    options.tls = tls;
    options.certFile = Certificates().selfSigned().certFile;
    options.keyFile = Certificates().selfSigned().keyFile;
    Server = std::make_unique<RealFtpServer>(RealFtpServer::Kind::PyFtpdLib, ServerRoot.path(), options);
  }
  // Sends one local file to "/up/" with the given encryption and pin, in debug mode.
  void Run(const std::string& encryption, const std::string& pin, bool testMode = false) {
    MakeTree(Local.path(), {{"a.txt", "a"}});
    auto run = NewRun("copylocaltoremote", Local.path(), "/up/", [&](TRunSettings& s) {
      s.Encryption = encryption;
      s.TlsFingerprint = pin;
      s.DebugMode = true;
      s.TestMode = testMode;
    });
    Recorder.RunHere(*run);
  }
  bool Logged(const std::string& prefix) {
    const auto log = TestLog();
    return std::any_of(log.begin(), log.end(), [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
  }
};

struct TRefusalCase {
  const char* Name;
  Tls ServerTls;
  const char* Encryption;
  bool PinAnother;
  std::string Expected;  // the whole text, or its start when it ends in "..."
};

class TlsRefusal : public TlsRun, public ::testing::WithParamInterface<TRefusalCase> {};

TEST_P(TlsRefusal, EndsTheRunBeforeTheLoginWithTheClientsText) {
  const TRefusalCase& c = GetParam();
  Start(c.ServerTls);
  Run(c.Encryption, c.PinAnother ? Certificates().forLocalhost().fingerprint : "");

  const std::string expected = WithFingerprints(c.Expected);
  ASSERT_FALSE(Recorder.Reports.empty());
  const TReport last = Recorder.Reports.back();
  EXPECT_EQ(last.Connection, "Disconnected");
  EXPECT_EQ(last.Function, "Error");
  if (expected.size() > 3 && expected.compare(expected.size() - 3, 3, "...") == 0)
    EXPECT_EQ(last.Status.rfind(expected.substr(0, expected.size() - 3), 0), 0u) << last.Status;
  else
    EXPECT_EQ(last.Status, expected);
  EXPECT_TRUE(Contains(TestLog(), "EXCEPTION: " + last.Status));
  EXPECT_TRUE(StatusesOf("Login").empty()) << "no login after a refusal";
  EXPECT_FALSE(Logged("> USER") || Logged("> PASS"));
  EXPECT_TRUE(ReadTree(ServerRoot.path()).empty()) << "nothing sent";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TlsRefusal,
    ::testing::Values(TRefusalCase{"untrusted", Tls::Explicit, "explicit", false,
                                   "Server certificate not trusted: self-signed certificate; SHA-256 <offered>"},
                      TRefusalCase{"changed", Tls::Explicit, "explicit", true,
                                   "Server certificate changed: pinned <other>, offered <offered>"},
                      TRefusalCase{"auth_refused", Tls::None, "explicit", false, "TLS refused by server: 500 ..."},
                      TRefusalCase{"handshake_failed", Tls::None, "implicit", false, "TLS handshake failed: ..."}),
    [](const auto& test) { return std::string(test.param.Name); });

struct TTraceCase {
  const char* Name;
  bool Tls;
  bool TestMode;
  std::vector<std::string> Expected;  // line starts, in this order; none: no trace at all
};

class TlsTrace : public TlsRun, public ::testing::WithParamInterface<TTraceCase> {};

TEST_P(TlsTrace, DebugRunsLogTheControlConnectionWithoutThePassword) {
  const TTraceCase& c = GetParam();
  Start(c.Tls ? Tls::Explicit : Tls::None);
  Run(c.Tls ? "explicit" : "none", c.Tls ? Certificates().selfSigned().fingerprint : "", c.TestMode);

  EXPECT_TRUE(Reported("", "Done"));
  const std::vector<std::string> log = TestLog();
  auto next = log.begin();
  for (const std::string& start : c.Expected) {
    const std::string expected = WithFingerprints(start);
    next = std::find_if(next, log.end(), [&](const std::string& line) { return line.rfind(expected, 0) == 0; });
    ASSERT_NE(next, log.end()) << "missing in order: " << expected;
  }
  if (c.Expected.empty()) {
    EXPECT_FALSE(Logged("> ") || Logged("< ") || Logged("* "));
  }
  for (const std::string& line : log) EXPECT_EQ(line.find(Server->password()), std::string::npos) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TlsTrace,
    ::testing::Values(TTraceCase{"tls",
                                 true,
                                 false,
                                 {"Connecting to: ", "< 220 ", "> AUTH TLS", "< 234 ",
                                  "* TLSv1.3, certificate CN=localhost, SHA-256 <offered> (pinned)", "> USER zephlin",
                                  "< 331 ", "> PASS ****", "< 230 ", "> PBSZ 0", "> PROT P", "> FEAT",
                                  "Login successful", "> TYPE I", "> SYST", "> STOR a.txt", "< 226 "}},
                      TTraceCase{"plain", false, false, {"> USER zephlin", "> PASS ****", "< 230 ", "> TYPE I"}},
                      TTraceCase{"test_mode", true, true, {}}),
    [](const auto& test) { return std::string(test.param.Name); });

}  // namespace
