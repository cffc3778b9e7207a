// The client against real servers started on 127.0.0.1 (pyftpdlib and vsftpd), each in
// passive and active mode: login, directory commands, transfers compared byte for byte,
// and listings parsed into the right names, kinds and sizes.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

#include "ftp/IdFTP.h"
#include "ftp/IdFTPList.h"
#include "support/FakeFtpServer.h"
#include "support/RealFtpServer.h"
#include "support/TempDir.h"

namespace {

using Kind = RealFtpServer::Kind;

std::string Join(const std::string& dir, const std::string& name) { return dir == "/" ? "/" + name : dir + "/" + name; }

class FtpRealServerTest : public ::testing::TestWithParam<std::tuple<Kind, bool>> {
 protected:
  void SetUp() override {
    kind_ = std::get<0>(GetParam());
    if (!RealFtpServer::available(kind_)) GTEST_SKIP() << RealFtpServer::name(kind_) << " is not installed";
    server_ = std::make_unique<RealFtpServer>(kind_, root_.path());
    ftp_.Host = server_->host();
    ftp_.Port = server_->port();
    ftp_.Username = server_->user();
    ftp_.Password = server_->password();
    ftp_.Passive = std::get<1>(GetParam());
    ftp_.ReadTimeout = 20000;
  }

  void Login() {
    try {
      ftp_.ConnectAndLogin(true, 10000);
      ftp_.ChangeDirectory(server_->home());  // a chrooted vsftpd starts above it
    } catch (const std::exception& e) {
      FAIL() << "login failed: " << e.what() << "\n" << server_->log();
    }
  }

  Kind kind_ = Kind::PyFtpdLib;
  TempDir root_;
  TempDir local_;
  std::unique_ptr<RealFtpServer> server_;
  TIdFTP ftp_;
};

TEST_P(FtpRealServerTest, LogsInAndRunsDirectoryCommands) {
  Login();
  ASSERT_TRUE(ftp_.IsConnected());
  EXPECT_EQ(ftp_.Greeting.NumericCode, 220);
  EXPECT_EQ(ftp_.LoginReply.NumericCode, 230);
  EXPECT_NE(ftp_.SystemDescription.find("UNIX"), std::string::npos) << ftp_.SystemDescription;
  EXPECT_EQ(ftp_.PrintWorkingDirectory(), server_->home());

  ftp_.MakeDirectory("sub dir");
  EXPECT_TRUE(std::filesystem::is_directory(root_.path() + "sub dir"));
  ftp_.ChangeDirectory("sub dir");
  EXPECT_EQ(ftp_.PrintWorkingDirectory(), Join(server_->home(), "sub dir"));
  ftp_.ChangeDirectory("..");
  ftp_.RemoveDirectory("sub dir");
  EXPECT_FALSE(std::filesystem::exists(root_.path() + "sub dir"));

  WriteTextFile(root_.path() + "gone.txt", "x");
  ftp_.DeleteFile("gone.txt");
  EXPECT_FALSE(std::filesystem::exists(root_.path() + "gone.txt"));

  try {
    ftp_.ChangeDirectory("no-such-dir");
    FAIL() << "CWD into a missing directory succeeded";
  } catch (const EIdProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode, 550);
  }
  ftp_.SetBinaryMode();  // already binary: nothing is sent
  ftp_.Disconnect();
  EXPECT_FALSE(ftp_.IsConnected());
}

TEST_P(FtpRealServerTest, UploadsAndDownloadsByteForByte) {
  Login();
  const std::map<std::string, int64_t> sizes = {{"empty.bin", 0}, {"small.txt", 11}, {"big.bin", 5 * 1024 * 1024 + 7}};
  for (const auto& [name, size] : sizes) {
    SCOPED_TRACE(name);
    const std::string content = FakeFtpServer::Pattern(size);
    WriteTextFile(local_.path() + name, content);
    int64_t lastWork = -1, workMax = -1;
    int begins = 0, ends = 0;
    ftp_.OnWorkBegin = [&](TIdComponent*, TWorkMode mode, int64_t max) {
      ++begins;
      if (mode == WorkWrite) workMax = max;
    };
    ftp_.OnWork = [&](TIdComponent*, TWorkMode, int64_t count) { lastWork = count; };
    ftp_.OnWorkEnd = [&](TIdComponent*, TWorkMode) { ++ends; };
    ftp_.PutFile(local_.path() + name, name);
    EXPECT_EQ(ReadTextFile(root_.path() + name), content);
    EXPECT_EQ(workMax, size);
    EXPECT_EQ(begins, 1);
    EXPECT_EQ(ends, 1);
    if (size > 0) {
      EXPECT_EQ(lastWork, size);
    }

    const std::string back = local_.path() + "back-" + name;
    lastWork = -1;
    ftp_.GetFile(name, back, false, false);
    EXPECT_EQ(ReadTextFile(back), content);
    EXPECT_TRUE(std::filesystem::exists(back));
    if (size > 0) {
      EXPECT_EQ(lastWork, size);
    }
    EXPECT_EQ(begins, 2);
    EXPECT_EQ(ends, 2);
    // Overwriting an existing local file replaces it whole.
    WriteTextFile(back, std::string(100, 'z'));
    ftp_.GetFile(name, back, true, false);
    EXPECT_EQ(ReadTextFile(back), content);
  }
  // No temporary file is left beside the targets.
  for (const auto& entry : std::filesystem::directory_iterator(local_.path()))
    EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
}

TEST_P(FtpRealServerTest, ListsIntoNamesKindsAndSizes) {
  Login();
  std::filesystem::create_directory(root_.path() + "folder");
  WriteTextFile(root_.path() + "a.txt", std::string(1234, 'a'));
  WriteTextFile(root_.path() + "with blank.bin", std::string(5, 'b'));
  WriteTextFile(root_.path() + "folder/inner.txt", "in");
  ftp_.ListDirectory("");
  std::map<std::string, std::pair<TIdDirItemType, int64_t>> seen;
  for (const TIdFTPListItem& item : ftp_.ListingItems()) seen[item.ItemName] = {item.ItemKind, item.ItemSize};
  ASSERT_EQ(seen.count("folder"), 1u) << ftp_.ListingText();
  EXPECT_EQ(seen["folder"].first, ikDirectory);
  EXPECT_EQ(seen["a.txt"], std::make_pair(ikFile, int64_t{1234}));
  EXPECT_EQ(seen["with blank.bin"], std::make_pair(ikFile, int64_t{5}));
  EXPECT_EQ(seen.size(), 3u) << ftp_.ListingText();

  std::vector<std::string> lines;
  ftp_.ListDirectory(&lines, "folder", true);
  ASSERT_EQ(ftp_.ListingItems().Count(), 1) << ftp_.ListingText();
  EXPECT_EQ(ftp_.ListingItems()[0].ItemName, "inner.txt");
  EXPECT_EQ(lines.size(), 1u);

  EXPECT_TRUE(ftp_.IsConnected());
  EXPECT_EQ(ftp_.PrintWorkingDirectory(), server_->home());
}

TEST_P(FtpRealServerTest, RefusedFetchLeavesTheLocalFileAlone) {
  Login();
  const std::string local = local_.path() + "keep.txt";
  WriteTextFile(local, "precious");
  EXPECT_THROW(ftp_.GetFile("missing.txt", local, true, false), EIdProtocolReplyError);
  EXPECT_EQ(ReadTextFile(local), "precious");
  EXPECT_THROW(ftp_.GetFile("missing.txt", local_.path() + "new.txt", true, false), EIdProtocolReplyError);
  EXPECT_FALSE(std::filesystem::exists(local_.path() + "new.txt"));
  // The control connection is still in step.
  EXPECT_EQ(ftp_.PrintWorkingDirectory(), server_->home());
}

TEST_P(FtpRealServerTest, FetchesWithTheNextPassiveRequestSentAhead) {
  ftp_.PassiveAhead = true;
  Login();
  for (const char* name : {"a.bin", "b.bin", "c.bin"})
    WriteTextFile(root_.path() + name, FakeFtpServer::Pattern(70000));
  // Fetch after fetch, then commands that do not take the offer: each still gets its own reply.
  for (const char* name : {"a.bin", "b.bin", "c.bin"}) {
    ftp_.GetFile(name, local_.path() + name, false, false);
    EXPECT_EQ(ReadTextFile(local_.path() + name), FakeFtpServer::Pattern(70000)) << name;
  }
  EXPECT_EQ(ftp_.PrintWorkingDirectory(), server_->home());
  ftp_.GetFile("a.bin", local_.path() + "again.bin", false, false);
  EXPECT_THROW(ftp_.GetFile("missing.bin", local_.path() + "missing.bin", false, false), EIdProtocolReplyError);
  ftp_.ListDirectory("", true);
  EXPECT_EQ(ftp_.ListingItems().Count(), 3);
  ftp_.ChangeDirectory("..");
  EXPECT_EQ(ReadTextFile(local_.path() + "again.bin"), FakeFtpServer::Pattern(70000));
}

std::string ParamName(const ::testing::TestParamInfo<std::tuple<Kind, bool>>& info) {
  return std::string(RealFtpServer::name(std::get<0>(info.param))) + (std::get<1>(info.param) ? "_passive" : "_active");
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpRealServerTest,
                         ::testing::Combine(::testing::Values(Kind::PyFtpdLib, Kind::Vsftpd), ::testing::Bool()),
                         ParamName);

}  // namespace
