#include "engine/CrcStore.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <limits>

#include "engine/Crc32.h"
#include "platform/Errors.h"
#include "platform/FileHandle.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"

namespace {

// Large enough that the per-call cost vanishes, small enough to stay in cache.
constexpr size_t kCrcChunkSize = 1 << 20;

// A signed decimal 32-bit integer with an optional sign and nothing else; 0 otherwise.
int32_t ParseCrcText(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  int32_t value = 0;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end || text.empty()) return 0;
  return value;
}

// Lines ended by CR LF (or a bare LF); text after the last line end is a line too.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }
  return lines;
}

}  // namespace

int64_t FileSizeOf(const std::string& path) {
  int64_t size = GetFileSize(path);
  return size < 0 ? 0 : size;
}

namespace {

// The CRC-32 of an opened file's content; see FileCrc32. One open and one status query
// instead of separate existence and size checks: a sync run takes the CRC of every file it
// compares. The file's path, `directory` + `name`, is only put together for a message.
int32_t CrcOfOpenFile(TRegularFileReader& file, std::string_view directory, const std::string& name) {
  if (file.Size() == 0) return 0;
  // Small files, the common case of a sync run, get a buffer one byte larger than they are:
  // a read that stops short at the size the file had when opened has met its end, and no
  // second read is needed to learn that. A file that grew since fills the buffer and is
  // read on to its new end.
  const auto size = static_cast<uint64_t>(file.Size());
  std::vector<unsigned char> buffer(static_cast<size_t>(std::min<uint64_t>(size + 1, kCrcChunkSize)));
  uint32_t crc = 0;
  uint64_t total = 0;
  for (;;) {
    size_t got = 0;
    if (!file.Read(buffer.data(), buffer.size(), got))
      throw EZephlin("Unable to read " + std::string(directory) + name);
    if (got == 0) break;
    crc = Crc32Update(crc, buffer.data(), got);
    total += got;
    if (total == size && got < buffer.size()) break;
  }
  return static_cast<int32_t>(crc);
}

}  // namespace

int32_t FileCrc32(const std::string& path) {
  TRegularFileReader file;
  return file.Open(path) ? CrcOfOpenFile(file, {}, path) : 0;
}

int32_t FileCrc32At(const TDirectoryHandle& directory, const std::string& directoryPath, const std::string& name) {
  TRegularFileReader file;
  return file.OpenAt(directory, name) ? CrcOfOpenFile(file, directoryPath, name) : 0;
}

namespace {

void AppendCrcEntry(std::string& text, const TFileCRC& entry) {
  text += entry.FileName;
  text += "\r\n";
  text += std::to_string(entry.Crc);
  text += "\r\n";
}

}  // namespace

std::string FormatCrcFile(const std::vector<TFileCRC>& entries) {
  std::string text;
  for (const TFileCRC& entry : entries) AppendCrcEntry(text, entry);
  return text;
}

std::vector<TFileCRC> ParseCrcFile(const std::string& text) {
  std::vector<TFileCRC> entries;
  std::vector<std::string_view> lines = SplitLines(text);
  for (size_t i = 0; i + 1 < lines.size(); i += 2) {
    entries.push_back({std::string(lines[i]), ParseCrcText(lines[i + 1])});
  }
  return entries;
}

void TCrcStore::Load(const std::string& path) {
  Clear();
  if (!FileExists(path)) return;
  std::string text;
  if (!ReadWholeFile(path, text)) throw EZephlin("Unable to read " + path);
  std::vector<TFileCRC> entries = ParseCrcFile(text);
  Reserve(entries.size());
  for (TFileCRC& entry : entries) Append(std::move(entry.FileName), entry.Crc);
}

void TCrcStore::Save(const std::string& path) const {
  if (Empty()) return;
  std::string text;
  for (const TSlot& slot : FSlots) {
    if (!slot.Removed) AppendCrcEntry(text, slot.Entry);
  }
  WriteFileAtomic(path, text);
}

void TCrcStore::Clear() {
  FExact.Clear();
  FExactBuilt = false;
  FCaseless.Clear();
  FSlots.clear();
  FLiveCount = 0;
}

void TCrcStore::Reserve(size_t count) {
  if (FExactBuilt) FExact.Reserve(count);
  FCaseless.Reserve(count);
}

void TCrcStore::Append(std::string path, int32_t crc) {
  const size_t position = FSlots.size();
  FSlots.push_back({{std::move(path), crc}});
  if (FExactBuilt) Link(FExact, &TSlot::NextExact, position);
  Link(FCaseless, &TSlot::NextCaseless, position);
  ++FLiveCount;
}

void TCrcStore::EnsureExactIndex() {
  if (FExactBuilt) return;
  FExactBuilt = true;
  FExact.Reserve(FLiveCount);
  for (size_t position = 0; position < FSlots.size(); ++position) {
    if (!FSlots[position].Removed) Link(FExact, &TSlot::NextExact, position);
  }
}

void TCrcStore::UpdateCrc(const std::string& path) { UpdateCrc(path, FileCrc32(path)); }

void TCrcStore::UpdateCrc(const std::string& path, int32_t crc) {
  EnsureExactIndex();
  const size_t position = FExact.Find(path, [this](size_t at) { return NameAt(at); });
  if (position == TExactIndex::kNone) {
    Append(path, crc);
  } else {
    FSlots[position].Entry.Crc = crc;
  }
}

void TCrcStore::RemoveCrc(const std::string& path) {
  EnsureExactIndex();
  const size_t position = FExact.Find(path, [this](size_t at) { return NameAt(at); });
  if (position == TExactIndex::kNone) return;
  Unlink(FExact, &TSlot::NextExact, position);
  Unlink(FCaseless, &TSlot::NextCaseless, position);
  FSlots[position].Removed = true;
  --FLiveCount;
}

std::optional<int32_t> TCrcStore::LookupCrc(const std::string& path, const TIsLocalFile& isLocalFile) const {
  // The caseless chain holds the exact entries too, in store order.
  size_t fallback = kNoSlot;
  for (size_t at = FCaseless.Find(path, [this](size_t slot) { return NameAt(slot); }); at != kNoSlot;
       at = FSlots[at].NextCaseless) {
    if (NameAt(at) == path) return FSlots[at].Entry.Crc;
    if (fallback == kNoSlot && !(isLocalFile && isLocalFile(NameAt(at)))) fallback = at;
  }
  if (fallback == kNoSlot) return std::nullopt;
  return FSlots[fallback].Entry.Crc;
}

std::vector<TFileCRC> TCrcStore::Entries() const {
  std::vector<TFileCRC> entries;
  entries.reserve(FLiveCount);
  for (const TSlot& slot : FSlots) {
    if (!slot.Removed) entries.push_back(slot.Entry);
  }
  return entries;
}

// Appends are in ascending position, so a new entry goes to the end of its name's chain.
template <typename TIndex>
void TCrcStore::Link(TIndex& index, size_t TSlot::*next, size_t position) {
  auto [first, inserted] = index.TryInsert(NameAt(position), position, [this](size_t at) { return NameAt(at); });
  if (inserted) return;
  size_t last = first;
  while (FSlots[last].*next != kNoSlot) last = FSlots[last].*next;
  FSlots[last].*next = position;
}

template <typename TIndex>
void TCrcStore::Unlink(TIndex& index, size_t TSlot::*next, size_t position) {
  const auto nameOf = [this](size_t at) { return NameAt(at); };
  const std::string_view name = NameAt(position);
  const size_t first = index.Find(name, nameOf);
  if (first == TIndex::kNone) return;
  const size_t following = FSlots[position].*next;
  if (first == position) {
    // The next entry of the chain, if any, becomes the name's first.
    if (following == kNoSlot) {
      index.Erase(name, nameOf);
    } else {
      index.TryInsert(name, position, nameOf).first = following;
    }
    return;
  }
  size_t previous = first;
  while (FSlots[previous].*next != position) previous = FSlots[previous].*next;
  FSlots[previous].*next = following;
}

size_t TCrcStore::TExactTraits::Hash(std::string_view name) { return std::hash<std::string_view>{}(name); }

size_t TCrcStore::TCaselessTraits::Hash(std::string_view name) {
  size_t hash = 14695981039346656037ULL;
  for (char c : name) {  // FNV-1a over the name with A-Z lowered
    hash ^= static_cast<unsigned char>(LowerAsciiChar(c));
    hash *= 1099511628211ULL;
  }
  return hash;
}

bool TCrcStore::TCaselessTraits::Equal(std::string_view a, std::string_view b) { return SameTextIgnoringCase(a, b); }
