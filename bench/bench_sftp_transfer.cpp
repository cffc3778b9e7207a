// SFTP side by side with the peer clients, in one run, as ratios, against OpenSSH's sshd (the
// test server of tests/support), all on the one cipher the server offers:
// - loopback: one large file (1 GiB by default) up and down, Zephlin's client beside
//   OpenSSH's sftp;
// - 25 ms each way (bench/latency_relay.py in front of sshd): 200 files of 4 KiB in 2 folders
//   up and down, the program's sessions over 1 connection beside sftp's batch put -r / get -r,
//   and over 4 beside rclone copy --transfers 4 and lftp mirror --parallel=4; and one file of
//   64 MiB up and down beside sftp.
// Each transfer runs in a child process (wall time, CPU time, peak RSS of its own), twice,
// and the faster run counts.
//
//   bench_sftp_transfer                               # 1024 MiB
//   ZEPHLIN_BENCH_MIB=64 bench_sftp_transfer
//   ZEPHLIN_BENCH_ONLY=files,far bench_sftp_transfer  # some rows only: loopback, files, far
//   ZEPHLIN_BENCH_LATENCY_MS=25 bench_sftp_transfer
//
// Needs root (the test sshd chroots its login); otherwise it says so and exits 0.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "Measure.h"
#include "engine/SessionThreadUnit.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "remote/sftp/SftpClient.h"
#include "remote/sftp/SshTransport.h"
#include "support/SshServer.h"

namespace {

const char* const kCipher = "aes128-gcm@openssh.com";

bool Wanted(const char* row) {
  const char* only = std::getenv("ZEPHLIN_BENCH_ONLY");
  return only == nullptr || std::string(only).find(row) != std::string::npos;
}

// Where one set of runs talks to the server: sshd's own port, or the relay's.
struct TEndpoint {
  const SshServer& Server;
  int Port;
  std::string KnownHosts;  // a known_hosts file naming the server's key for this port
};

sftp::TSshOptions OptionsFor(const TEndpoint& at) {
  sftp::TSshOptions options;
  options.Host = at.Server.host();
  options.Port = at.Port;
  options.UserName = at.Server.user();
  options.KeyFile = at.Server.clientKey();
  options.KnownHostsFile = at.KnownHosts;
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

// The program's own run of a session: the four functions, the pool, the trace, as a user has them.
bool SessionRun(const TEndpoint& at, const std::string& mode, const std::string& local, const std::string& remote,
                int connections, const std::string& programDir) {
  SetProgramDirectory(programDir);
  TRunSettings settings;
  settings.Protocol = TProtocol::Sftp;
  settings.SessionMode = SessionModeOf(mode);
  settings.LocalPath = local;
  settings.RemotePath = remote;
  settings.Host = at.Server.host();
  settings.Port = at.Port;
  settings.UserName = at.Server.user();
  settings.KeyFile = at.Server.clientKey();
  settings.HostKey = at.Server.hostKeyFingerprint();
  settings.Recurse = true;
  settings.ExactTimes = true;  // as a new session has it
  settings.Connections = connections;
  settings.Timeout = 60;
  settings.CrcFile = "bench.crc";
  TSessionThread run(settings);
  run.Execute();
  if (!run.Outcome.Succeeded() || run.Outcome.Failed > 0)
    std::fprintf(stderr, "zephlin: %s\n", run.Outcome.FirstError().c_str());
  return run.Outcome.Succeeded() && run.Outcome.Failed == 0;
}

std::vector<std::string> SftpCommand(const TEndpoint& at, const std::string& batch) {
  return {"/usr/bin/sftp",
          "-q",
          "-b",
          batch,
          "-i",
          at.Server.clientKey(),
          "-o",
          "UserKnownHostsFile=" + at.KnownHosts,
          "-o",
          "BatchMode=yes",
          "-c",
          kCipher,
          "-P",
          std::to_string(at.Port),
          at.Server.user() + "@" + at.Server.host()};
}

std::string SshCommandLine(const TEndpoint& at) {
  return "ssh -a -x -c " + std::string(kCipher) + " -i " + at.Server.clientKey() +
         " -o UserKnownHostsFile=" + at.KnownHosts + " -o BatchMode=yes";
}

// rclone's SFTP remote for the endpoint, as a connection string: no hashes (the chrooted
// login runs no commands), times set as Zephlin sets them.
std::string RcloneRemote(const TEndpoint& at, const std::string& path) {
  return ":sftp,host=" + at.Server.host() + ",port=" + std::to_string(at.Port) + ",user=" + at.Server.user() +
         ",key_file=" + at.Server.clientKey() + ",known_hosts_file=" + at.KnownHosts +
         ",shell_type=none,disable_hashcheck=true:" + path;
}

std::vector<std::string> LftpMirror(const TEndpoint& at, bool upload, const std::string& local,
                                    const std::string& remote) {
  const std::string mirror =
      upload ? "mirror -R --parallel=4 " + local + " " + remote : "mirror --parallel=4 " + remote + " " + local;
  return {"/usr/bin/lftp", "-c",
          "set sftp:connect-program \"" + SshCommandLine(at) + "\"; set net:max-retries 1; open -u " +
              at.Server.user() + ", sftp://" + at.Server.host() + ":" + std::to_string(at.Port) + "; " + mirror};
}

int FreePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(s, reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(s);
  return ntohs(address.sin_port);
}

void WriteBatch(const std::string& path, const std::string& line) { std::ofstream(path) << line << "\n"; }

void Row(const char* operation, const char* client, const Result& r, double mib) {
  std::printf("%-9s %-22s %8.2f s %8.1f MiB/s %8.2f s CPU %7.1f MiB RSS%s\n", operation, client, r.wall, mib / r.wall,
              r.cpu, r.rssMiB, r.ok ? "" : "  FAILED");
}

void Ratio(const char* what, const Result& ours, const Result& peer, double target) {
  const double wall = ours.wall / peer.wall;
  std::printf("ratio %-44s wall %5.2f (target %.1f%s)  CPU %5.2f\n", what, wall, target,
              wall <= target ? "" : ", MISSED", ours.cpu / peer.cpu);
}

void MakeFile(const std::string& path, double mib) {
  std::ofstream out(path, std::ios::binary);
  std::string block(1 << 20, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 7919u) >> 5);
  for (int i = 0; i < static_cast<int>(mib); ++i) out << block;
}

// A tree of `files` files of 4 KiB in 2 folders below `root`.
void MakeSmallFiles(const std::string& root, int files) {
  const std::string content(4096, 'q');
  for (int i = 0; i < files; ++i) {
    const std::string folder = root + "d" + std::to_string(i % 2) + "/";
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "f" + std::to_string(i)) << content;
  }
}

// The files the small-file rows move; a run that leaves fewer failed.
constexpr int kSmallFiles = 200;

size_t FilesBelow(const std::string& folder) {
  size_t count = 0;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ignored))
    count += entry.is_regular_file(ignored) && entry.file_size(ignored) == 4096 ? 1 : 0;
  return count;
}

// Measure for a transfer that makes a folder: the folder goes before each run.
template <typename Body>
Result MeasureTree(const std::string& folder, Body body) {
  Result best;
  for (int round = 0; round < 2; ++round) {
    std::filesystem::remove_all(folder);
    ::sync();
    Result r = MeasureOnce(body);
    r.ok = r.ok && FilesBelow(folder) == kSmallFiles;
    if (round == 0 || !r.ok || (best.ok && r.wall < best.wall)) best = r;
    if (!r.ok) break;
  }
  std::filesystem::remove_all(folder);
  return best;
}

Result RunTree(const std::string& folder, const std::vector<std::string>& args) {
  return MeasureTree(folder, [&] {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int devnull = ::open("/dev/null", O_RDWR);
    ::dup2(devnull, 0);
    ::dup2(devnull, 1);
    ::execv(argv[0], argv.data());
    return false;
  });
}

// One large file up and down, Zephlin's client beside sftp.
void LargeFileRows(const TEndpoint& at, const std::string& work, double mib, const char* label, double target) {
  const std::string source = work + "source.bin";
  MakeFile(source, mib);
  const SshServer& server = at.Server;
  const sftp::TSshOptions options = OptionsFor(at);
  const std::vector<std::string> sftp = SftpCommand(at, work + "batch");
  const std::string uploaded = server.root() + "up.bin", downloaded = work + "down.bin";
  const Result ownUp = Measure(uploaded, [&] { return OwnTransfer(options, true, source, server.home() + "/up.bin"); });
  WriteBatch(work + "batch", "put " + source + " " + server.home() + "/up.bin");
  const Result peerUp = Run(uploaded, sftp);
  std::filesystem::copy_file(source, server.root() + "down.bin", std::filesystem::copy_options::overwrite_existing);
  const Result ownDown =
      Measure(downloaded, [&] { return OwnTransfer(options, false, downloaded, server.home() + "/down.bin"); });
  WriteBatch(work + "batch", "get " + server.home() + "/down.bin " + downloaded);
  const Result peerDown = Run(downloaded, sftp);
  std::printf("-- %s: %.0f MiB, cipher %s\n", label, mib, kCipher);
  Row("upload", "zephlin", ownUp, mib);
  Row("upload", "sftp", peerUp, mib);
  Row("download", "zephlin", ownDown, mib);
  Row("download", "sftp", peerDown, mib);
  Ratio((std::string(label) + " upload zephlin/sftp").c_str(), ownUp, peerUp, target);
  Ratio((std::string(label) + " download zephlin/sftp").c_str(), ownDown, peerDown, target);
  std::filesystem::remove(source);
  std::filesystem::remove(server.root() + "down.bin");
}

struct TTreeRun {
  const char* Client;
  std::function<Result()> Measure;
};

// 200 files of 4 KiB, up and down: the program's sessions beside the peers.
void SmallFileRows(const TEndpoint& at, const std::string& work, int files, double delayMs) {
  const SshServer& server = at.Server;
  const std::string source = work + "tree/", fetched = work + "fetched/", program = work + "program/";
  std::filesystem::create_directories(program);
  MakeSmallFiles(source, files);
  MakeSmallFiles(server.root() + "down/", files);
  const std::string up = server.root() + "up", upRemote = server.home() + "/up";
  const std::string downRemote = server.home() + "/down";
  const auto session = [&](const char* mode, const std::string& local, const std::string& remote, int connections,
                           const std::string& target) {
    return MeasureTree(target, [&, mode] { return SessionRun(at, mode, local, remote, connections, program); });
  };
  const std::string batch = work + "batch";
  const std::vector<TTreeRun> runs = {
      {"up zephlin 1 connection", [&] { return session("copylocaltoremote", source, upRemote + "/", 1, up); }},
      {"up sftp put -r",
       [&] {
         WriteBatch(batch, "put -r " + source + " " + upRemote);
         return RunTree(up, SftpCommand(at, batch));
       }},
      {"up zephlin 4 connections", [&] { return session("copylocaltoremote", source, upRemote + "/", 4, up); }},
      {"up rclone --transfers 4",
       [&] {
         return RunTree(up, {"/usr/bin/rclone", "copy", "--config", "/dev/null", "--transfers", "4", source,
                             RcloneRemote(at, upRemote)});
       }},
      {"up lftp --parallel=4", [&] { return RunTree(up, LftpMirror(at, true, source, upRemote)); }},
      {"down zephlin 1 connection",
       [&] { return session("copyremotetolocal", fetched, downRemote + "/", 1, fetched); }},
      {"down sftp get -r",
       [&] {
         WriteBatch(batch, "get -r " + downRemote + " " + fetched);
         return RunTree(fetched, SftpCommand(at, batch));
       }},
      {"down zephlin 4 connections",
       [&] { return session("copyremotetolocal", fetched, downRemote + "/", 4, fetched); }},
      {"down rclone --transfers 4",
       [&] {
         return RunTree(fetched, {"/usr/bin/rclone", "copy", "--config", "/dev/null", "--transfers", "4",
                                  RcloneRemote(at, downRemote), fetched});
       }},
      {"down lftp --parallel=4", [&] { return RunTree(fetched, LftpMirror(at, false, fetched, downRemote)); }},
  };
  std::vector<Result> results;
  for (const TTreeRun& run : runs) results.push_back(run.Measure());
  std::printf("-- %d files of 4 KiB in 2 folders, %.0f ms each way\n", files, delayMs);
  for (size_t i = 0; i < runs.size(); ++i) Row("files", runs[i].Client, results[i], files * 4.0 / 1024);
  for (size_t base : {size_t{0}, size_t{5}}) {
    const std::string direction = base == 0 ? "up" : "down";
    Ratio((direction + " 1 connection zephlin/sftp").c_str(), results[base], results[base + 1], 1.0);
    Ratio((direction + " 4 connections zephlin/rclone").c_str(), results[base + 2], results[base + 3], 1.0);
    Ratio((direction + " 4 connections zephlin/lftp").c_str(), results[base + 2], results[base + 4], 1.0);
  }
  std::filesystem::remove_all(source);
  std::filesystem::remove_all(server.root() + "down/");
}

}  // namespace

int main() {
  if (!SshServer::available(SshServer::Kind::OpenSsh) || !Installed("/usr/bin/sftp")) {
    std::puts("bench_sftp_transfer: needs root, sshd and sftp; skipped");
    return 0;
  }
  ::signal(SIGPIPE, SIG_IGN);
  const char* env = std::getenv("ZEPHLIN_BENCH_MIB");
  const double mib = env != nullptr ? std::atof(env) : 1024;
  const char* latencyEnv = std::getenv("ZEPHLIN_BENCH_LATENCY_MS");
  const double delayMs = latencyEnv != nullptr ? std::atof(latencyEnv) : 25;
  const SshServer server(SshServer::Kind::OpenSsh, std::string("Ciphers ") + kCipher + "\n");
  const std::string work = server.root() + "../../bench/";
  std::filesystem::create_directories(work);
  const TEndpoint direct{server, server.port(), work + "known_hosts"};
  std::ofstream(direct.KnownHosts) << server.knownHostsLine() << "\n";
  if (Wanted("loopback")) LargeFileRows(direct, work, mib, "loopback", 1.1);
  if (Wanted("files") || Wanted("far")) {
    const std::string relayPort = std::to_string(FreePort());
    const pid_t relay = ::fork();
    if (relay == 0) {
      const std::string script = std::string(ZEPHLIN_BENCH_SOURCE_DIR) + "/latency_relay.py";
      const std::string target = std::to_string(server.port()), delay = std::to_string(delayMs / 1000.0);
      ::execl("/usr/bin/python3", "python3", script.c_str(), relayPort.c_str(), target.c_str(), delay.c_str(), nullptr);
      ::_exit(127);
    }
    ::usleep(500000);
    const TEndpoint far{server, std::stoi(relayPort), work + "known_hosts_far"};
    std::string line = server.knownHostsLine();
    line = "[" + server.host() + "]:" + relayPort + line.substr(line.find(' '));
    std::ofstream(far.KnownHosts) << line << "\n";
    std::printf("== over a relay adding %.0f ms each way\n", delayMs);
    if (Wanted("files")) SmallFileRows(far, work, kSmallFiles, delayMs);
    if (Wanted("far")) LargeFileRows(far, work, 64, "far", 1.2);
    ::kill(relay, SIGTERM);
  }
  std::filesystem::remove_all(work);
  return 0;
}
