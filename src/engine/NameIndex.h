#pragma once
// Name lookups for the transfer functions. A level compares every local entry with the
// remote listing and back; hash maps keep that linear in the two counts while answering
// "the first entry of that name" exactly as a search in list order would.

#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Text.h"  // LowerAscii: the keys of names compared without regard to case

// Maps each name to the positions where it occurs, in ascending order.
class TNameIndex {
 public:
  void Add(const std::string& name, size_t position) { FPositions[name].push_back(position); }
  bool Contains(const std::string& name) const { return FPositions.count(name) != 0; }
  // Every position of the name in list order; empty when there is none.
  const std::vector<size_t>& Positions(const std::string& name) const;

 private:
  std::unordered_map<std::string, std::vector<size_t>> FPositions;
};
