#include "engine/CrcStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>

#include <algorithm>
#include <charconv>
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

// Closes a descriptor on every way out of a scope.
class TFileDescriptor {
 public:
  explicit TFileDescriptor(int fd) : FFd(fd) {}
  ~TFileDescriptor() { ::close(FFd); }
  TFileDescriptor(const TFileDescriptor&) = delete;
  TFileDescriptor& operator=(const TFileDescriptor&) = delete;

 private:
  int FFd;
};

}  // namespace

int64_t FileSizeOf(const std::string& path) {
  int64_t size = GetFileSize(path);
  return size < 0 ? 0 : size;
}

namespace {

// The CRC-32 of an open descriptor's content (closed here); see FileCrc32.
int32_t CrcOfOpenFile(int fd, const std::string& path) {
  if (fd < 0) return 0;
  const TFileDescriptor file(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return 0;
  // Small files, the common case of a sync run, get a buffer of their own size.
  std::vector<unsigned char> buffer(static_cast<size_t>(std::min<int64_t>(st.st_size, kCrcChunkSize)));
  uLong crc = crc32(0L, Z_NULL, 0);
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      throw EZephlin("Unable to read " + path);
    }
    crc = crc32(crc, buffer.data(), static_cast<uInt>(got));
  }
  return static_cast<int32_t>(static_cast<uint32_t>(crc));
}

// One open and one fstat instead of separate existence and size checks: a sync run takes
// the CRC of every file it compares. O_NONBLOCK keeps a FIFO from blocking the open; only
// regular files have content to sum.
constexpr int kCrcOpenFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;

}  // namespace

int32_t FileCrc32(const std::string& path) { return CrcOfOpenFile(::open(path.c_str(), kCrcOpenFlags), path); }

int32_t FileCrc32At(int directoryFd, const std::string& directory, const std::string& name) {
  return CrcOfOpenFile(::openat(directoryFd, name.c_str(), kCrcOpenFlags), directory + name);
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
  std::vector<TFileCRC> entries = ParseCrcFile(text);
  Reserve(entries.size());
  for (TFileCRC& entry : entries) Append(entry.FileName, entry.Crc);
}

TCrcStore::TCrcStore(const TCrcStore& other) { *this = other; }

TCrcStore& TCrcStore::operator=(const TCrcStore& other) {
  if (this == &other) return *this;
  Clear();
  Reserve(other.FLiveCount);
  for (const TSlot& slot : other.FSlots) {
    if (!slot.Removed) Append(slot.Entry.FileName, slot.Entry.Crc);
  }
  return *this;
}

void TCrcStore::Save(const std::string& path) const {
  if (Empty()) return;
  WriteFileAtomic(path, FormatCrcFile(Entries()));
}

void TCrcStore::Clear() {
  FExact.clear();
  FCaseless.clear();
  FSlots.clear();
  FLiveCount = 0;
}

void TCrcStore::Reserve(size_t count) {
  FExact.reserve(count);
  FCaseless.reserve(count);
}

void TCrcStore::Append(const std::string& path, int32_t crc) {
  const size_t position = FSlots.size();
  FSlots.push_back({{path, crc}});
  const std::string_view name = FSlots.back().Entry.FileName;
  Link(FExact, &TSlot::NextExact, name, position);
  Link(FCaseless, &TSlot::NextCaseless, name, position);
  ++FLiveCount;
}

void TCrcStore::UpdateCrc(const std::string& path) { UpdateCrc(path, FileCrc32(path)); }

void TCrcStore::UpdateCrc(const std::string& path, int32_t crc) {
  auto found = FExact.find(path);
  if (found == FExact.end()) {
    Append(path, crc);
  } else {
    FSlots[found->second].Entry.Crc = crc;
  }
}

void TCrcStore::RemoveCrc(const std::string& path) {
  auto found = FExact.find(path);
  if (found == FExact.end()) return;
  const size_t position = found->second;
  const std::string_view name = FSlots[position].Entry.FileName;
  Unlink(FExact, &TSlot::NextExact, name, position);
  Unlink(FCaseless, &TSlot::NextCaseless, name, position);
  FSlots[position].Removed = true;
  --FLiveCount;
}

std::optional<int32_t> TCrcStore::LookupCrc(const std::string& path) const {
  auto found = FCaseless.find(TCaselessKey(path));
  if (found == FCaseless.end()) return std::nullopt;
  return FSlots[found->second].Entry.Crc;
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
void TCrcStore::Link(TIndex& index, size_t TSlot::*next, std::string_view name, size_t position) {
  auto [found, inserted] = index.try_emplace(typename TIndex::key_type(name), position);
  if (inserted) return;
  size_t last = found->second;
  while (FSlots[last].*next != kNoSlot) last = FSlots[last].*next;
  FSlots[last].*next = position;
}

// The index key may be a view of the entry being unlinked: it is re-pointed at the next
// entry's own name before that entry goes.
template <typename TIndex>
void TCrcStore::Unlink(TIndex& index, size_t TSlot::*next, std::string_view name, size_t position) {
  auto found = index.find(typename TIndex::key_type(name));
  if (found == index.end()) return;
  const size_t following = FSlots[position].*next;
  if (found->second == position) {
    index.erase(found);
    if (following != kNoSlot) index.emplace(typename TIndex::key_type(FSlots[following].Entry.FileName), following);
    return;
  }
  size_t previous = found->second;
  while (FSlots[previous].*next != position) previous = FSlots[previous].*next;
  FSlots[previous].*next = following;
}

TCrcStore::TCaselessKey::TCaselessKey(std::string_view name) : Name(name), Hash(14695981039346656037ULL) {
  for (char c : name) {  // FNV-1a over the name with A-Z lowered
    Hash ^= static_cast<unsigned char>(LowerAsciiChar(c));
    Hash *= 1099511628211ULL;
  }
}

bool TCrcStore::TCaselessEqual::operator()(const TCaselessKey& a, const TCaselessKey& b) const {
  return a.Hash == b.Hash && a.Name.size() == b.Name.size() &&
         std::equal(a.Name.begin(), a.Name.end(), b.Name.begin(),
                    [](char x, char y) { return LowerAsciiChar(x) == LowerAsciiChar(y); });
}
