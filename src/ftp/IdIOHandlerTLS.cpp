#include "ftp/IdIOHandlerTLS.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>

#include "ftp/IdException.h"
#include "platform/Socket.h"

namespace {

// OpenSSL reads and writes through a BIO whose data is the TLS stream; the BIO hands every
// byte to the inner stream. Blocking as the inner stream is; a time-out is reported as a
// retry so that OpenSSL keeps its state and the call can be made again.

int BridgeWrite(BIO* ABio, const char* AData, size_t ALength, size_t* AWritten) {
  auto* stream = static_cast<TIdIOHandlerTLS*>(BIO_get_data(ABio));
  BIO_clear_retry_flags(ABio);
  const int rc = stream->InnerSend(AData, ALength);
  if (rc == kSocketTimedOut) BIO_set_retry_write(ABio);
  if (rc != 0) return 0;
  *AWritten = ALength;
  return 1;
}

int BridgeRead(BIO* ABio, char* ABuffer, size_t ALength, size_t* AReceived) {
  auto* stream = static_cast<TIdIOHandlerTLS*>(BIO_get_data(ABio));
  BIO_clear_retry_flags(ABio);
  size_t received = 0;
  const int rc = stream->InnerReceive(ABuffer, ALength, received);
  if (rc == kSocketTimedOut) BIO_set_retry_read(ABio);
  if (rc != 0 || received == 0) return 0;
  *AReceived = received;
  return 1;
}

long BridgeControl(BIO*, int ACommand, long, void*) { return ACommand == BIO_CTRL_FLUSH ? 1 : 0; }

int BridgeCreate(BIO* ABio) {
  BIO_set_init(ABio, 1);
  return 1;
}

const BIO_METHOD* BridgeMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "stream bridge");
    BIO_meth_set_write_ex(m, BridgeWrite);
    BIO_meth_set_read_ex(m, BridgeRead);
    BIO_meth_set_ctrl(m, BridgeControl);
    BIO_meth_set_create(m, BridgeCreate);
    return m;
  }();
  return method;
}

// The most telling reason OpenSSL queued for the last failure.
std::string OpenSSLReason() {
  unsigned long error = ERR_peek_last_error();
  const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
  return reason ? reason : "protocol error";
}

}  // namespace

TIdIOHandlerTLS::TIdIOHandlerTLS(std::unique_ptr<TIdIOHandlerSocket> AInner, ssl_st* ASSL)
    : FInner(std::move(AInner)), FSSL(ASSL) {
  BIO* bio = BIO_new(BridgeMethod());
  BIO_set_data(bio, this);
  SSL_set_bio(FSSL, bio, bio);  // the SSL owns the BIO
}

TIdIOHandlerTLS::~TIdIOHandlerTLS() {
  SSL_free(FSSL);
  FInner.reset();
}

void TIdIOHandlerTLS::Open(const std::string&, int, const std::string&, int, int) { throw EIdAlreadyConnected(); }

int TIdIOHandlerTLS::InnerReceive(char* ABuffer, size_t ALength, size_t& AReceived) {
  const int rc = FInner->Receive(ABuffer, ALength, FTimeoutMs, AReceived);
  if (rc != 0)
    FInnerError = rc;
  else if (AReceived == 0)
    FInnerEnded = true;
  return rc;
}

int TIdIOHandlerTLS::InnerSend(const char* AData, size_t ALength) {
  const int rc = FInner->Send(AData, ALength, FTimeoutMs);
  if (rc != 0) FInnerError = rc;
  return rc;
}

int TIdIOHandlerTLS::FailureCode(int ASSLResult) {
  const int error = SSL_get_error(FSSL, ASSLResult);
  if (FInnerError != 0) return FInnerError;
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return kSocketTimedOut;
  // A hang-up without the closing alert may be a cut made by someone in between, so it
  // is no end of the data: it fails like a reset. Anything else broke the protocol.
  return FInnerEnded ? WSAECONNRESET : WSAECONNABORTED;
}

std::string TIdIOHandlerTLS::Handshake(int ATimeoutMs) {
  FTimeoutMs = ATimeoutMs;
  FInnerError = 0;
  ERR_clear_error();
  const int result = SSL_connect(FSSL);
  if (result == 1) return std::string();
  const int code = FailureCode(result);
  if (code == kSocketTimedOut) return "the server did not answer in time";
  if (FInnerError != 0) return SocketErrorText(code);
  if (FInnerEnded && ERR_peek_last_error() == 0) return "the server closed the connection";
  return OpenSSLReason();
}

int TIdIOHandlerTLS::WaitReadable(int ATimeoutMs) {
  if (SSL_has_pending(FSSL)) return 0;
  return FInner->WaitReadable(ATimeoutMs);
}

int TIdIOHandlerTLS::Receive(char* ABuffer, size_t ALength, int ATimeoutMs, size_t& AReceived) {
  AReceived = 0;
  if (!Connected()) return WSAENOTSOCK;
  FTimeoutMs = ATimeoutMs;
  FInnerError = 0;
  ERR_clear_error();
  const int result = SSL_read_ex(FSSL, ABuffer, ALength, &AReceived);
  if (result == 1) return 0;
  AReceived = 0;
  if (SSL_get_error(FSSL, result) == SSL_ERROR_ZERO_RETURN) return 0;  // close_notify
  return FailureCode(result);
}

int TIdIOHandlerTLS::Send(const char* AData, size_t ALength, int ATimeoutMs) {
  if (!Connected()) return WSAENOTSOCK;
  if (ALength == 0) return 0;
  FTimeoutMs = ATimeoutMs;
  FInnerError = 0;
  ERR_clear_error();
  size_t written = 0;
  const int result = SSL_write_ex(FSSL, AData, ALength, &written);
  return result == 1 ? 0 : FailureCode(result);
}

int TIdIOHandlerTLS::Finish(int ATimeoutMs) {
  if (!Connected()) return WSAENOTSOCK;
  if (SSL_get_shutdown(FSSL) & SSL_SENT_SHUTDOWN) return 0;
  FTimeoutMs = ATimeoutMs;
  FInnerError = 0;
  ERR_clear_error();
  const int result = SSL_shutdown(FSSL);
  if (result < 0) return FailureCode(result);
  if (result == 1) return 0;  // the peer had closed already
  AwaitPeerClose(ATimeoutMs);
  return 0;
}

void TIdIOHandlerTLS::AwaitPeerClose(int ATimeoutMs) {
  // Long enough for a server that first writes the file out; a server that waits for the
  // hang-up instead costs no more than this per connection.
  constexpr int kLongestWaitMs = 2000;
  const int limit = ATimeoutMs > 0 ? std::min(ATimeoutMs, kLongestWaitMs) : kLongestWaitMs;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
  char scrap[4096];
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    FTimeoutMs = static_cast<int>(left.count());
    FInnerError = 0;
    ERR_clear_error();
    size_t received = 0;
    if (SSL_read_ex(FSSL, scrap, sizeof scrap, &received) != 1) return;
  }
}
