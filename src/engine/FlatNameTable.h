#pragma once
// A hash table from names to the position of an entry in a list its owner keeps, with open
// addressing: the cells are one flat array of (hash, position) pairs, probed in a line. A
// name is read from the owner's list only when a cell's hash matches, so a lookup in a table
// of a hundred thousand paths touches about two cache lines instead of a chain of nodes.
//
// TTraits gives `static size_t Hash(std::string_view)` and
// `static bool Equal(std::string_view, std::string_view)`; names that are Equal must have
// the same Hash. The owner passes `nameOf(position)` to read a stored entry's name.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

template <typename TTraits>
class TFlatNameTable {
 public:
  static constexpr size_t kNone = static_cast<size_t>(-1);

  size_t Count() const { return FCount; }

  void Clear() {
    FCells.clear();
    FCount = 0;
  }

  // Room for `count` names without growing.
  void Reserve(size_t count) {
    if (CapacityFor(count) > FCells.size()) Rehash(CapacityFor(count));
  }

  // The position stored for `name`, or kNone.
  template <typename TNameOf>
  size_t Find(std::string_view name, const TNameOf& nameOf) const {
    if (FCells.empty()) return kNone;
    const size_t cell = FindCell(name, TTraits::Hash(name), nameOf);
    return cell == kNone ? kNone : FCells[cell].Position;
  }

  // The stored position of `name`, to be read or changed, and whether it was just inserted
  // as `position`. The reference holds until the next insertion.
  template <typename TNameOf>
  std::pair<size_t&, bool> TryInsert(std::string_view name, size_t position, const TNameOf& nameOf) {
    if ((FCount + 1) * 2 > FCells.size()) Rehash(CapacityFor(FCount + 1));
    const size_t hash = TTraits::Hash(name);
    size_t cell = hash & Mask();
    for (; FCells[cell].Position != kNone; cell = (cell + 1) & Mask()) {
      if (FCells[cell].Hash == hash && TTraits::Equal(nameOf(FCells[cell].Position), name))
        return {FCells[cell].Position, false};
    }
    FCells[cell] = {hash, position};
    ++FCount;
    return {FCells[cell].Position, true};
  }

  // Removes `name`, if present. The cells after it in its probe line move back, so no
  // marker of the removal is left for later lookups to step over.
  template <typename TNameOf>
  void Erase(std::string_view name, const TNameOf& nameOf) {
    if (FCells.empty()) return;
    size_t hole = FindCell(name, TTraits::Hash(name), nameOf);
    if (hole == kNone) return;
    for (size_t next = (hole + 1) & Mask(); FCells[next].Position != kNone; next = (next + 1) & Mask()) {
      const size_t home = FCells[next].Hash & Mask();
      // The cell may fill the hole when its home is not in the stretch (hole, next].
      const bool homeAfterHole = hole < next ? (home > hole && home <= next) : (home > hole || home <= next);
      if (homeAfterHole) continue;
      FCells[hole] = FCells[next];
      hole = next;
    }
    FCells[hole] = TCell{};
    --FCount;
  }

 private:
  struct TCell {
    size_t Hash = 0;
    size_t Position = kNone;  // kNone: the cell is free
  };

  // At most half full: probe lines stay short.
  static size_t CapacityFor(size_t count) {
    size_t capacity = 16;
    while (capacity < count * 2) capacity *= 2;
    return capacity;
  }

  size_t Mask() const { return FCells.size() - 1; }

  template <typename TNameOf>
  size_t FindCell(std::string_view name, size_t hash, const TNameOf& nameOf) const {
    for (size_t cell = hash & Mask(); FCells[cell].Position != kNone; cell = (cell + 1) & Mask()) {
      if (FCells[cell].Hash == hash && TTraits::Equal(nameOf(FCells[cell].Position), name)) return cell;
    }
    return kNone;
  }

  void Rehash(size_t capacity) {
    std::vector<TCell> old(capacity);
    old.swap(FCells);
    for (const TCell& entry : old) {
      if (entry.Position == kNone) continue;
      size_t cell = entry.Hash & Mask();
      while (FCells[cell].Position != kNone) cell = (cell + 1) & Mask();
      FCells[cell] = entry;
    }
  }

  std::vector<TCell> FCells;
  size_t FCount = 0;
};
