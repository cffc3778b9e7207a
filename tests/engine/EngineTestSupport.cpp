#include "EngineTestSupport.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include "platform/FileSystem.h"

std::ostream& operator<<(std::ostream& out, const TReport& report) {
  return out << "{" << report.Connection << " | " << report.Function << " | " << report.Status << "}";
}

void WriteFile(const std::string& path, const std::string& content) {
  ForceDirectories(ExtractFilePath(path));
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << content;
  if (!file) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read " + path);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

void MakeTree(const std::string& root, const TTree& tree) {
  for (const auto& [path, content] : tree) {
    if (!path.empty() && path.back() == '/') {
      ForceDirectories(root + path);
    } else {
      WriteFile(root + path, content);
    }
  }
}

namespace {

void ReadTreeInto(const std::string& root, const std::string& relative, TTree& tree) {
  for (const TSearchRec& entry : FindFiles(root + relative, "*")) {
    if (entry.Name == "." || entry.Name == "..") continue;
    if (entry.IsSymLink) {
      tree[relative + entry.Name] = "-> " + std::filesystem::read_symlink(root + relative + entry.Name).string();
    } else if (entry.IsSpecial) {
      tree[relative + entry.Name] = "<special>";
    } else if ((entry.Attr & faDirectory) != 0) {
      tree[relative + entry.Name + "/"] = "";
      ReadTreeInto(root, relative + entry.Name + "/", tree);
    } else {
      tree[relative + entry.Name] = ReadFile(root + relative + entry.Name);
    }
  }
}

}  // namespace

TTree ReadTree(const std::string& root) {
  TTree tree;
  ReadTreeInto(root, "", tree);
  return tree;
}

TTree operator+(TTree tree, const TTree& more) {
  tree.insert(more.begin(), more.end());
  return tree;
}

TTree Files(const std::string& directory, int count, const std::string& suffix) {
  TTree tree{{directory, ""}};
  for (int i = 0; i < count; ++i) tree[directory + "f" + std::to_string(100 + i).substr(1) + suffix] = "x";
  return tree;
}

void SetMode(const std::string& path, unsigned mode) {
  if (::chmod(path.c_str(), mode) != 0) throw std::runtime_error("chmod " + path);
}

std::vector<std::string> LogBody(const std::string& testLogText) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < testLogText.size()) {
    size_t end = testLogText.find("\r\n", start);
    if (end == std::string::npos) end = testLogText.size();
    std::string line = testLogText.substr(start, end - start);
    // "hh:nn:ss:zzz" and two blanks; continuation lines of a multi-line entry have none.
    if (line.size() >= 14 && line[2] == ':' && line[5] == ':' && line[8] == ':' && line.compare(12, 2, "  ") == 0) {
      line = line.substr(14);
    }
    lines.push_back(line);
    start = end + 2;
  }
  return lines;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  for (const std::string& each : lines) {
    if (each == line) return true;
  }
  return false;
}

bool Reported(const std::vector<TReport>& reports, const std::string& function, const std::string& status) {
  for (const TReport& report : reports) {
    if (report.Function == function && report.Status == status) return true;
  }
  return false;
}

TRunRecorder::TRunRecorder() { InstallMainThreadDispatcher(&FDispatcher); }

TRunRecorder::~TRunRecorder() { InstallMainThreadDispatcher(nullptr); }

std::unique_ptr<TSessionThread> TRunRecorder::NewRun(const TRunSettings& settings) {
  auto run = std::make_unique<TSessionThread>(settings);
  run->OnStatusReport = [this](const std::string& c, const std::string& f, const std::string& s) {
    Reports.push_back({c, f, s});
    ReportedOnMainThread.push_back(FDispatcher.IsMainThread());
  };
  return run;
}

void TRunRecorder::RunAsWorker(TSessionThread& run) {
  run.Start();
  run.WaitFor();
}
