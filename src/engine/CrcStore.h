#pragma once
// The CRC store: local file paths with the CRC-32 of their content when they were last sent,
// kept between runs of "synclocaltoremote" in a small text file in the state directory (ProgramDir.h).
//
// File format (8-bit text, CR LF line ends): two lines per entry, in store order, first the
// full local path, then the CRC-32 as a signed decimal 32-bit integer. No header, no count.
//
// Each run owns a store of its own, so overlapping runs never disturb each other's entries.
// A store is used by one thread at a time; the free functions may be called from any thread.

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/FlatNameTable.h"
#include "platform/FileHandle.h"

// One entry of the store.
struct TFileCRC {
  std::string FileName;  // full local path, exactly as the run built it
  int32_t Crc = 0;       // CRC-32 of the content; values from 80000000 hex on are negative
};

// The standard CRC-32 (zip, PNG) of a whole file, read in chunks so that any size works.
// 0 for a missing, unreadable or empty file. A read error after the file was opened throws
// EZephlin.
int32_t FileCrc32(const std::string& path);
// The same for `name` in an open directory (`directoryPath` is its path, for messages): the
// kernel then need not walk the whole path again for each file of a directory.
int32_t FileCrc32At(const TDirectoryHandle& directory, const std::string& directoryPath, const std::string& name);

// The size of a file in bytes; 0 when it cannot be read.
int64_t FileSizeOf(const std::string& path);

// The store's file text for the given entries (also used by the editor's preload).
std::string FormatCrcFile(const std::vector<TFileCRC>& entries);

// Entries read from the store's file text. A last name without its CRC line is dropped; a
// CRC line that is not a signed 32-bit decimal number gives 0.
std::vector<TFileCRC> ParseCrcFile(const std::string& text);

class TCrcStore {
 public:
  TCrcStore() = default;

  // Empties the store and fills it from the file; a missing file leaves it empty. A file
  // that exists but cannot be read throws EZephlin "Unable to read <path>".
  void Load(const std::string& path);
  // Writes the store to the file (atomically); an empty store leaves the file unchanged.
  void Save(const std::string& path) const;

  // Gives `path` its current CRC-32: the first entry named exactly `path` (letter case
  // counts) is updated, or a new entry is appended.
  void UpdateCrc(const std::string& path);
  // The same with a CRC already computed (taken before sending, so that a file changed while
  // it was sent counts as changed on the next run).
  void UpdateCrc(const std::string& path, int32_t crc);
  // Removes the first entry named exactly `path`, if any; later entries keep their order.
  void RemoveCrc(const std::string& path);
  // The CRC of the first entry named exactly `path`. When there is none, that of the first
  // entry whose name equals `path` without regard to the case of A-Z and is not the path of
  // a file of its own (`isLocalFile`, when given, tells): a store written when letter case
  // did not count still serves its files, while "a.txt" never takes the CRC of "A.txt"
  // beside it. Nothing when no entry matches (so a stored FFFFFFFF hex is not "no entry").
  using TIsLocalFile = std::function<bool(std::string_view path)>;
  std::optional<int32_t> LookupCrc(const std::string& path, const TIsLocalFile& isLocalFile = {}) const;

  void Clear();
  bool Empty() const { return FLiveCount == 0; }
  size_t Count() const { return FLiveCount; }
  // The live entries in store order.
  std::vector<TFileCRC> Entries() const;
  void Append(std::string path, int32_t crc);
  // Room for this many entries in the indexes, before a load.
  void Reserve(size_t count);

 private:
  // Entries are never moved (a deque keeps them in place as it grows), so the indexes need
  // only positions. A removed entry becomes a hole. Each index maps a name to its first entry;
  // entries sharing a name are chained in ascending order, so the first match is found in
  // constant time however large the store grows, and duplicates cost nothing until they
  // occur. The exact index serves updates and removals only: it is built on the first one,
  // and a run that changes nothing never needs it.
  static constexpr size_t kNoSlot = static_cast<size_t>(-1);
  struct TSlot {
    TFileCRC Entry;
    bool Removed = false;
    size_t NextExact = kNoSlot;     // the next entry of the same name
    size_t NextCaseless = kNoSlot;  // the next entry of the same name without regard to case
  };
  struct TExactTraits {
    static size_t Hash(std::string_view name);
    static bool Equal(std::string_view a, std::string_view b) { return a == b; }
  };
  struct TCaselessTraits {
    static size_t Hash(std::string_view name);
    static bool Equal(std::string_view a, std::string_view b);
  };
  using TExactIndex = TFlatNameTable<TExactTraits>;
  using TCaselessIndex = TFlatNameTable<TCaselessTraits>;

  template <typename TIndex>
  void Link(TIndex& index, size_t TSlot::*next, size_t position);
  template <typename TIndex>
  void Unlink(TIndex& index, size_t TSlot::*next, size_t position);
  void EnsureExactIndex();
  std::string_view NameAt(size_t position) const { return FSlots[position].Entry.FileName; }

  std::deque<TSlot> FSlots;
  TExactIndex FExact;
  bool FExactBuilt = false;
  TCaselessIndex FCaseless;
  size_t FLiveCount = 0;
};
