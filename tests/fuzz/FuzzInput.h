#pragma once
// Reading a fuzzer's input: a few leading bytes choose settings, the rest is the text.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class TFuzzInput {
 public:
  TFuzzInput(const uint8_t* data, size_t size) : FData(data), FSize(size) {}

  // The next byte, or 0 once the input is used up.
  uint8_t Byte() { return FPosition < FSize ? FData[FPosition++] : 0; }
  // Everything not yet taken.
  std::string Rest() {
    std::string rest(reinterpret_cast<const char*>(FData) + FPosition, FSize - FPosition);
    FPosition = FSize;
    return rest;
  }
  // The next piece up to (not including) `separator`, which is skipped.
  std::string Piece(char separator) {
    const std::string_view rest(reinterpret_cast<const char*>(FData) + FPosition, FSize - FPosition);
    const size_t end = rest.find(separator);
    const std::string piece(rest.substr(0, end));
    FPosition += end == std::string_view::npos ? rest.size() : end + 1;
    return piece;
  }
  bool Empty() const { return FPosition >= FSize; }

 private:
  const uint8_t* FData;
  size_t FSize;
  size_t FPosition = 0;
};

// A property the code must keep; aborting turns a broken one into a finding.
#define FUZZ_CHECK(condition)           \
  do {                                  \
    if (!(condition)) __builtin_trap(); \
  } while (false)
