#include "engine/NameIndex.h"

const std::vector<size_t>& TNameIndex::Positions(const std::string& name) const {
  static const std::vector<size_t> kNone;
  auto found = FPositions.find(name);
  return found == FPositions.end() ? kNone : found->second;
}
