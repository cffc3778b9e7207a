// The control connection's one reply reader, fed arbitrary server bytes through a socket
// pair: settings from the first bytes, then replies read until the bytes run out. Whatever
// the server sends, the reader returns replies or raises an EIdException, and never reads
// or holds more than it was given.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzInput.h"
#include "ftp/IdException.h"
#include "ftp/IdTCPConnection.h"
#include "platform/Socket.h"

namespace {

// More than a local socket buffer would block the writer, which is also the reader.
constexpr size_t kMaxFed = 64 * 1024;

class TFedConnection : public TIdTCPConnection {
 public:
  // Connects this connection to `server`, the end the fuzzer writes the reply bytes into.
  bool Attach(TSocket& server) { return CreateIOHandler().OpenPair(server) == 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFuzzInput input(data, size);
  const uint8_t lineSetting = input.Byte();
  const uint8_t bufferSetting = input.Byte();
  const uint8_t callSetting = input.Byte();
  std::string bytes = input.Rest();
  if (bytes.size() > kMaxFed) bytes.resize(kMaxFed);

  TFedConnection connection;
  // Small limits and tiny receives reach the line-length and buffer-boundary paths that
  // the defaults (16384 and 32768) reach only with large inputs.
  connection.MaxLineLength = (lineSetting & 0x80) ? 16384 : 1 + (lineSetting & 0x3F);
  connection.MaxLineAction = (lineSetting & 0x40) ? maSplit : maException;
  connection.RecvBufferSize = (bufferSetting & 0x80) ? 32768 : 1 + (bufferSetting & 0x1F);
  connection.ASCIIFilter = (bufferSetting & 0x40) != 0;
  connection.ReadTimeout = 1000;  // never reached: the server end is closed below
  TSocket server;
  if (!connection.Attach(server)) return 0;
  if (server.Send(bytes.data(), bytes.size(), 1000) != 0) return 0;
  server.Close();

  try {
    // Each call consumes at least one line or raises, so the loop ends with the input.
    for (size_t call = 0;; ++call) {
      if ((callSetting >> (call % 8)) & 1) {
        const std::string line = connection.ReadLn();
        FUZZ_CHECK(line.size() <= static_cast<size_t>(connection.MaxLineLength));
      } else {
        const int code = connection.GetResponse((callSetting & 0x80) ? std::initializer_list<int>{200, 226}
                                                                     : std::initializer_list<int>{});
        FUZZ_CHECK(code == connection.LastReply.NumericCode);
        FUZZ_CHECK(!connection.LastReply.Text.empty());
      }
    }
  } catch (const EIdException&) {
    // Every refusal of bad input is an EIdException; anything else escapes and is a finding.
  }
  return 0;
}
