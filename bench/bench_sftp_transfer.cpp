// Upload and download of one large file (1 GiB by default) on loopback against OpenSSH's
// sshd, with Zephlin's SFTP client side by side with OpenSSH's sftp, both on the one cipher
// the server offers, in one run. Each transfer runs in a child process (wall time, CPU time,
// peak RSS of its own), twice, and the faster run counts.
//
//   bench_sftp_transfer            # 1024 MiB
//   ZEPHLIN_BENCH_MIB=64 bench_sftp_transfer
//
// Needs root (the test sshd chroots its login); otherwise it says so and exits 0.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "Measure.h"
#include "platform/FileSystem.h"
#include "remote/sftp/SftpClient.h"
#include "remote/sftp/SshTransport.h"
#include "support/SshServer.h"

namespace {

const char* const kCipher = "aes128-gcm@openssh.com";

sftp::TSshOptions OptionsFor(const SshServer& server, const std::string& knownHosts) {
  sftp::TSshOptions options;
  options.Host = server.host();
  options.Port = server.port();
  options.UserName = server.user();
  options.KeyFile = server.clientKey();
  options.KnownHostsFile = knownHosts;
  options.UseAgent = false;
  return options;
}

// Zephlin's client: one login, one transfer.
bool OwnTransfer(const sftp::TSshOptions& options, bool upload, const std::string& local, const std::string& remote) {
  try {
    sftp::TSshTransport transport;
    transport.Open(options);
    sftp::TSftpClient client(transport);
    client.Start();
    TTransferFile file;
    if (upload) {
      if (!file.OpenRead(local)) return false;
      client.Upload(
          remote, 0,
          [&](uint8_t* buffer, size_t capacity) {
            size_t got = 0;
            return file.Read(reinterpret_cast<char*>(buffer), capacity, got) ? got : 0;
          },
          nullptr);
    } else {
      if (!file.Create(local)) return false;
      client.Download(
          remote, 0, -1,
          [&](const uint8_t* data, size_t length) { file.Write(reinterpret_cast<const char*>(data), length); },
          nullptr);
    }
    return file.Close();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zephlin: %s\n", error.what());
    return false;
  }
}

void WriteBatch(const std::string& path, const std::string& line) { std::ofstream(path) << line << "\n"; }

void Row(const char* operation, const char* client, const Result& r, double mib) {
  std::printf("%-9s %-10s %8.2f s %8.1f MiB/s %8.2f s CPU %7.1f MiB RSS%s\n", operation, client, r.wall, mib / r.wall,
              r.cpu, r.rssMiB, r.ok ? "" : "  FAILED");
}

}  // namespace

int main() {
  if (!SshServer::available(SshServer::Kind::OpenSsh) || !Installed("/usr/bin/sftp")) {
    std::puts("bench_sftp_transfer: needs root, sshd and sftp; skipped");
    return 0;
  }
  const char* env = std::getenv("ZEPHLIN_BENCH_MIB");
  const double mib = env != nullptr ? std::atof(env) : 1024;
  const SshServer server(SshServer::Kind::OpenSsh, std::string("Ciphers ") + kCipher + "\n");
  const std::string work = server.root() + "../../bench/";
  std::filesystem::create_directories(work);
  const std::string knownHosts = work + "known_hosts";
  std::ofstream(knownHosts) << server.knownHostsLine() << "\n";
  const std::string source = work + "source.bin";
  {
    std::ofstream out(source, std::ios::binary);
    std::string block(1 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 7919u) >> 5);
    for (int i = 0; i < static_cast<int>(mib); ++i) out << block;
  }
  const sftp::TSshOptions options = OptionsFor(server, knownHosts);
  const std::vector<std::string> sftp = {"/usr/bin/sftp",
                                         "-q",
                                         "-b",
                                         work + "batch",
                                         "-i",
                                         server.clientKey(),
                                         "-o",
                                         "UserKnownHostsFile=" + knownHosts,
                                         "-o",
                                         "BatchMode=yes",
                                         "-c",
                                         kCipher,
                                         "-P",
                                         std::to_string(server.port()),
                                         server.user() + "@" + server.host()};
  std::printf("bench_sftp_transfer: %.0f MiB on loopback, cipher %s\n", mib, kCipher);
  const std::string uploaded = server.root() + "up.bin", downloaded = work + "down.bin";
  const Result ownUp = Measure(uploaded, [&] { return OwnTransfer(options, true, source, server.home() + "/up.bin"); });
  WriteBatch(work + "batch", "put " + source + " " + server.home() + "/up.bin");
  const Result peerUp = Run(uploaded, sftp);
  std::filesystem::copy_file(source, server.root() + "down.bin");
  const Result ownDown =
      Measure(downloaded, [&] { return OwnTransfer(options, false, downloaded, server.home() + "/down.bin"); });
  WriteBatch(work + "batch", "get " + server.home() + "/down.bin " + downloaded);
  const Result peerDown = Run(downloaded, sftp);
  Row("upload", "zephlin", ownUp, mib);
  Row("upload", "sftp", peerUp, mib);
  Row("download", "zephlin", ownDown, mib);
  Row("download", "sftp", peerDown, mib);
  std::printf("ratios zephlin/sftp: upload wall %.2f CPU %.2f; download wall %.2f CPU %.2f\n", ownUp.wall / peerUp.wall,
              ownUp.cpu / peerUp.cpu, ownDown.wall / peerDown.wall, ownDown.cpu / peerDown.cpu);
  std::filesystem::remove_all(work);
  return ownUp.ok && peerUp.ok && ownDown.ok && peerDown.ok ? 0 : 1;
}
