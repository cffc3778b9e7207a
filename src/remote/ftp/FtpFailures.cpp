// The FTP client's failures in the remote layer's terms: one table of reply codes, and the
// client's exception classes.

#include <cerrno>
#include <string_view>

#include "platform/FileSystem.h"
#include "platform/Text.h"
#include "remote/ftp/FtpConnection.h"

namespace {

struct TReplyKind {
  int Code;
  const char* Says;  // the reply's text must hold this; nullptr: any text
  TRemoteFailure Kind;
};

// Codes not listed: any other 4xx is a refusal for now, any other 5xx one for good, and
// anything else (a reply without a code, a positive one where none belongs) makes no sense.
constexpr TReplyKind kReplyKinds[] = {
    {421, nullptr, TRemoteFailure::ConnectionLost},  // the server closes the control connection
    {425, nullptr, TRemoteFailure::ConnectionLost},  // the data connection could not be made
    {426, nullptr, TRemoteFailure::ConnectionLost},  // the data connection broke off
    {452, nullptr, TRemoteFailure::NoSpace},
    {552, nullptr, TRemoteFailure::NoSpace},
    {550, "File exists", TRemoteFailure::AlreadyExists},  // MKD of a directory that is there
    {550, nullptr, TRemoteFailure::NotFound},             // also most other refusals concerning one file
};

TRemoteFailure ReplyKind(const EIdProtocolReplyError& AReply) {
  const std::string_view text = AReply.what();
  for (const TReplyKind& row : kReplyKinds) {
    if (row.Code == AReply.ReplyCode && (row.Says == nullptr || text.find(row.Says) != std::string_view::npos))
      return row.Kind;
  }
  if (AReply.ReplyCode >= 400 && AReply.ReplyCode < 500) return TRemoteFailure::RefusedForNow;
  if (AReply.ReplyCode >= 500 && AReply.ReplyCode < 600) return TRemoteFailure::Refused;
  return TRemoteFailure::ProtocolError;
}

bool LosesTheConnection(const EIdException& AError) {
  return dynamic_cast<const EIdSocketError*>(&AError) != nullptr ||
         dynamic_cast<const EIdConnClosedGracefully*>(&AError) != nullptr ||
         dynamic_cast<const EIdReadTimeout*>(&AError) != nullptr ||
         dynamic_cast<const EIdConnectTimeout*>(&AError) != nullptr ||
         dynamic_cast<const EIdConnectException*>(&AError) != nullptr ||
         dynamic_cast<const EIdNotConnected*>(&AError) != nullptr;
}

}  // namespace

TRemoteFailure FtpFailureKind(const EIdException& AError, bool ACut) {
  if (const auto* reply = dynamic_cast<const EIdProtocolReplyError*>(&AError)) return ReplyKind(*reply);
  if (LosesTheConnection(AError)) return ACut ? TRemoteFailure::Cancelled : TRemoteFailure::ConnectionLost;
  if (const auto* local = dynamic_cast<const EIdFileError*>(&AError))
    return IsNoSpaceError(local->Error) ? TRemoteFailure::NoSpace : TRemoteFailure::LocalFile;
  if (dynamic_cast<const EIdFTPFileAlreadyExists*>(&AError) != nullptr) return TRemoteFailure::LocalFile;
  if (dynamic_cast<const EIdTLSError*>(&AError) != nullptr) return TRemoteFailure::Refused;
  return TRemoteFailure::ProtocolError;
}

std::string FtpFailureText(const std::exception& AError) {
  // Reply and socket texts come with line ends; a report and a log row are one line.
  if (const auto* reply = dynamic_cast<const EIdProtocolReplyError*>(&AError))
    return std::to_string(reply->ReplyCode) + " " + OnOneLine(reply->what());
  return OnOneLine(AError.what());
}
