// Saves "zephlin.ini" (TSessions::SaveAllSessions) and a CRC store (TCrcStore::Save) over and
// over, alternating between two known versions of each, until it is killed. Run by the
// sessions tests, which kill it with SIGKILL at random moments and then check both files.
//
//   kill_during_save_loop references <dir>   writes version A into <dir>a/ and B into <dir>b/
//   kill_during_save_loop loop <dir>         saves into <dir>, A, B, A, ... forever; prints
//                                            "saving" once both files were saved whole once

#include <QCoreApplication>
#include <cstdio>
#include <string>

#include "engine/CrcStore.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "platform/Text.h"
#include "sessions/SessionsUnit.h"

namespace {

constexpr int kSessions = 24;
constexpr int kCrcEntries = 3000;

// Version A and B differ in every session and every CRC entry, and in length.
void Apply(TSessions& sessions, char version) {
  for (int i = 0; i < kSessions; ++i) {
    TSession& session = *sessions.GetSession(i);
    session.Settings.LocalPath = std::string("/home/user/") + version + "/site" + std::to_string(i) + "/";
    session.Settings.RemotePath = version == 'a' ? "/www/" : "/public/www/mirror/";
    session.Settings.Countdown = version == 'a' ? 60 : 3600 + i;
    session.Settings.Password = std::string(version == 'a' ? 8 : 40, version);
  }
}

TCrcStore CrcVersion(char version) {
  TCrcStore store;
  const int count = version == 'a' ? kCrcEntries : kCrcEntries * 2 / 3;
  for (int i = 0; i < count; ++i)
    store.Append(std::string("/home/user/") + version + "/files/file" + std::to_string(i) + ".txt",
                 static_cast<int32_t>(0x9E3779B9u * static_cast<uint32_t>(i + version)));
  return store;
}

void Save(TSessions& sessions, char version, const std::string& directory) {
  SetProgramDirectory(directory);
  Apply(sessions, version);
  sessions.SaveAllSessions();
  CrcVersion(version).Save(directory + "state.crc");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s references|loop <directory/>\n", argv[0]);
    return 2;
  }
  QCoreApplication app(argc, argv);
  const std::string mode = argv[1];
  const std::string directory = WithTrailingSlash(argv[2]);
  // The list starts empty (from a directory without a settings file), so nothing but the
  // two versions is ever saved.
  SetProgramDirectory(directory + "empty/");
  TSessions sessions;
  for (int i = 0; i < kSessions; ++i) sessions.AddSession("Session" + std::to_string(i));

  if (mode == "references") {
    Save(sessions, 'a', directory + "a/");
    Save(sessions, 'b', directory + "b/");
    return 0;
  }
  if (mode != "loop") return 2;
  Save(sessions, 'a', directory);
  Save(sessions, 'b', directory);
  std::fputs("saving\n", stdout);
  std::fflush(stdout);
  for (char version = 'a';; version = version == 'a' ? 'b' : 'a') Save(sessions, version, directory);
}
