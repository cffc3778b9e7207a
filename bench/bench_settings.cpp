// Times the settings file at scale: SaveAllSessions and LoadSessions of 1,000 sessions,
// each one read and one write of the whole file. Prints the median of several rounds.

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "sessions/SessionsUnit.h"

namespace {

double MedianMs(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

template <typename F>
double TimeMs(F&& action) {
  const auto start = std::chrono::steady_clock::now();
  action();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);  // the session list's timer needs an event loop
  char pattern[] = "/tmp/zephlin-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const std::string dir = std::string(pattern) + "/";
  SetProgramDirectory(dir);

  constexpr int SessionCount = 1000;
  constexpr int Rounds = 9;
  std::vector<double> saves, loads;
  {
    TSessions list;
    for (int i = 0; i < SessionCount; ++i) {
      TSession& s = *list.GetSession(list.AddSession("Session" + std::to_string(i)));
      s.Settings.LocalPath = "/srv/data/" + std::to_string(i) + "/";
      s.Settings.RemotePath = "/incoming/" + std::to_string(i) + "/";
      s.Settings.SessionStarter = "countdown";
      s.Settings.Countdown = 300;
      s.Settings.SessionMode = SessionModeOf("synclocaltoremote");
      s.Settings.Host = "ftp.example.org";
      s.Settings.Password = "password" + std::to_string(i);
      s.Settings.CrcFile = std::to_string(i) + ".crc";
    }
    for (int r = 0; r < Rounds; ++r) saves.push_back(TimeMs([&] { list.SaveAllSessions(); }));
    for (int r = 0; r < Rounds; ++r) loads.push_back(TimeMs([&] { list.LoadSessions(); }));
    if (list.Count() != SessionCount) {
      std::fprintf(stderr, "loaded %d sessions, expected %d\n", list.Count(), SessionCount);
      return 1;
    }
  }
  std::printf("%-40s %10s\n", "settings file, 1,000 sessions", "median ms");
  std::printf("%-40s %10.2f\n", "SaveAllSessions", MedianMs(saves));
  std::printf("%-40s %10.2f\n", "LoadSessions", MedianMs(loads));
  DeleteFile(dir + "zephlin.ini");
  RemoveDir(dir);
  return 0;
}
