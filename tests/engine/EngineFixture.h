#pragma once
// A session run against a real FTP server on 127.0.0.1: a program directory (for
// "testlog.txt" and CRC stores), a server root and a local root, all temporary.

#include <gtest/gtest.h>

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

  // A run of the given mode against the server, in passive mode, without recursion.
  std::unique_ptr<TSessionThread> NewRun(const std::string& mode, const std::string& localPath,
                                         const std::string& remotePath) {
    if (!Server) StartServer();
    auto run = Recorder.NewRun();
    run->SessionMode = mode;
    run->LocalPath = localPath;
    run->RemotePath = remotePath;
    run->Host = Server->host();
    run->Port = Server->port();
    run->UserName = Server->user();
    run->Password = Server->password();
    run->Timeout = 10;
    run->PassiveMode = true;
    run->CrcFile = "session.crc";
    return run;
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
