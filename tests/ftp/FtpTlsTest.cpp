// The client over TLS and IPv6 against real servers on the loopback: explicit and implicit
// TLS with vsftpd (session reuse and closing alerts required), pyftpdlib (TLS 1.2 and 1.3)
// and proftpd (session reuse required, no tickets on data connections),
// passive and active, transfers and listings byte for byte with nothing readable on the
// wire; the certificate decisions; a refused or failed TLS start that never sends the
// credentials; data connections that end without the server's closing alert; EPSV and EPRT
// over IPv6, and EPSV after a refused PASV.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ftp/IdFTP.h"
#include "ftp/IdIOHandlerSocket.h"
#include "support/ChildProcess.h"
#include "support/FakeFtpServer.h"
#include "support/RealFtpServer.h"
#include "support/TempDir.h"
#include "support/TlsCertificates.h"

namespace {

using Kind = RealFtpServer::Kind;
using Tls = RealFtpServer::Tls;

// Made once: openssl takes a moment per certificate.
const TlsCertificates& Certificates() {
  static const TlsCertificates certificates;
  return certificates;
}

// The commands sent on the control connection, in order.
std::vector<std::string> Commands(const std::vector<std::string>& ATrace) {
  std::vector<std::string> commands;
  for (const std::string& line : ATrace)
    if (line.rfind("> ", 0) == 0) commands.push_back(line.substr(2, line.find(' ', 2) - 2));
  return commands;
}

// Test names from the table's Name column.
struct {
  template <typename TCase>
  std::string operator()(const ::testing::TestParamInfo<TCase>& AInfo) const {
    return AInfo.param.Name;
  }
} CaseName;

bool Contains(const std::vector<std::string>& AList, const std::string& AItem) {
  return std::find(AList.begin(), AList.end(), AItem) != AList.end();
}

// Keeps every byte the data connections carry on the network, under the TLS layer.
class TWireRecorder : public TIdIOHandlerFactory {
 public:
  std::unique_ptr<TIdIOHandlerSocket> Adopt(std::unique_ptr<TIdIOHandlerSocket> AStream) override {
    return std::make_unique<TRecordingStream>(std::move(AStream), Bytes);
  }
  std::string Bytes;

 private:
  class TRecordingStream : public TIdIOHandlerSocket {
   public:
    TRecordingStream(std::unique_ptr<TIdIOHandlerSocket> AInner, std::string& ABytes)
        : FInner(std::move(AInner)), FBytes(ABytes) {}
    void Open(const std::string& AHost, int APort, const std::string& ABoundIP, int ABoundPort, int ATimeout) override {
      FInner->Open(AHost, APort, ABoundIP, ABoundPort, ATimeout);
    }
    void Close() noexcept override { FInner->Close(); }
    void Shutdown() noexcept override { FInner->Shutdown(); }
    bool Connected() const override { return FInner->Connected(); }
    int WaitReadable(int ATimeoutMs) override { return FInner->WaitReadable(ATimeoutMs); }
    int Receive(char* ABuffer, size_t ALength, int ATimeoutMs, size_t& AReceived) override {
      const int rc = FInner->Receive(ABuffer, ALength, ATimeoutMs, AReceived);
      FBytes.append(ABuffer, AReceived);
      return rc;
    }
    int Send(const char* AData, size_t ALength, int ATimeoutMs) override {
      FBytes.append(AData, ALength);
      return FInner->Send(AData, ALength, ATimeoutMs);
    }
    int PeerAddress(std::string& AAddress, uint16_t& APort) const override {
      return FInner->PeerAddress(AAddress, APort);
    }
    int LocalAddress(std::string& AAddress, uint16_t& APort) const override {
      return FInner->LocalAddress(AAddress, APort);
    }

   private:
    std::unique_ptr<TIdIOHandlerSocket> FInner;
    std::string& FBytes;
  };
};

class FtpTlsFixture {
 protected:
  FtpTlsFixture() {
    ftp_.ReadTimeout = 10000;
    ftp_.OnWireTrace = [this](TIdWireDirection ADirection, const std::string& ALine) {
      trace_.push_back((ADirection == wdSent ? "> " : "< ") + ALine);
    };
  }
  void Start(Kind AKind, const RealFtpServer::Options& AOptions) {
    server_ = std::make_unique<RealFtpServer>(AKind, root_.path(), AOptions);
    ftp_.Host = server_->host();
    ftp_.Port = server_->port();
    ftp_.Username = server_->user();
    ftp_.Password = server_->password();
  }
  std::string Trace() const {
    std::string text;
    for (const std::string& line : trace_) text += line + "\n";
    return text;
  }

  TempDir root_;
  TempDir local_;
  std::unique_ptr<RealFtpServer> server_;
  TIdFTP ftp_;
  std::vector<std::string> trace_;
};

// --- Transfers over TLS --------------------------------------------------------------

struct TTransferCase {
  const char* Name;
  Kind Server;
  Tls Mode;
  bool Passive;
  bool Tls12Only;
  const char* Version;  // agreed
  const char* Host = "127.0.0.1";
};

class FtpTlsTransferTest : public FtpTlsFixture, public ::testing::TestWithParam<TTransferCase> {};

TEST_P(FtpTlsTransferTest, MovesFilesAndListingsEncrypted) {
  const TTransferCase& c = GetParam();
  RealFtpServer::Options options;
  options.tls = c.Mode;
  options.certFile = Certificates().selfSigned().certFile;
  options.keyFile = Certificates().selfSigned().keyFile;
  options.tls12Only = c.Tls12Only;
  options.host = c.Host;
  if (!RealFtpServer::available(c.Server, options))
    GTEST_SKIP() << RealFtpServer::name(c.Server) << " cannot serve this";
  Start(c.Server, options);
  TWireRecorder wire;
  ftp_.DataIOHandlerFactory = &wire;
  ftp_.Encryption = c.Mode == Tls::Implicit ? etImplicitTLS : etExplicitTLS;
  ftp_.PinnedFingerprint = Certificates().selfSigned().fingerprint;
  ftp_.Passive = c.Passive;
  try {
    ftp_.ConnectAndLogin(true, 10000);
  } catch (const std::exception& e) {
    FAIL() << e.what() << "\n" << Trace() << server_->log();
  }
  EXPECT_EQ(ftp_.TLSVersion(), c.Version);
  EXPECT_EQ(ftp_.ServerCertificate().Fingerprint, Certificates().selfSigned().fingerprint);

  std::string remoteDir = root_.path();
  if (!server_->writableDir().empty()) {
    ftp_.ChangeDirectory(server_->writableDir());
    remoteDir += server_->writableDir() + "/";
  }
  const std::string content = FakeFtpServer::Pattern(70000) + "readable marker text";
  WriteTextFile(local_.path() + "up.bin", content);
  WriteTextFile(local_.path() + "empty.bin", "");
  try {
    ftp_.PutFile(local_.path() + "up.bin", "up.bin");
    ftp_.PutFile(local_.path() + "empty.bin", "empty.bin");
    ftp_.GetFile("up.bin", local_.path() + "down.bin");
    ftp_.ListDirectory();
  } catch (const std::exception& e) {
    FAIL() << e.what() << "\n" << Trace() << server_->log();
  }
  EXPECT_EQ(ReadTextFile(remoteDir + "up.bin"), content);
  EXPECT_TRUE(std::filesystem::exists(remoteDir + "empty.bin"));
  EXPECT_EQ(ReadTextFile(local_.path() + "down.bin"), content);
  std::vector<std::string> names;
  for (const TIdFTPListItem& item : ftp_.ListingItems()) names.push_back(item.ItemName);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"empty.bin", "up.bin"})) << ftp_.ListingText();
  ftp_.Disconnect();

  // Four data connections went over the network, and none of it was readable.
  EXPECT_GT(wire.Bytes.size(), 2 * content.size());
  EXPECT_EQ(wire.Bytes.find("readable marker text"), std::string::npos);
  EXPECT_EQ(wire.Bytes.find("up.bin"), std::string::npos);

  std::vector<std::string> expected = {"USER"};
  if (c.Server != Kind::Vsftpd) expected.push_back("PASS");  // vsftpd's anonymous login needs none
  expected.insert(expected.end(), {"PBSZ", "PROT", "FEAT"});
  if (c.Mode == Tls::Explicit) expected.insert(expected.begin(), "AUTH");
  std::vector<std::string> commands = Commands(trace_);
  commands.resize(std::min(commands.size(), expected.size()));
  EXPECT_EQ(commands, expected) << Trace();
  EXPECT_EQ(Trace().find(server_->password()), std::string::npos) << Trace();
  // PBSZ, PROT and FEAT go out together, before the first of their replies.
  const auto pbsz = std::find(trace_.begin(), trace_.end(), "> PBSZ 0");
  ASSERT_GE(std::distance(pbsz, trace_.end()), 3) << Trace();
  EXPECT_EQ(std::vector<std::string>(pbsz, pbsz + 3), (std::vector<std::string>{"> PBSZ 0", "> PROT P", "> FEAT"}))
      << Trace();
  EXPECT_EQ(Contains(trace_, "> OPTS UTF8 ON"), ftp_.HasFeature("UTF8")) << Trace();
  if (c.Server == Kind::PyFtpdLib) {
    // It lists both, MLST with its facts after the name.
    EXPECT_TRUE(ftp_.HasFeature("utf8") && ftp_.HasFeature("MLST")) << Trace();
    EXPECT_FALSE(ftp_.HasFeature("MLS"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, FtpTlsTransferTest,
    ::testing::Values(TTransferCase{"vsftpd_explicit_passive", Kind::Vsftpd, Tls::Explicit, true, false, "TLSv1.3"},
                      TTransferCase{"vsftpd_explicit_active", Kind::Vsftpd, Tls::Explicit, false, false, "TLSv1.3"},
                      TTransferCase{"vsftpd_implicit_passive", Kind::Vsftpd, Tls::Implicit, true, false, "TLSv1.3"},
                      TTransferCase{"vsftpd_implicit_active", Kind::Vsftpd, Tls::Implicit, false, false, "TLSv1.3"},
                      TTransferCase{"pyftpdlib_tls12_passive", Kind::PyFtpdLib, Tls::Explicit, true, true, "TLSv1.2"},
                      TTransferCase{"pyftpdlib_tls12_active", Kind::PyFtpdLib, Tls::Explicit, false, true, "TLSv1.2"},
                      TTransferCase{"pyftpdlib_tls13_passive", Kind::PyFtpdLib, Tls::Explicit, true, false, "TLSv1.3"},
                      TTransferCase{"pyftpdlib_ipv6_active", Kind::PyFtpdLib, Tls::Explicit, false, false, "TLSv1.3",
                                    "::1"},
                      // Its data connections bring no new tickets: the control connection's
                      // two must serve every data connection, each more than once.
                      TTransferCase{"proftpd_tls13_passive", Kind::ProFtpd, Tls::Explicit, true, false, "TLSv1.3"}),
    CaseName);

// --- Certificates --------------------------------------------------------------------

enum class TCert { SelfSigned, ForLocalhost, ForOtherHost };

struct TCertificateCase {
  const char* Name;
  TCert Offered;
  std::string Pin;      // "self" / "localhost": that certificate's fingerprint
  bool TrustAuthority;  // the test authority as the trust store
  const char* Host;
  std::string Failure;  // expected message; empty: the login works
};

const TlsCertificates::Certificate& Pick(TCert ACert) {
  switch (ACert) {
    case TCert::SelfSigned: return Certificates().selfSigned();
    case TCert::ForLocalhost: return Certificates().forLocalhost();
    case TCert::ForOtherHost: return Certificates().forOtherHost();
  }
  return Certificates().selfSigned();
}

std::string LowerHexWithoutColons(std::string AFingerprint) {
  std::string text;
  for (char ch : AFingerprint)
    if (ch != ':') text += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return text;
}

// Points the client's trust store at a file while it lives.
class TTrustStore {
 public:
  explicit TTrustStore(const std::string& AFile) {
    if (!AFile.empty()) ::setenv("SSL_CERT_FILE", AFile.c_str(), 1);
  }
  ~TTrustStore() { ::unsetenv("SSL_CERT_FILE"); }
};

class FtpTlsCertificateTest : public FtpTlsFixture, public ::testing::TestWithParam<TCertificateCase> {};

TEST_P(FtpTlsCertificateTest, TrustsVerifiedOrPinnedCertificatesOnly) {
  const TCertificateCase& c = GetParam();
  const TlsCertificates::Certificate& offered = Pick(c.Offered);
  RealFtpServer::Options options;
  options.tls = Tls::Explicit;
  options.certFile = offered.certFile;
  options.keyFile = offered.keyFile;
  if (!RealFtpServer::available(Kind::PyFtpdLib, options)) GTEST_SKIP() << "pyftpdlib is not installed";
  Start(Kind::PyFtpdLib, options);
  TTrustStore store(c.TrustAuthority ? Certificates().caFile() : std::string());
  ftp_.Host = c.Host;
  ftp_.Encryption = etExplicitTLS;
  if (c.Pin == "self")
    ftp_.PinnedFingerprint = Certificates().selfSigned().fingerprint;
  else if (c.Pin == "self-lower")
    ftp_.PinnedFingerprint = LowerHexWithoutColons(Certificates().selfSigned().fingerprint);
  else if (c.Pin == "localhost")
    ftp_.PinnedFingerprint = Certificates().forLocalhost().fingerprint;

  std::string failure;
  try {
    ftp_.ConnectAndLogin(true, 10000);
  } catch (const EIdTLSError& e) {
    failure = e.what();
  }
  std::string expected = c.Failure;
  for (const auto& [key, value] : {std::pair<std::string, std::string>{"{offered}", offered.fingerprint},
                                   {"{pinned}", Certificates().forLocalhost().fingerprint}})
    if (size_t at = expected.find(key); at != std::string::npos) expected.replace(at, key.size(), value);
  EXPECT_EQ(failure, expected) << Trace();
  EXPECT_EQ(ftp_.IsConnected(), expected.empty());
  EXPECT_EQ(Contains(Commands(trace_), "USER"), expected.empty()) << Trace();
  EXPECT_EQ(Contains(Commands(trace_), "PASS"), expected.empty()) << Trace();
  // Shown whatever was decided.
  const TIdCertificateInfo& shown = ftp_.ServerCertificate();
  EXPECT_EQ(shown.Fingerprint, offered.fingerprint);
  EXPECT_EQ(shown.Trusted, c.TrustAuthority && c.Failure.empty() && c.Pin.empty());
  EXPECT_NE(shown.Subject.find("CN="), std::string::npos) << shown.Subject;
  EXPECT_NE(shown.Issuer.find(c.Offered == TCert::SelfSigned ? "CN=localhost" : "CN=Test Authority"),
            std::string::npos);
  EXPECT_LT(shown.ValidFrom, shown.ValidUntil);
  EXPECT_EQ(shown.ValidUntil.size(), std::string("2026-01-31 12:00:00 UTC").size()) << shown.ValidUntil;
}

INSTANTIATE_TEST_SUITE_P(
    Decisions, FtpTlsCertificateTest,
    ::testing::Values(
        TCertificateCase{"untrusted", TCert::SelfSigned, "", false, "127.0.0.1",
                         "Server certificate not trusted: self-signed certificate; SHA-256 {offered}"},
        TCertificateCase{"pinned", TCert::SelfSigned, "self", false, "127.0.0.1", ""},
        TCertificateCase{"pinned_in_lower_case_hex", TCert::SelfSigned, "self-lower", false, "127.0.0.1", ""},
        TCertificateCase{"changed", TCert::SelfSigned, "localhost", false, "127.0.0.1",
                         "Server certificate changed: pinned {pinned}, offered {offered}"},
        TCertificateCase{"verified_address", TCert::ForLocalhost, "", true, "127.0.0.1", ""},
        TCertificateCase{"verified_name", TCert::ForLocalhost, "", true, "localhost", ""},
        TCertificateCase{"unknown_authority", TCert::ForLocalhost, "", false, "127.0.0.1",
                         "Server certificate not trusted: unable to get local issuer certificate; SHA-256 {offered}"},
        TCertificateCase{"other_host", TCert::ForOtherHost, "", true, "127.0.0.1",
                         "Server certificate not trusted: IP address mismatch; SHA-256 {offered}"}),
    CaseName);

// --- Failing closed ------------------------------------------------------------------

struct TRefusalCase {
  const char* Name;
  TIdFTPEncryption Encryption;
  std::string Script;   // a fake server; empty: a plain pyftpdlib
  std::string Failure;  // the start of the message
};

class FtpTlsRefusalTest : public FtpTlsFixture, public ::testing::TestWithParam<TRefusalCase> {};

TEST_P(FtpTlsRefusalTest, NeverSendsTheCredentials) {
  const TRefusalCase& c = GetParam();
  std::unique_ptr<FakeFtpServer> fake;
  if (c.Script.empty()) {
    Start(Kind::PyFtpdLib, RealFtpServer::Options());
  } else {
    fake = std::make_unique<FakeFtpServer>(c.Script);
    ftp_.Host = "127.0.0.1";
    ftp_.Port = fake->port();
    ftp_.Username = "bob";
    ftp_.Password = "secret";
  }
  ftp_.Encryption = c.Encryption;
  ftp_.ReadTimeout = 1000;
  std::string failure;
  try {
    ftp_.ConnectAndLogin(true, 5000);
  } catch (const EIdTLSError& e) {
    failure = e.what();
  }
  EXPECT_EQ(failure.substr(0, c.Failure.size()), c.Failure) << failure;
  EXPECT_FALSE(ftp_.IsConnected());
  EXPECT_FALSE(Contains(Commands(trace_), "USER")) << Trace();
  EXPECT_FALSE(Contains(Commands(trace_), "PASS")) << Trace();
  if (fake) fake->stop();
}

INSTANTIATE_TEST_SUITE_P(
    Servers, FtpTlsRefusalTest,
    ::testing::Values(TRefusalCase{"plain_server_refuses_auth", etExplicitTLS, "",
                                   "TLS refused by server: 500 Command \"AUTH\" not understood."},
                      TRefusalCase{"plain_server_under_implicit_tls", etImplicitTLS, "", "TLS handshake failed: "},
                      TRefusalCase{"accepted_but_no_handshake", etExplicitTLS,
                                   "S: 220 hi\nC: AUTH TLS\nS: 234 go ahead\nSLEEP: 200\nS: 530 not really\n",
                                   "TLS handshake failed: "},
                      TRefusalCase{"silent_after_accepting", etExplicitTLS,
                                   "S: 220 hi\nC: AUTH TLS\nS: 234 go ahead\nSTALL\n",
                                   "TLS handshake failed: the server did not answer in time"},
                      TRefusalCase{"refused_with_another_code", etExplicitTLS,
                                   "S: 220 hi\nC: AUTH TLS\nS: 334 ADAT=please\n",
                                   "TLS refused by server: 334 ADAT=please"}),
    CaseName);

// --- The end of an encrypted data connection ----------------------------------------

// An FTP server over explicit TLS whose data connections end badly. RETR sends the given
// number of bytes and hangs up without the closing alert. STOR reads up to the client's
// closing alert and then hangs up without its own ("STOR hang_up") or keeps silent until
// the client hangs up (any other name).
const char* kBadEndingServerScript = R"PY(
import os, select, socket, ssl, sys
cert, key, portfile, size = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
listener = socket.create_server(("127.0.0.1", 0))
with open(portfile + ".tmp", "w") as f:
    f.write(str(listener.getsockname()[1]))
os.rename(portfile + ".tmp", portfile)
conn = listener.accept()[0]
reader = conn.makefile("rb")
send = lambda text: conn.sendall((text + "\r\n").encode())
send("220 ready")
data = None
while line := reader.readline():
    verb, _, name = line.decode().strip().partition(" ")
    verb = verb.upper()
    if verb == "AUTH":
        send("234 go ahead")
        conn = context.wrap_socket(conn, server_side=True)
        reader = conn.makefile("rb")
    elif verb == "USER":
        send("331 password")
    elif verb == "PASS":
        send("230 in")
    elif verb == "SYST":
        send("215 UNIX Type: L8")
    elif verb in ("PBSZ", "PROT", "TYPE"):
        send("200 ok")
    elif verb == "PASV":
        data = socket.create_server(("127.0.0.1", 0))
        port = data.getsockname()[1]
        send(f"227 Entering Passive Mode (127,0,0,1,{port >> 8},{port & 255})")
    elif verb in ("RETR", "STOR"):
        send("150 go")
        channel = context.wrap_socket(data.accept()[0], server_side=True)
        if verb == "RETR":
            channel.sendall(bytes(i % 251 for i in range(size)))
        else:
            while channel.recv(65536):
                pass
            if name != "hang_up":
                select.select([channel], [], [], 20)
        channel.close()
        send("226 done")
    elif verb == "QUIT":
        send("221 bye")
        break
    else:
        send("502 not here")
)PY";

class FtpTlsDataEndTest : public FtpTlsFixture, public ::testing::Test {
 protected:
  static constexpr int kSize = 50000;  // what RETR sends

  ~FtpTlsDataEndTest() override {
    try {
      if (ftp_.IsConnected()) ftp_.Disconnect();  // the script ends with the connection
    } catch (const std::exception&) {
      // It ends at its time limit then.
    }
    if (server_.joinable()) server_.join();
  }
  // Starts the script and logs in to it (passive mode).
  void Start() {
    const std::vector<std::string> argv = {ZEPHLIN_SYSTEM_PYTHON,
                                           "-c",
                                           kBadEndingServerScript,
                                           Certificates().selfSigned().certFile,
                                           Certificates().selfSigned().keyFile,
                                           state_.path() + "port",
                                           std::to_string(kSize)};
    server_ = std::thread([argv] { RunChild(argv, {}, "/", std::chrono::seconds(60)); });
    int port = 0;
    for (int i = 0; i < 500 && port == 0; ++i) {
      port = std::atoi(ReadTextFile(state_.path() + "port").c_str());
      if (port == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ftp_.Host = "127.0.0.1";
    ftp_.Port = port;
    ftp_.Username = "bob";
    ftp_.Password = "secret";
    ftp_.Encryption = etExplicitTLS;
    ftp_.PinnedFingerprint = Certificates().selfSigned().fingerprint;
    ftp_.Passive = true;
    ftp_.ConnectAndLogin(true, 5000);
  }

  TempDir state_;
  std::thread server_;
};

TEST_F(FtpTlsDataEndTest, TakesADownloadWithoutClosingAlertOnlyWhenAllOfItCame) {
  const std::string cutOff = "Socket Error # 10054\r\nConnection reset by peer.";
  const struct {
    const char* Name;
    int64_t ListedSize;   // -1: unknown
    std::string Failure;  // empty: the file is taken
  } cases[] = {{"listed_size_came", kSize, ""}, {"size_unknown", -1, cutOff}, {"less_than_listed", kSize + 1, cutOff}};
  Start();
  for (const auto& c : cases) {
    std::string failure;
    try {
      ftp_.GetFile("f.bin", local_.path() + c.Name, false, false, c.ListedSize);
    } catch (const std::exception& e) {
      failure = e.what();
    }
    EXPECT_EQ(failure, c.Failure) << c.Name << "\n" << Trace();
    EXPECT_EQ(ReadTextFile(local_.path() + c.Name).size(), c.Failure.empty() ? kSize : 0u) << c.Name;
  }
}

TEST_F(FtpTlsDataEndTest, UploadEndsWithinAMomentWhateverTheServerDoes) {
  Start();
  WriteTextFile(local_.path() + "up.bin", "all the data");
  for (const char* name : {"hang_up", "keep_silent"}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NO_THROW(ftp_.PutFile(local_.path() + "up.bin", name)) << name << "\n" << Trace();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << name;
  }
}

// --- IPv6 and extended passive mode --------------------------------------------------

struct TAddressCase {
  const char* Name;
  const char* ServerHost;
  const char* ClientHost;
  bool Passive;
  bool RefusePasv;
  std::vector<std::string> DataCommands;  // per transfer, in order
};

class FtpExtendedModeTest : public FtpTlsFixture, public ::testing::TestWithParam<TAddressCase> {};

TEST_P(FtpExtendedModeTest, OpensDataConnectionsOverEitherFamily) {
  const TAddressCase& c = GetParam();
  RealFtpServer::Options options;
  options.host = c.ServerHost;
  options.refusePasv = c.RefusePasv;
  if (!RealFtpServer::available(Kind::PyFtpdLib, options)) GTEST_SKIP() << "pyftpdlib is not installed";
  try {
    Start(Kind::PyFtpdLib, options);
  } catch (const std::exception& e) {
    GTEST_SKIP() << "no server on " << c.ServerHost << ": " << e.what();
  }
  ftp_.Host = c.ClientHost;
  ftp_.Passive = c.Passive;
  ftp_.ConnectAndLogin(true, 10000);
  const std::string content = FakeFtpServer::Pattern(5000);
  WriteTextFile(local_.path() + "a.bin", content);
  ftp_.PutFile(local_.path() + "a.bin", "a.bin");
  ftp_.GetFile("a.bin", local_.path() + "b.bin");
  ftp_.ListDirectory();
  EXPECT_EQ(ReadTextFile(root_.path() + "a.bin"), content);
  EXPECT_EQ(ReadTextFile(local_.path() + "b.bin"), content);
  ASSERT_EQ(ftp_.ListingItems().Count(), 1) << ftp_.ListingText();
  EXPECT_EQ(ftp_.ListingItems()[0].ItemName, "a.bin");

  std::vector<std::string> data;
  for (const std::string& command : Commands(trace_))
    if (command == "PASV" || command == "EPSV" || command == "PORT" || command == "EPRT") data.push_back(command);
  EXPECT_EQ(data, c.DataCommands) << Trace();
  if (!c.Passive) {
    const std::string eprt = "> EPRT |2|::1|";
    bool found = false;
    for (const std::string& line : trace_) found = found || line.rfind(eprt, 0) == 0;
    EXPECT_TRUE(found) << Trace();
  }
}

const std::vector<std::string> kEpsv3 = {"EPSV", "EPSV", "EPSV"};

INSTANTIATE_TEST_SUITE_P(
    Addresses, FtpExtendedModeTest,
    ::testing::Values(TAddressCase{"ipv6_passive", "::1", "::1", true, false, kEpsv3},
                      TAddressCase{"ipv6_in_brackets_passive", "::1", "[::1]", true, false, kEpsv3},
                      TAddressCase{"ipv6_active", "::1", "::1", false, false, {"EPRT", "EPRT", "EPRT"}},
                      TAddressCase{
                          "ipv4_pasv_refused", "127.0.0.1", "127.0.0.1", true, true, {"PASV", "EPSV", "EPSV", "EPSV"}}),
    CaseName);

TEST(FtpEpsvReplyTest, ReadsThePortBetweenDelimiters) {
  const std::vector<std::pair<std::string, int>> good = {
      {"Entering Extended Passive Mode (|||6446|)", 6446},
      {"ok (!!!1!)", 1},
      {"(|||65535|).", 65535},
  };
  for (const auto& [line, port] : good) EXPECT_EQ(TIdFTP::ParseEPSV(line), port) << line;
  for (const char* bad : {"Entering Extended Passive Mode", "(|||0|)", "(|||65536|)", "(||6446|)", "(|||64a6|)",
                          "(|||6446!)", "(   6446 )", "(|||123456|)"})
    EXPECT_THROW(TIdFTP::ParseEPSV(bad), EIdInvalidEPSVReply) << bad;
  EXPECT_EQ(TIdFTP::MakeEPRTArgument("::1", 5001), "|2|::1|5001|");
  EXPECT_EQ(TIdFTP::MakeEPRTArgument("10.0.0.5", 5001), "|1|10.0.0.5|5001|");
}

}  // namespace
