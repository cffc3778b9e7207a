#include "support/FakeRemote.h"

#include <atomic>
#include <fstream>
#include <sstream>

namespace {

std::string ReadLocal(const std::string& APath) {
  std::ifstream in(APath, std::ios::binary);
  if (!in) throw ERemoteError(TRemoteFailure::LocalFile, "Cannot open " + APath);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string ParentOf(const std::string& APath) {
  const size_t slash = APath.find_last_of('/');
  return slash == 0 || slash == std::string::npos ? std::string() : APath.substr(0, slash);
}

class TFakeRemote : public TRemoteConnection {
 public:
  explicit TFakeRemote(std::shared_ptr<TFakeRemoteTree> ATree)
      : FTree(std::move(ATree)), FNumber(++FTree->Connections) {}

  void Connect() override {
    Step("CONNECT");
    FConnected = true;
    FDirectory = "/";
    if (Events.OnConnected) Events.OnConnected();
    if (Events.OnLoggedIn) Events.OnLoggedIn();
  }
  bool Connected() const override { return FConnected; }
  void Disconnect() override {
    if (!FConnected) return;
    FConnected = false;
    if (Events.OnDisconnected) Events.OnDisconnected();
  }
  void Cut() noexcept override { FCut = true; }
  std::vector<std::string> LoginDescription() const override { return {"230 fake", "fake"}; }
  TRemoteIdentity ServerIdentity() const override { return {}; }
  TRemoteCapabilities Capabilities() override { return {FTree->ExactTimes, true, true, false, true}; }

  void ChangeDirectory(const std::string& ADirectory) override {
    Step("CWD " + ADirectory);
    const std::string path = Absolute(ADirectory);
    if (!IsDirectory(path)) throw ERemoteError(TRemoteFailure::NotFound, "550 No such directory", true);
    FDirectory = path.empty() ? "/" : path;
  }
  std::string WorkingDirectory() override {
    Step("PWD");
    return FDirectory;
  }
  TRemoteListing List(const TListRequest& ARequest) override;
  void MakeDirectory(const std::string& ADirectory) override {
    Step("MKD " + ADirectory);
    const std::string path = Absolute(ADirectory);
    std::lock_guard lock(FTree->Mutex);
    if (FTree->Nodes.contains(path)) throw ERemoteError(TRemoteFailure::AlreadyExists, "550 File exists", true);
    FTree->Nodes[path].Directory = true;
  }
  void RemoveDirectory(const std::string& ADirectory) override { Remove("RMD " + ADirectory, ADirectory, true); }
  void DeleteFile(const std::string& AName) override { Remove("DELE " + AName, AName, false); }
  void Send(const std::string& ALocalFile, const std::string& ARemoteName, int64_t) override;
  void Fetch(const TFetchRequest& ARequest) override;
  void RenameOver(const std::string& AFrom, const std::string& ATo) override {
    Step("RENAME " + AFrom + " " + ATo);
    std::lock_guard lock(FTree->Mutex);
    auto from = FTree->Nodes.find(Absolute(AFrom));
    if (from == FTree->Nodes.end()) throw ERemoteError(TRemoteFailure::NotFound, "550 No such file", true);
    TFakeRemoteTree::TNode node = from->second;
    FTree->Nodes.erase(from);
    FTree->Nodes[Absolute(ATo)] = node;
  }
  void SetTime(const std::string& AName, TDateTime AWhen) override {
    Step("MFMT " + AName);
    std::lock_guard lock(FTree->Mutex);
    FTree->Nodes[Absolute(AName)].Time = AWhen;
  }

 private:
  void Step(const std::string& ACall) {
    if (FCut) throw ERemoteError(TRemoteFailure::Cancelled, "Interrupted system call.");
    if (!FConnected && ACall != "CONNECT") throw ERemoteError(TRemoteFailure::ConnectionLost, "Not Connected");
    bool lost = false;
    try {
      FTree->Step(FNumber, ACall, lost);
    } catch (...) {
      if (lost) Disconnect();
      throw;
    }
  }
  std::string Absolute(const std::string& AName) const {
    std::string path = AName.starts_with('/') ? AName : (FDirectory == "/" ? "" : FDirectory) + "/" + AName;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path == "/" ? std::string() : path;
  }
  bool IsDirectory(const std::string& APath) const {
    std::lock_guard lock(FTree->Mutex);
    auto node = FTree->Nodes.find(APath);
    return APath.empty() || (node != FTree->Nodes.end() && node->second.Directory);
  }
  void Remove(const std::string& ACall, const std::string& AName, bool ADirectory) {
    Step(ACall);
    std::lock_guard lock(FTree->Mutex);
    auto node = FTree->Nodes.find(Absolute(AName));
    if (node == FTree->Nodes.end() || node->second.Directory != ADirectory)
      throw ERemoteError(TRemoteFailure::NotFound, "550 No such file or directory", true);
    FTree->Nodes.erase(node);
  }
  void Progress(TTransferDirection ADirection, int64_t ASize) {
    if (Events.OnWorkBegin) Events.OnWorkBegin(ADirection, ASize);
    if (Events.OnWork) Events.OnWork(ADirection, ASize);
    if (Events.OnWorkEnd) Events.OnWorkEnd(ADirection);
  }

  std::shared_ptr<TFakeRemoteTree> FTree;
  const int FNumber;
  std::string FDirectory = "/";
  bool FConnected = false;
  std::atomic<bool> FCut{false};
};

TRemoteListing TFakeRemote::List(const TListRequest& ARequest) {
  Step("LIST " + ARequest.Path);
  const std::string directory = Absolute(ARequest.Path.substr(0, ARequest.Path.find_last_of('/') + 1));
  TRemoteListing listing;
  listing.WholeDirectory = true;
  std::lock_guard lock(FTree->Mutex);
  const std::vector<TRemoteEntry>& odd = FTree->OddEntries[directory + "/"];
  for (const auto& [path, node] : FTree->Nodes) {
    if (ParentOf(path) != directory) continue;
    TRemoteEntry entry;
    entry.Name = path.substr(directory.size() + 1);
    entry.Kind = node.Directory ? TRemoteKind::Directory : TRemoteKind::File;
    entry.Size = static_cast<int64_t>(node.Content.size());
    entry.SizeKnown = !node.Directory;
    entry.Time = node.Time;
    entry.Precision = FTree->ExactTimes ? TTimePrecision::Second : TTimePrecision::Minute;
    entry.Rights = node.Directory && node.Rights == "rw-r--r--" ? "rwxr-xr-x" : node.Rights;
    bool replaced = false;
    for (const TRemoteEntry& other : odd) replaced |= other.Name == entry.Name;
    if (!replaced) listing.Add(entry);
  }
  for (const TRemoteEntry& other : odd) listing.Add(other);
  listing.UnreadLines = FTree->UnreadLines[directory + "/"];
  return listing;
}

void TFakeRemote::Send(const std::string& ALocalFile, const std::string& ARemoteName, int64_t) {
  Step("STOR " + ARemoteName);
  const std::string content = ReadLocal(ALocalFile);
  Progress(TTransferDirection::Sending, static_cast<int64_t>(content.size()));
  std::lock_guard lock(FTree->Mutex);
  TFakeRemoteTree::TNode& node = FTree->Nodes[Absolute(ARemoteName)];
  node.Content = content;
  node.Time = Now();
}

void TFakeRemote::Fetch(const TFetchRequest& ARequest) {
  Step("RETR " + ARequest.RemoteName);
  std::string content;
  {
    std::lock_guard lock(FTree->Mutex);
    auto node = FTree->Nodes.find(Absolute(ARequest.RemoteName));
    if (node == FTree->Nodes.end() || node->second.Directory)
      throw ERemoteError(TRemoteFailure::NotFound, "550 No such file", true);
    content = node->second.Content;
  }
  if (ARequest.ExpectedSize >= 0 && ARequest.ExpectedSize != static_cast<int64_t>(content.size()))
    throw ERemoteError(TRemoteFailure::ProtocolError, "Size mismatch: " + ARequest.RemoteName);
  Progress(TTransferDirection::Receiving, static_cast<int64_t>(content.size()));
  std::ofstream(ARequest.LocalFile, std::ios::binary | std::ios::trunc) << content;
  if (Events.OnFetched) Events.OnFetched(ARequest.LocalFile);
}

}  // namespace

void TFakeRemoteTree::AddFile(const std::string& APath, const std::string& AContent, TDateTime ATime) {
  std::lock_guard lock(Mutex);
  for (std::string up = ParentOf(APath); !up.empty(); up = ParentOf(up)) Nodes[up].Directory = true;
  TNode& node = Nodes[APath];
  node.Content = AContent;
  node.Time = ATime;
}

void TFakeRemoteTree::AddDirectory(const std::string& APath) {
  std::string path = APath;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::lock_guard lock(Mutex);
  for (std::string up = path; !up.empty(); up = ParentOf(up)) Nodes[up].Directory = true;
}

void TFakeRemoteTree::SetRights(const std::string& APath, const std::string& ARights) {
  std::lock_guard lock(Mutex);
  Nodes[APath].Rights = ARights;
}

std::string TFakeRemoteTree::Content(const std::string& APath) const {
  std::lock_guard lock(Mutex);
  auto node = Nodes.find(APath);
  if (node == Nodes.end()) return "<none>";
  return node->second.Directory ? "<dir>" : node->second.Content;
}

std::map<std::string, std::string> TFakeRemoteTree::Paths() const {
  std::lock_guard lock(Mutex);
  std::map<std::string, std::string> paths;
  for (const auto& [path, node] : Nodes) paths[node.Directory ? path + "/" : path] = node.Content;
  return paths;
}

void TFakeRemoteTree::FailStep(int AStep, TRemoteFailure AKind, const std::string& AText) {
  std::lock_guard lock(Mutex);
  FFaults[AStep] = {AKind, AText};
}

void TFakeRemoteTree::ListOddly(const std::string& ADirectory, const TRemoteEntry& AEntry) {
  std::lock_guard lock(Mutex);
  OddEntries[ADirectory].push_back(AEntry);
}

void TFakeRemoteTree::LeaveLinesUnread(const std::string& ADirectory, int ALines) {
  std::lock_guard lock(Mutex);
  UnreadLines[ADirectory] = ALines;
}

std::vector<std::string> TFakeRemoteTree::Calls() const {
  std::lock_guard lock(Mutex);
  return FCalls;
}

void TFakeRemoteTree::Step(int AConnection, const std::string& ACall, bool& ALost) {
  if (BeforeStep) BeforeStep(AConnection, ACall);
  std::lock_guard lock(Mutex);
  FCalls.push_back(ACall);
  auto fault = FFaults.find(++FSteps);
  if (fault == FFaults.end()) return;
  ALost = CostsTheConnection(fault->second.Kind);
  throw ERemoteError(fault->second.Kind, fault->second.Text, !ALost);
}

TRemoteConnectionMaker FakeRemoteMaker(const std::shared_ptr<TFakeRemoteTree>& ATree) {
  return [ATree](const TRemoteSettings&) -> std::unique_ptr<TRemoteConnection> {
    return std::make_unique<TFakeRemote>(ATree);
  };
}
