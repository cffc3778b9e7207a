// The settings file reader: any text loads; a key written into it reads back the same after
// the file's text is loaded again; stored passwords either unscramble or are refused, and a
// scrambled password always unscrambles to itself.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzInput.h"
#include "platform/ProfileFile.h"
#include "sessions/SessionsUnit.h"

namespace {

const char* const kKey = "fuzz";

// Section, key and value as the program writes them: no line break, no "=" in the key, no
// "]" in the section, no blanks or quotes around the value.
std::string Printable(std::string text, const char* banned) {
  std::string out;
  for (char c : text)
    if (static_cast<unsigned char>(c) > ' ' && c != '"' && c != '\'' &&
        std::string(banned).find(c) == std::string::npos)
      out += c;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFuzzInput input(data, size);
  const std::string section = Printable(input.Piece('\0'), "[];=");
  const std::string key = Printable(input.Piece('\0'), "[];=");
  const std::string value = Printable(input.Piece('\0'), "");
  const std::string text = input.Rest();

  TProfileFile file;
  file.LoadFromText(text);
  const std::string stored = file.ReadString(section, key, "");
  std::string plain;
  if (UnscrambleText(stored, kKey, plain)) FUZZ_CHECK(plain.size() * 4 == stored.size());

  if (!section.empty() && !key.empty()) {
    file.WriteString(section, key, value);
    TProfileFile again;
    again.LoadFromText(file.Text());
    FUZZ_CHECK(again.ReadString(section, key, "?") == value);
  }

  std::string back;
  FUZZ_CHECK(UnscrambleText(ScrambleText(value, kKey), kKey, back) && back == value);
  return 0;
}
