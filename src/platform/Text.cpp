#include "platform/Text.h"

#include <algorithm>

namespace {

template <typename TIsTrimmed>
std::string_view TrimWhere(std::string_view text, TIsTrimmed isTrimmed) {
  size_t begin = 0, end = text.size();
  while (begin < end && isTrimmed(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && isTrimmed(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

}  // namespace

std::string LowerAscii(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) c = LowerAsciiChar(c);
  return lowered;
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return LowerAsciiChar(x) == LowerAsciiChar(y); });
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && SameTextIgnoringCase(text.substr(0, prefix.size()), prefix);
}

std::string_view TrimBlanksAndControls(std::string_view text) {
  return TrimWhere(text, [](unsigned char c) { return c <= 0x20; });
}

std::string_view TrimControls(std::string_view text) {
  return TrimWhere(text, [](unsigned char c) { return c < 0x20; });
}

std::string_view TrimSpacesAndTabs(std::string_view text) {
  return TrimWhere(text, [](unsigned char c) { return c == ' ' || c == '\t'; });
}

std::string_view TrimSpaces(std::string_view text) {
  return TrimWhere(text, [](unsigned char c) { return c == ' '; });
}

std::string WithTrailingSlash(std::string_view path) {
  std::string result;
  result.reserve(path.size() + 1);
  result = path;
  if (result.empty() || result.back() != '/') result += '/';
  return result;
}

std::string WithoutTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return std::string(path);
}

std::string OnOneLine(std::string_view text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') {
      result += text[i];
      continue;
    }
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    result += ' ';
  }
  return result;
}
