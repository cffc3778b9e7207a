#pragma once
// The built program run as a user runs it unattended: copied alone into a directory with its
// "zephlin.ini", no display, options on the command line, against a real FTP server.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "RunningProgram.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "sessions/SessionsUnit.h"
#include "support/ChildProcess.h"
#include "support/QtTestApp.h"
#include "support/RealFtpServer.h"
#include "support/TempDir.h"

class ProgramFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    QtTestApp();
    std::filesystem::copy_file(ZEPHLIN_PROGRAM, app.path() + "zephlin");
    ASSERT_TRUE(ForceDirectories(local.path() + "sub"));
    WriteFileAtomic(local.path() + "a.txt", "alpha");
    WriteFileAtomic(local.path() + "sub/b.txt", "beta");
  }

  // Writes the sessions into the program's "zephlin.ini" through the session list itself.
  void Configure(const std::function<void(TSessions&)>& fill) {
    SetProgramDirectory(app.path());
    {
      TSessions list;
      fill(list);
      list.SaveAllSessions();
    }
    SetProgramDirectory("");
  }

  TSession& AddUpload(TSessions& list, const std::string& name, const std::string& starter, const std::string& remote) {
    TSession& s = *list.GetSession(list.AddSession(name));
    s.Settings.SessionStarter = starter;
    s.Settings.SessionMode = SessionModeOf("copylocaltoremote");
    s.Settings.LocalPath = local.path();
    s.Settings.RemotePath = remote;
    s.Settings.Recurse = true;
    server.Configure(s.Settings, 10);
    return s;
  }

  // The environment of every run: no display, so the program picks the offscreen platform.
  static std::vector<std::string> NoDisplay() { return {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="}; }
  std::vector<std::string> Argv(const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv{app.path() + "zephlin"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
  }

  // Runs the program to its end; the working directory is elsewhere on purpose.
  TChildResult Run(const std::vector<std::string>& arguments,
                   std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    return RunChild(Argv(arguments), NoDisplay(), elsewhere.path(), limit);
  }
  // Starts the program and leaves it running; its output goes to output.txt beside it.
  std::unique_ptr<TRunningProgram> Launch(const std::vector<std::string>& arguments) {
    return std::make_unique<TRunningProgram>(Argv(arguments), NoDisplay(), elsewhere.path(), app.path() + "output.txt");
  }

  std::string SummaryLog() {
    std::string text;
    ReadWholeFile(app.path() + "zephlin.log", text);
    return text;
  }
  bool Uploaded(const std::string& remote) { return FileExists(remoteRoot.path() + remote); }

  // Position of the first log line holding all the pieces, or npos.
  static size_t FindLine(const std::string& log, const std::vector<std::string>& pieces) {
    size_t start = 0;
    while (start < log.size()) {
      size_t end = log.find("\r\n", start);
      if (end == std::string::npos) end = log.size();
      const std::string line = log.substr(start, end - start);
      bool all = true;
      for (const std::string& piece : pieces) all = all && line.find(piece) != std::string::npos;
      if (all) return start;
      start = end + 2;
    }
    return std::string::npos;
  }

  TempDir app, local, remoteRoot, elsewhere;
  RealFtpServer server{RealFtpServer::Kind::PyFtpdLib, remoteRoot.path()};
};
