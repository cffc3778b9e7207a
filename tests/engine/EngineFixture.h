#pragma once
// A session run against a real FTP server on 127.0.0.1: a program directory (for
// "testlog.txt" and CRC stores), a server root and a local root, all temporary.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "EngineTestSupport.h"
#include "platform/ProgramDir.h"
#include "support/RealFtpServer.h"
#include "support/TempDir.h"

class EngineRun : public ::testing::Test {
 protected:
  void SetUp() override { SetProgramDirectory(ProgramDir.path()); }
  void TearDown() override { SetProgramDirectory(""); }

  void StartServer(RealFtpServer::Kind kind = RealFtpServer::Kind::PyFtpdLib) {
    Server = std::make_unique<RealFtpServer>(kind, ServerRoot.path());
  }

  // A run of the given mode against the server, in passive mode, without recursion, with
  // whatever `adjust` changes of that.
  std::unique_ptr<TSessionThread> NewRun(const std::string& mode, const std::string& localPath,
                                         const std::string& remotePath,
                                         const std::function<void(TRunSettings&)>& adjust = {}) {
    if (!Server) StartServer();
    TRunSettings settings;
    settings.SessionMode = SessionModeOf(mode);
    settings.LocalPath = localPath;
    settings.RemotePath = remotePath;
    settings.Host = Server->host();
    settings.Port = Server->port();
    settings.UserName = Server->user();
    settings.Password = Server->password();
    settings.Timeout = 10;
    settings.PassiveMode = true;
    settings.CrcFile = "session.crc";
    if (adjust) adjust(settings);
    return Recorder.NewRun(settings);
  }

  std::vector<std::string> TestLog() { return LogBody(ReadFile(ProgramDir.path() + "testlog.txt")); }

  // Reports with the given function text, in order.
  std::vector<std::string> StatusesOf(const std::string& function) const {
    std::vector<std::string> statuses;
    for (const TReport& report : Recorder.Reports) {
      if (report.Function == function) statuses.push_back(report.Status);
    }
    return statuses;
  }

  bool Reported(const std::string& function, const std::string& status) const {
    return ::Reported(Recorder.Reports, function, status);
  }

  TempDir ProgramDir;
  TempDir ServerRoot;
  TempDir Local;
  std::unique_ptr<RealFtpServer> Server;
  TRunRecorder Recorder;
};
