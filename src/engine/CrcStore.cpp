#include "engine/CrcStore.h"

#include <zlib.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <limits>

#include "engine/NameIndex.h"
#include "platform/Errors.h"
#include "platform/FileSystem.h"

namespace {

// Large enough that the per-call cost of crc32() vanishes, small enough to stay in cache.
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

int32_t FileCrc32(const std::string& path) {
  if (!FileExists(path)) return 0;
  const int64_t size = FileSizeOf(path);
  if (size == 0) return 0;
  std::ifstream file(path, std::ios::binary);
  if (!file) return 0;
  // Small files, the common case of a sync run, get a buffer of their own size.
  std::vector<char> buffer(static_cast<size_t>(std::min<int64_t>(size, kCrcChunkSize)));
  uLong crc = crc32(0L, Z_NULL, 0);
  while (file) {
    file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    std::streamsize got = file.gcount();
    if (got > 0) crc = crc32(crc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(got));
  }
  if (file.bad()) throw EZephlin("Unable to read " + path);
  return static_cast<int32_t>(static_cast<uint32_t>(crc));
}

std::string FormatCrcFile(const std::vector<TFileCRC>& entries) {
  std::string text;
  for (const TFileCRC& entry : entries) {
    text += entry.FileName;
    text += "\r\n";
    text += std::to_string(entry.Crc);
    text += "\r\n";
  }
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
  for (TFileCRC& entry : ParseCrcFile(text)) Append(entry.FileName, entry.Crc);
}

void TCrcStore::Save(const std::string& path) const {
  if (Empty()) return;
  WriteFileAtomic(path, FormatCrcFile(Entries()));
}

void TCrcStore::Clear() {
  FSlots.clear();
  FExact.clear();
  FCaseless.clear();
  FLiveCount = 0;
}

void TCrcStore::Append(const std::string& path, int32_t crc) {
  size_t position = FSlots.size();
  FSlots.push_back({{path, crc}, false});
  FExact[path].push_back(position);
  FCaseless[LowerAscii(path)].push_back(position);
  ++FLiveCount;
}

void TCrcStore::UpdateCrc(const std::string& path) { UpdateCrc(path, FileCrc32(path)); }

void TCrcStore::UpdateCrc(const std::string& path, int32_t crc) {
  auto found = FExact.find(path);
  if (found == FExact.end()) {
    Append(path, crc);
  } else {
    FSlots[found->second.front()].Entry.Crc = crc;
  }
}

void TCrcStore::RemoveCrc(const std::string& path) {
  auto found = FExact.find(path);
  if (found == FExact.end()) return;
  size_t position = found->second.front();
  FSlots[position].Removed = true;
  --FLiveCount;
  Unindex(FExact, path, position);
  Unindex(FCaseless, LowerAscii(path), position);
}

std::optional<int32_t> TCrcStore::LookupCrc(const std::string& path) const {
  auto found = FCaseless.find(LowerAscii(path));
  if (found == FCaseless.end()) return std::nullopt;
  return FSlots[found->second.front()].Entry.Crc;
}

std::vector<TFileCRC> TCrcStore::Entries() const {
  std::vector<TFileCRC> entries;
  entries.reserve(FLiveCount);
  for (const TSlot& slot : FSlots) {
    if (!slot.Removed) entries.push_back(slot.Entry);
  }
  return entries;
}

void TCrcStore::Unindex(TIndex& index, const std::string& key, size_t position) {
  auto found = index.find(key);
  if (found == index.end()) return;
  std::vector<size_t>& positions = found->second;
  positions.erase(std::find(positions.begin(), positions.end(), position));
  if (positions.empty()) index.erase(found);
}
