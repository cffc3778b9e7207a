#pragma once
// An in-memory remote tree behind the remote layer's interface, for engine tests where the
// wire does not matter: what a run did shows as the calls it made and the tree it left. A
// fault script plays what a server can do to a run: fail step N with a kind, cut the
// connection at step N, list an entry oddly or leave lines unread.
//
// Every connection a maker makes shares one tree and one step count (a run over several
// connections counts their steps together); any thread.

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "remote/RemoteConnection.h"
#include "remote/RemoteFactory.h"

class TFakeRemoteTree {
 public:
  // Paths are absolute ("/pub/a.txt"); directories above a file are made with it.
  void AddFile(const std::string& APath, const std::string& AContent, TDateTime ATime = 0);
  void AddDirectory(const std::string& APath);
  // Listed with these rights ("r--r--r--": read-only, which a sync up leaves alone).
  void SetRights(const std::string& APath, const std::string& ARights);
  // The file's content; "<none>" when there is no such file, "<dir>" for a directory.
  std::string Content(const std::string& APath) const;
  // Every path, directories ending in "/", each with its content: the tree as a test reads it.
  std::map<std::string, std::string> Paths() const;

  // --- The fault script ---
  // Step AStep (1-based, the connect included) fails with AKind and AText; the server is
  // taken to have answered unless the kind costs the connection, which is then closed.
  void FailStep(int AStep, TRemoteFailure AKind, const std::string& AText);
  // The listing of ADirectory (absolute, ending in "/") shows AEntry in place of the entry
  // of the same name, or in addition to the others.
  void ListOddly(const std::string& ADirectory, const TRemoteEntry& AEntry);
  // The listing of ADirectory has lines the connection could not read.
  void LeaveLinesUnread(const std::string& ADirectory, int ALines);
  bool ExactTimes = false;  // listings with times to the second (else to the minute)

  // What the connections did, one line per step: "CWD /pub", "LIST /pub/", "STOR a.txt", ...
  std::vector<std::string> Calls() const;
  // Called before every step with the connection's number (1 for the first the maker made)
  // and the call, on the connection's thread and outside the tree's lock: a test may hold a
  // step back, or fail it by throwing (the fault costs nothing).
  std::function<void(int AConnection, const std::string& ACall)> BeforeStep;

  // For TFakeRemote: counts a step, records it, and throws the fault scripted for it.
  // ALost: set when the fault costs the connection.
  void Step(int AConnection, const std::string& ACall, bool& ALost);
  std::atomic<int> Connections{0};  // made so far
  struct TNode {
    bool Directory = false;
    std::string Content;
    TDateTime Time = 0;
    std::string Rights = "rw-r--r--";
  };
  mutable std::mutex Mutex;
  std::map<std::string, TNode> Nodes;  // guarded by Mutex; absolute paths without a trailing "/"
  std::map<std::string, std::vector<TRemoteEntry>> OddEntries;
  std::map<std::string, int> UnreadLines;

 private:
  struct TFault {
    TRemoteFailure Kind;
    std::string Text;
  };
  std::map<int, TFault> FFaults;
  std::vector<std::string> FCalls;
  int FSteps = 0;
};

// A maker of connections to ATree (for TSessionThread::ConnectionMaker).
TRemoteConnectionMaker FakeRemoteMaker(const std::shared_ptr<TFakeRemoteTree>& ATree);
