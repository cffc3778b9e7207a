// The CRC store reader and the store's indexes. Any text parses; the entries written back
// parse to the same entries; and a sequence of updates, removals and lookups on a store
// gives what a plain list searched from its start gives.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "engine/CrcStore.h"
#include "engine/NameIndex.h"

namespace {

bool SameEntries(const std::vector<TFileCRC>& a, const std::vector<TFileCRC>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].FileName != b[i].FileName || a[i].Crc != b[i].Crc) return false;
  return true;
}

// The reference: a list searched from its start, as the store behaves without its indexes.
struct TPlainStore {
  std::vector<TFileCRC> Entries;

  std::vector<TFileCRC>::iterator Exact(const std::string& path) {
    for (auto it = Entries.begin(); it != Entries.end(); ++it)
      if (it->FileName == path) return it;
    return Entries.end();
  }
  void Update(const std::string& path, int32_t crc) {
    auto it = Exact(path);
    if (it == Entries.end())
      Entries.push_back({path, crc});
    else
      it->Crc = crc;
  }
  void Remove(const std::string& path) {
    auto it = Exact(path);
    if (it != Entries.end()) Entries.erase(it);
  }
  std::optional<int32_t> Lookup(const std::string& path) const {
    for (const TFileCRC& entry : Entries)
      if (entry.FileName == path) return entry.Crc;
    for (const TFileCRC& entry : Entries)
      if (LowerAscii(entry.FileName) == LowerAscii(path)) return entry.Crc;
    return std::nullopt;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFuzzInput input(data, size);
  const std::string text = input.Piece('\0');
  const std::vector<TFileCRC> entries = ParseCrcFile(text);
  FUZZ_CHECK(SameEntries(ParseCrcFile(FormatCrcFile(entries)), entries));

  TCrcStore store;
  TPlainStore plain;
  for (const TFileCRC& entry : entries) {
    store.Append(entry.FileName, entry.Crc);
    plain.Entries.push_back(entry);
  }
  // Then operations: one byte for the kind and the CRC, a name up to the next NUL.
  while (!input.Empty()) {
    const uint8_t operation = input.Byte();
    const std::string path = input.Piece('\0');
    const int32_t crc = static_cast<int32_t>(static_cast<uint32_t>(operation) * 16777259u);
    switch (operation % 3) {
      case 0:
        store.UpdateCrc(path, crc);
        plain.Update(path, crc);
        break;
      case 1:
        store.RemoveCrc(path);
        plain.Remove(path);
        break;
      default: FUZZ_CHECK(store.LookupCrc(path) == plain.Lookup(path)); break;
    }
    FUZZ_CHECK(store.Count() == plain.Entries.size());
  }
  FUZZ_CHECK(SameEntries(store.Entries(), plain.Entries));
  return 0;
}
