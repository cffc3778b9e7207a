#include "engine/NameIndex.h"

std::string LowerAscii(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered;
}

const std::vector<size_t>& TNameIndex::Positions(const std::string& name) const {
  static const std::vector<size_t> kNone;
  auto found = FPositions.find(name);
  return found == FPositions.end() ? kNone : found->second;
}
