// The command-line reader: arguments split at NUL bytes. Every argument is an option (whole,
// A-Z folded) or a session name kept unchanged in order, forced exactly when the next
// argument is "/force".

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "engine/NameIndex.h"
#include "ui/CommandLine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFuzzInput input(data, size);
  std::vector<std::string> arguments;
  while (!input.Empty()) arguments.push_back(input.Piece('\0'));

  const TCommandLine line = ReadCommandLine(arguments);
  size_t named = 0;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string option = LowerAscii(arguments[i]);
    if (option == "/exit" || option == "/start" || option == "/hide" || option == "/log" || option == "/force" ||
        option == "/list")
      continue;
    FUZZ_CHECK(named < line.CommandSessions.size());
    FUZZ_CHECK(line.CommandSessions[named].SessionName == arguments[i]);
    const bool forced = i + 1 < arguments.size() && LowerAscii(arguments[i + 1]) == "/force";
    FUZZ_CHECK(line.CommandSessions[named].Force == forced);
    ++named;
  }
  FUZZ_CHECK(named == line.CommandSessions.size());
  return 0;
}
