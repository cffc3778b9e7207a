// The FTP backend's failures in the remote layer's terms: which kind each reply code and each
// exception of the FTP client becomes, and the text reports show of it.

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <memory>

#include "remote/ftp/FtpConnection.h"

namespace {

struct KindRow {
  const char* label;
  std::function<std::unique_ptr<EIdException>()> make;
  TRemoteFailure kind;
  const char* text;
};

std::unique_ptr<EIdException> Reply(int code, const char* message) {
  return std::make_unique<EIdProtocolReplyError>(code, message);
}

TEST(FtpFailureKind, RepliesAndExceptionsMapToOneKindEach) {
  using K = TRemoteFailure;
  const KindRow rows[] = {
      {"421 closes the connection", [] { return Reply(421, "Bye"); }, K::ConnectionLost, "421 Bye"},
      {"425 no data connection", [] { return Reply(425, "No data"); }, K::ConnectionLost, "425 No data"},
      {"426 data connection broke", [] { return Reply(426, "Aborted"); }, K::ConnectionLost, "426 Aborted"},
      {"452 no space", [] { return Reply(452, "Full"); }, K::NoSpace, "452 Full"},
      {"552 no space", [] { return Reply(552, "Quota"); }, K::NoSpace, "552 Quota"},
      {"550 missing", [] { return Reply(550, "No such file"); }, K::NotFound, "550 No such file"},
      {"550 to MKD of an existing one", [] { return Reply(550, "a: File exists"); }, K::AlreadyExists,
       "550 a: File exists"},
      {"other 4xx", [] { return Reply(450, "Busy"); }, K::RefusedForNow, "450 Busy"},
      {"other 5xx", [] { return Reply(530, "Login incorrect."); }, K::Refused, "530 Login incorrect."},
      {"no code", [] { return Reply(0, "garbage"); }, K::ProtocolError, "0 garbage"},
      {"socket error", [] { return std::make_unique<EIdSocketError>(10054); }, K::ConnectionLost,
       "Socket Error # 10054 Connection reset by peer."},
      {"hang-up", [] { return std::make_unique<EIdConnClosedGracefully>(); }, K::ConnectionLost,
       "Connection Closed Gracefully."},
      {"read time-out", [] { return std::make_unique<EIdReadTimeout>(); }, K::ConnectionLost, "Read Timeout"},
      {"connect time-out", [] { return std::make_unique<EIdConnectTimeout>(); }, K::ConnectionLost,
       "Connect timed out."},
      {"connect refused", [] { return std::make_unique<EIdConnectException>("refused"); }, K::ConnectionLost,
       "refused"},
      {"not connected", [] { return std::make_unique<EIdNotConnected>(); }, K::ConnectionLost, "Not Connected"},
      {"local disk full", [] { return std::make_unique<EIdFileError>("Disk full", ENOSPC); }, K::NoSpace, "Disk full"},
      {"local file refused", [] { return std::make_unique<EIdFileError>("Denied", EACCES); }, K::LocalFile, "Denied"},
      {"local file exists", [] { return std::make_unique<EIdFTPFileAlreadyExists>(); }, K::LocalFile,
       "Destination file already exists."},
      {"size mismatch", [] { return std::make_unique<EIdFTPSizeMismatch>("a", 10, 9); }, K::ProtocolError,
       "Size mismatch: a listed 10 bytes, received 9"},
      {"TLS refused", [] { return std::make_unique<EIdTLSError>("TLS refused by server: 500"); }, K::Refused,
       "TLS refused by server: 500"},
      {"line break in an argument", [] { return std::make_unique<EIdInvalidCommandArgument>(); }, K::ProtocolError,
       nullptr},
      {"listing too large", [] { return std::make_unique<EIdFTPListingTooLarge>(); }, K::ProtocolError,
       "Directory listing too large."},
  };
  for (const KindRow& row : rows) {
    SCOPED_TRACE(row.label);
    const std::unique_ptr<EIdException> error = row.make();
    EXPECT_EQ(FtpFailureKind(*error), row.kind);
    EXPECT_EQ(FtpFailureText(*error), row.text ? std::string(row.text) : std::string(error->what()));
  }
}

TEST(FtpFailureKind, ABrokenSocketOfACutConnectionIsACancellation) {
  EXPECT_EQ(FtpFailureKind(EIdSocketError(10004), true), TRemoteFailure::Cancelled);
  EXPECT_EQ(FtpFailureKind(EIdConnClosedGracefully(), true), TRemoteFailure::Cancelled);
  EXPECT_EQ(FtpFailureKind(EIdProtocolReplyError(550, "x"), true), TRemoteFailure::NotFound);
}

}  // namespace
