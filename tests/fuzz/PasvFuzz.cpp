// The PASV reply parser: any text gives an address and a port, or EIdInvalidPASVReply. An
// accepted reply holds a dotted address and a port from 1 to 65535, and the PORT argument
// made from them parses back to the same pair.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzInput.h"
#include "ftp/IdException.h"
#include "ftp/IdFTP.h"
#include "platform/Socket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string reply(reinterpret_cast<const char*>(data), size);
  std::string ip;
  int port = 0;
  try {
    TIdFTP::ParsePASV(reply, ip, port);
  } catch (const EIdInvalidPASVReply&) {
    return 0;
  }
  uint32_t address = 0;
  FUZZ_CHECK(ParseIPv4(ip, address));
  FUZZ_CHECK(port >= 1 && port <= 65535);
  std::string againIp;
  int againPort = 0;
  TIdFTP::ParsePASV("Entering Passive Mode (" + TIdFTP::MakePortArgument(ip, port) + ")", againIp, againPort);
  FUZZ_CHECK(againIp == ip && againPort == port);
  return 0;
}
