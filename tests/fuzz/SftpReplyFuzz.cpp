// The SFTP client's side of the wire: what a server sends is cut into messages and read as
// replies to the client's requests. The first byte picks the reader: 0, the client itself
// (version, a listing and a download answered by the input); else one reply parser on
// whole messages. Nothing may read outside the input or hold more than a message's bound,
// and every refusal is an ESftpError.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzInput.h"
#include "remote/sftp/SftpClient.h"
#include "remote/sftp/SftpCodec.h"

namespace {

// Plays the server from the input: every read gets the next few bytes of it.
class TInputChannel : public sftp::TByteChannel {
 public:
  explicit TInputChannel(std::string bytes) : FBytes(std::move(bytes)) {}
  void Write(const uint8_t*, size_t) override {}
  size_t Read(uint8_t* buffer, size_t capacity) override {
    if (FPosition >= FBytes.size()) throw sftp::ESftpError(sftp::TFailure::ConnectionLost, "end of input");
    const size_t length = std::min({capacity, FBytes.size() - FPosition, size_t{4093}});
    std::copy_n(FBytes.data() + FPosition, length, buffer);
    FPosition += length;
    return length;
  }

 private:
  std::string FBytes;
  size_t FPosition = 0;
};

void RunClient(const std::string& bytes) {
  TInputChannel channel(bytes);
  sftp::TSftpClient client(channel);
  client.Start();
  FUZZ_CHECK(client.ReadBlockLength() <= sftp::MaxMessageLength && client.WriteBlockLength() <= sftp::MaxMessageLength);
  for (const sftp::TNameEntry& entry : client.ListDirectory("/")) FUZZ_CHECK(entry.Name != "." && entry.Name != "..");
  uint64_t received = 0;
  const uint64_t returned = client.Download(
      "/f", 0, 100000, [&](const uint8_t*, size_t length) { received += length; }, nullptr);
  FUZZ_CHECK(returned == received);
}

void ParseMessages(uint8_t which, const std::string& bytes) {
  sftp::TMessageAssembler assembler;
  assembler.Append(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  sftp::TReply reply;
  while (assembler.Next(reply)) {
    FUZZ_CHECK(reply.Body.size() < sftp::MaxMessageLength);
    switch (which % 6) {
      case 0: sftp::ParseVersion(reply.Body); break;
      case 1: sftp::ParseStatus(reply.Body); break;
      case 2: FUZZ_CHECK(sftp::ParseHandle(reply.Body).size() <= 256); break;
      case 3: FUZZ_CHECK(sftp::ParseData(reply.Body).size() <= reply.Body.size()); break;
      case 4: FUZZ_CHECK(sftp::ParseNames(reply.Body).size() <= reply.Body.size() / 12); break;
      default: sftp::ParseLimits(reply.Body); break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFuzzInput input(data, size);
  const uint8_t mode = input.Byte();
  try {
    if (mode == 0)
      RunClient(input.Rest());
    else
      ParseMessages(mode, input.Rest());
  } catch (const sftp::ESftpError&) {
    // a refusal of the input, as the client must give
  }
  return 0;
}
