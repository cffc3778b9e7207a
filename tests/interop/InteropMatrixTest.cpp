// Interoperability: every transfer function, run as a session runs it, against four kinds of
// real server, in the clear and over TLS (a pinned self-signed certificate), in passive and
// active mode, on one small tree that must arrive byte for byte; a sync also removes what
// the source no longer has.

#include <sys/stat.h>

#include "EngineFixture.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"
#include "support/TlsCertificates.h"

namespace {

using Kind = RealFtpServer::Kind;
using Tls = RealFtpServer::Tls;

struct TServerCase {
  const char* Name;
  Kind Server;
  Tls Encryption;
};

const TServerCase kServers[] = {
    {"vsftpd", Kind::Vsftpd, Tls::None},       {"vsftpd_tls", Kind::Vsftpd, Tls::Explicit},
    {"pyftpdlib", Kind::PyFtpdLib, Tls::None}, {"pyftpdlib_tls", Kind::PyFtpdLib, Tls::Explicit},
    {"pureftpd", Kind::PureFtpd, Tls::None},   {"pureftpd_tls", Kind::PureFtpd, Tls::Explicit},
    {"proftpd", Kind::ProFtpd, Tls::None},     {"proftpd_tls", Kind::ProFtpd, Tls::Explicit},
};
const char* const kModes[] = {"copylocaltoremote", "synclocaltoremote", "copyremotetolocal", "syncremotetolocal"};

std::string FiveMebibytes() {
  std::string data(5u << 20, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7919u) >> 5);
  return data;
}

// Blanks in directory and file names: pure-ftpd splits a LIST argument at blanks.
TTree SourceTree() {
  const std::string dir = "dir one/";
  return {{"empty", ""},
          {"a file with blanks.txt", "blanks\r\nand CR LF\n"},
          {dir, ""},
          {dir + "big.bin", FiveMebibytes()},
          {dir + "sub/", ""},
          {dir + "sub/Gr\xC3\xBC\xC3\x9F\x65 \xC3\xA5.txt", "non-ASCII name"},
          {dir + "sub/deep/", ""},
          {dir + "sub/deep/leaf.txt", "leaf"}};
}

const TlsCertificates& Certificates() {
  static const TlsCertificates certificates;
  return certificates;
}

// Opens the directories made by this process to a server that writes as another user.
void OpenToAll(const std::string& root) {
  ::chmod(root.c_str(), 0777);
  for (const auto& [path, content] : ReadTree(root))
    if (path.back() == '/') ::chmod((root + path).c_str(), 0777);
}

// What differs between two trees, one path a line.
std::string Differences(const TTree& expected, const TTree& actual) {
  std::string text;
  for (const auto& [path, content] : expected) {
    const auto found = actual.find(path);
    if (found == actual.end())
      text += "missing: " + path + "\n";
    else if (found->second != content)
      text += "differs: " + path + "\n";
  }
  for (const auto& [path, content] : actual)
    if (!expected.contains(path)) text += "extra: " + path + "\n";
  return text;
}

void PrintTo(const TServerCase& server, std::ostream* out) { *out << server.Name; }

class InteropMatrix : public EngineRun,
                      public ::testing::WithParamInterface<std::tuple<TServerCase, bool, const char*>> {};

TEST_P(InteropMatrix, TreeArrivesByteForByte) {
  const auto& [server, passive, mode] = GetParam();
  RealFtpServer::Options options;
  options.tls = server.Encryption;
  options.certFile = Certificates().selfSigned().certFile;
  options.keyFile = Certificates().selfSigned().keyFile;
  if (!RealFtpServer::available(server.Server, options)) GTEST_SKIP() << server.Name << " is not available here";
  Server = std::make_unique<RealFtpServer>(server.Server, ServerRoot.path(), options);

  // The target directory "t" on the receiving side; the remote one as the login sees it.
  const std::string writable = Server->writableDir().empty() ? "" : Server->writableDir() + "/";
  const std::string remoteRoot = ServerRoot.path() + writable;
  const std::string remotePath = WithTrailingSlash(Server->home()) + writable + "t/";
  const bool upwards = std::string(mode).find("localtoremote") != std::string::npos;
  const std::string source = (upwards ? Local.path() : remoteRoot) + "t/";
  const std::string target = (upwards ? remoteRoot : Local.path()) + "t/";
  TTree expected = SourceTree();
  MakeTree(source, expected);
  if (std::string(mode).rfind("sync", 0) == 0)
    MakeTree(target, {{"stale.txt", "not at the source"}, {"stale dir/", ""}});
  OpenToAll(remoteRoot);

  auto run = NewRun(mode, Local.path() + "t/", remotePath, [&](TRunSettings& s) {
    s.Recurse = true;
    s.PassiveMode = passive;
    s.Timeout = 20;
    s.DebugMode = true;  // the test log then holds the exchange, for a failure's message
    s.Encryption = server.Encryption == Tls::None ? "none" : "explicit";
    s.TlsFingerprint = server.Encryption == Tls::None ? "" : Certificates().selfSigned().fingerprint;
  });
  Recorder.RunHere(*run);

  EXPECT_TRUE(Reported("", "Done") && StatusesOf("Error").empty())
      << ReadFile(ProgramDir.path() + "testlog.txt") << Server->log();
  if (std::string(mode) == "syncremotetolocal") expected["stale dir/"] = "";  // locally only files go
  EXPECT_EQ(Differences(expected, ReadTree(target)), "") << ReadFile(ProgramDir.path() + "testlog.txt");
}

std::string CaseName(const ::testing::TestParamInfo<InteropMatrix::ParamType>& info) {
  const auto& [server, passive, mode] = info.param;
  return std::string(server.Name) + (passive ? "_passive_" : "_active_") + mode;
}

INSTANTIATE_TEST_SUITE_P(Servers, InteropMatrix,
                         ::testing::Combine(::testing::ValuesIn(kServers), ::testing::Bool(),
                                            ::testing::ValuesIn(kModes)),
                         CaseName);

}  // namespace
