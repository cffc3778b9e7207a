// Upload and download of one large file (1 GiB by default) on loopback against vsftpd, in
// passive and active mode, with TIdFTP side by side with the reference clients installed
// here (curl always; rclone and lftp when present), in one run. Each transfer runs in a
// child process so that its wall time, CPU time (user + sys) and peak RSS are its own.
//
//   bench_ftp_transfer            # 1024 MiB
//   ZEPHLIN_BENCH_MIB=64 bench_ftp_transfer
//
// Each transfer runs twice and the faster run counts (page-cache writeback makes single
// runs noisy).
// Prints one row per transfer and, per operation and mode, the ratios of TIdFTP to the
// best peer. Needs /usr/sbin/vsftpd; without it the benchmark says so and exits 0.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Measure.h"
#include "ftp/IdFTP.h"
#include "platform/Socket.h"

namespace {

int FreePort() {
  TSocket s;
  std::string address;
  uint16_t port = 0;
  s.Open();
  s.Bind(0x7F000001u, 0);
  s.LocalAddress(address, port);
  return port;
}

bool Accepts(int port) {
  TSocket s;
  return s.Open() == 0 && s.Connect(0x7F000001u, static_cast<uint16_t>(port), 200) == 0;
}

// The benchmark's own client: anonymous on the local server, one minute per read.
void ConnectClient(TIdFTP& ftp, int port, bool passive) {
  ftp.Host = "127.0.0.1";
  ftp.Port = port;
  ftp.Username = "anonymous";
  ftp.Password = "bench@";
  ftp.Passive = passive;
  ftp.ReadTimeout = 60000;
  ftp.ConnectAndLogin(true, 10000);
}

}  // namespace

int main() {
  if (!Installed("/usr/sbin/vsftpd")) {
    std::printf("vsftpd is not installed: nothing measured\n");
    return 0;
  }
  const char* mibText = std::getenv("ZEPHLIN_BENCH_MIB");
  const int64_t mib = mibText ? std::atoll(mibText) : 1024;
  const int64_t size = mib << 20;

  char pattern[] = "/tmp/zephlin-bench-XXXXXX";
  if (!::mkdtemp(pattern)) return 1;
  const std::string dir = std::string(pattern) + "/";
  const std::string root = dir + "root/", local = dir + "local/";
  std::filesystem::create_directories(root);
  std::filesystem::create_directories(local);
  std::filesystem::create_directories(dir + "empty");
  {
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 7 + 3) % 251);
    std::ofstream src(local + "src.bin", std::ios::binary);
    for (int64_t i = 0; i < mib; ++i) src.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  std::filesystem::copy_file(local + "src.bin", root + "src.bin");

  const int port = FreePort();
  {
    std::ofstream conf(dir + "vsftpd.conf");
    conf << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << port << "\n"
         << "background=NO\nseccomp_sandbox=NO\nrun_as_launching_user=YES\n"
         << "anonymous_enable=YES\nlocal_enable=NO\nno_anon_password=YES\nanon_root=" << root << "\n"
         << "write_enable=YES\nanon_upload_enable=YES\nanon_other_write_enable=YES\n"
         << "anon_world_readable_only=NO\npasv_enable=YES\nport_enable=YES\nconnect_from_port_20=NO\n"
         << "secure_chroot_dir=" << dir << "empty\nxferlog_enable=NO\n";
  }
  pid_t server = ::fork();
  if (server == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::setpgid(0, 0);
    const std::string confPath = dir + "vsftpd.conf";
    ::execl("/usr/sbin/vsftpd", "vsftpd", confPath.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (int i = 0; i < 250 && !Accepts(port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));

  const std::string url = "ftp://127.0.0.1:" + std::to_string(port) + "/";
  std::printf("%lld MiB over loopback against vsftpd\n\n", static_cast<long long>(mib));
  std::printf("%-9s %-8s %-8s %9s %9s %9s\n", "op", "mode", "client", "wall s", "cpu s", "rss MiB");
  std::map<std::string, Result> ours, best;
  std::map<std::string, std::string> bestName;

  auto report = [&](const std::string& op, const std::string& mode, const std::string& client, Result r) {
    std::printf("%-9s %-8s %-8s %9.3f %9.3f %9.1f%s\n", op.c_str(), mode.c_str(), client.c_str(), r.wall, r.cpu,
                r.rssMiB, r.ok ? "" : "  FAILED");
    const std::string key = op + " " + mode;
    if (client == "TIdFTP") {
      ours[key] = r;
    } else if (r.ok && (!best.count(key) || r.wall < best[key].wall)) {
      best[key] = r;
      bestName[key] = client;
    }
    std::fflush(stdout);
  };

  for (bool passive : {true, false}) {
    const std::string mode = passive ? "passive" : "active";
    // Upload.
    report("upload", mode, "TIdFTP", Measure(root + "up.bin", [&] {
             try {
               TIdFTP ftp;
               ConnectClient(ftp, port, passive);
               ftp.PutFile(local + "src.bin", "up.bin");
               ftp.Disconnect();
               return std::filesystem::file_size(root + "up.bin") == static_cast<uintmax_t>(size);
             } catch (const std::exception& e) {
               std::fprintf(stderr, "TIdFTP upload: %s\n", e.what());
               return false;
             }
           }));
    std::filesystem::remove(root + "up.bin");
    std::vector<std::string> curl = {"/usr/bin/curl", "-s", "-S", "-T", local + "src.bin", url + "up.bin"};
    if (!passive) curl.insert(curl.begin() + 1, {"--ftp-port", "127.0.0.1"});
    report("upload", mode, "curl", Run(root + "up.bin", curl));
    std::filesystem::remove(root + "up.bin");
    if (Installed("/usr/bin/lftp")) {
      report("upload", mode, "lftp",
             Run(root + "up.bin", {"/usr/bin/lftp", "-e",
                                   std::string("set ftp:passive-mode ") + (passive ? "on" : "off") + "; put " + local +
                                       "src.bin -o up.bin; quit",
                                   "-u", "anonymous,bench@", "-p", std::to_string(port), "127.0.0.1"}));
      std::filesystem::remove(root + "up.bin");
    }
    if (passive && Installed("/usr/bin/rclone")) {
      report("upload", mode, "rclone",
             Run(root + "up.bin", {"/usr/bin/rclone", "copyto", "--ftp-host", "127.0.0.1", "--ftp-port",
                                   std::to_string(port), "--ftp-user", "anonymous", "--ftp-pass",
                                   "IfNEImVPWtOLmKPNKwVa8TQTFyOXtA", local + "src.bin", ":ftp:up.bin"}));
      std::filesystem::remove(root + "up.bin");
    }

    // Download.
    report("download", mode, "TIdFTP", Measure(local + "dl.bin", [&] {
             try {
               TIdFTP ftp;
               ConnectClient(ftp, port, passive);
               ftp.GetFile("src.bin", local + "dl.bin", true, false);
               ftp.Disconnect();
               return std::filesystem::file_size(local + "dl.bin") == static_cast<uintmax_t>(size);
             } catch (const std::exception& e) {
               std::fprintf(stderr, "TIdFTP download: %s\n", e.what());
               return false;
             }
           }));
    std::filesystem::remove(local + "dl.bin");
    curl = {"/usr/bin/curl", "-s", "-S", "-o", local + "dl.bin", url + "src.bin"};
    if (!passive) curl.insert(curl.begin() + 1, {"--ftp-port", "127.0.0.1"});
    report("download", mode, "curl", Run(local + "dl.bin", curl));
    std::filesystem::remove(local + "dl.bin");
    if (Installed("/usr/bin/lftp")) {
      report("download", mode, "lftp",
             Run(local + "dl.bin", {"/usr/bin/lftp", "-e",
                                    std::string("set ftp:passive-mode ") + (passive ? "on" : "off") +
                                        "; get src.bin -o " + local + "dl.bin; quit",
                                    "-u", "anonymous,bench@", "-p", std::to_string(port), "127.0.0.1"}));
      std::filesystem::remove(local + "dl.bin");
    }
    if (passive && Installed("/usr/bin/rclone")) {
      report("download", mode, "rclone",
             Run(local + "dl.bin", {"/usr/bin/rclone", "copyto", "--ftp-host", "127.0.0.1", "--ftp-port",
                                    std::to_string(port), "--ftp-user", "anonymous", "--ftp-pass",
                                    "IfNEImVPWtOLmKPNKwVa8TQTFyOXtA", ":ftp:src.bin", local + "dl.bin"}));
      std::filesystem::remove(local + "dl.bin");
    }
  }

  std::printf("\nTIdFTP / best peer (wall, cpu), TIdFTP peak RSS\n");
  for (const auto& [key, r] : ours) {
    if (!best.count(key)) continue;
    const Result& b = best[key];
    std::printf("%-17s vs %-7s wall %.2fx  cpu %.2fx  rss %.1f MiB\n", key.c_str(), bestName[key].c_str(),
                r.wall / b.wall, b.cpu > 0 ? r.cpu / b.cpu : 0.0, r.rssMiB);
  }

  ::kill(-server, SIGTERM);
  ::kill(server, SIGTERM);
  int status = 0;
  ::waitpid(server, &status, 0);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
