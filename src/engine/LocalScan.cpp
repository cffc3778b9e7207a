#include "engine/LocalScan.h"

#include <algorithm>

#include "engine/CrcStore.h"
#include "engine/TransferPaths.h"

namespace {

// Larger files are left to the run: their reading is dominated by the disk either way, and
// a stop request must not wait for the scan to read gigabytes.
constexpr int64_t kReadAheadLimit = 8 << 20;

// The files whose CRC the run may ask for: those it compares with the store. Links are
// left to the run, which reads only those that lead inside the session's directory;
// FIFOs and devices are never opened.
bool IsComparedFile(const TSearchRec& entry) {
  return (entry.Attr & (faHidden | faDirectory)) == 0 && entry.Size <= kReadAheadLimit && !entry.IsSymLink &&
         !entry.IsSpecial;
}

}  // namespace

TScannedLevel::TScannedLevel(std::string ADirectory, TDirectoryRead ARead)
    : Directory(std::move(ADirectory)),
      Entries(std::move(ARead.Entries)),
      ReadError(ARead.Error),
      FSlots(Entries.size()),
      FLastForRun(Entries.size()) {}

std::shared_ptr<TScannedLevel> TScannedLevel::ReadNow(const std::string& ADirectory, const TExcludeFilter& AExclude,
                                                      const std::string& ARelativeDir) {
  return std::make_shared<TScannedLevel>(ADirectory, AExclude.Read(ADirectory, "*.*", ARelativeDir));
}

bool TScannedLevel::Claim(size_t index) {
  uint8_t expected = Pending;
  return FSlots[index].State.compare_exchange_strong(expected, Claimed, std::memory_order_acq_rel);
}

int32_t TScannedLevel::Crc(size_t index) {
  TSlot& slot = FSlots[index];
  for (;;) {
    const uint8_t state = slot.State.load(std::memory_order_acquire);
    if (state == Taken) return slot.Value;
    if (state == Claimed) {
      // The scan is reading this very file. Rather than wait, take one the scan has not
      // reached yet, from the level's far end; wait only when none is left.
      if (!TakeLastCrc()) slot.State.wait(Claimed, std::memory_order_acquire);
      continue;
    }
    // Not taken yet, or the scan's read failed: this thread reads it, and a failure throws.
    if (state == Failed || Claim(index)) return FileCrc32(Directory + Entries[index].Name);
  }
}

bool TScannedLevel::TakeNextCrc(const TDirectoryHandle& directory) {
  for (; FNextForScan < Entries.size(); ++FNextForScan) {
    const size_t index = FNextForScan;
    if (!IsComparedFile(Entries[index]) || !Claim(index)) continue;
    ++FNextForScan;
    Fill(index, directory);
    return true;
  }
  return false;
}

bool TScannedLevel::TakeLastCrc() {
  while (FLastForRun > 0) {
    const size_t index = --FLastForRun;
    if (!IsComparedFile(Entries[index]) || !Claim(index)) continue;
    Fill(index, TDirectoryHandle());
    return true;
  }
  return false;
}

void TScannedLevel::Fill(size_t index, const TDirectoryHandle& directory) {
  TSlot& slot = FSlots[index];
  try {
    slot.Value = directory.IsOpen() ? FileCrc32At(directory, Directory, Entries[index].Name)
                                    : FileCrc32(Directory + Entries[index].Name);
    slot.State.store(Taken, std::memory_order_release);
  } catch (...) {
    slot.State.store(Failed, std::memory_order_release);  // the run reads it again itself
  }
  slot.State.notify_all();
}

TLocalScan::TLocalScan(std::string ARootDirectory, bool ARecurse, size_t AEntryBudget, TExcludeFilter AExclude)
    : FRoot(std::move(ARootDirectory)),
      FExclude(std::move(AExclude)),
      FRecurse(ARecurse),
      FEntryBudget(AEntryBudget),
      FThread([this](const std::stop_token& stop) { Run(stop); }) {}

TLocalScan::~TLocalScan() {
  FThread.request_stop();
  FThread.join();
}

bool TLocalScan::WalksBefore(const std::string& a, const std::string& b) {
  // A parent's path is a prefix of its children's; siblings differ in their first differing
  // name byte. Ranking "/" below every other byte orders both cases at once.
  const auto rank = [](char c) { return c == '/' ? 0 : static_cast<unsigned char>(c); };
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [&](char x, char y) { return rank(x) < rank(y); });
}

void TLocalScan::Run(const std::stop_token& stop) {
  try {
    ScanDirectory(FRoot, stop);
  } catch (...) {
    // Out of memory or the like: the run reads whatever the scan did not hand over.
  }
  std::lock_guard lock(FMutex);
  FFinished = true;
  FChanged.notify_all();
}

void TLocalScan::ScanDirectory(const std::string& directory, const std::stop_token& stop) {
  if (stop.stop_requested()) return;
  const std::shared_ptr<TScannedLevel> level = ReadLevel(directory);
  if (!Publish(level, stop)) return;
  {  // closed before descending: a deep tree keeps one directory open at a time
    const TDirectoryHandle handle(directory);
    while (!stop.stop_requested() && level->TakeNextCrc(handle)) {
    }
  }
  if (!FRecurse) return;
  for (const TSearchRec& entry : level->Entries) {
    if (stop.stop_requested()) return;
    if (IsEnterableLocalDirectory(entry)) ScanDirectory(directory + entry.Name + "/", stop);
  }
}

bool TLocalScan::Publish(const std::shared_ptr<TScannedLevel>& level, const std::stop_token& stop) {
  std::unique_lock lock(FMutex);
  // At most the budget ahead of the run, but always the level the run may be waiting for.
  FChanged.wait(lock, stop, [&] { return FReady.empty() || FReadyEntries + level->Entries.size() <= FEntryBudget; });
  if (stop.stop_requested()) return false;
  FReady.push_back(level);
  FReadyEntries += level->Entries.size();
  FChanged.notify_all();
  return true;
}

std::shared_ptr<TScannedLevel> TLocalScan::Take(const std::string& ADirectory) {
  {
    std::unique_lock lock(FMutex);
    for (;;) {
      while (!FReady.empty() && WalksBefore(FReady.front()->Directory, ADirectory)) {
        FReadyEntries -= FReady.front()->Entries.size();  // skipped by the run
        FReady.pop_front();
        FChanged.notify_all();
      }
      if (!FReady.empty()) {
        if (FReady.front()->Directory != ADirectory) break;  // the scan went past it
        std::shared_ptr<TScannedLevel> level = std::move(FReady.front());
        FReady.pop_front();
        FReadyEntries -= level->Entries.size();
        FChanged.notify_all();
        return level;
      }
      if (FFinished) break;
      FChanged.wait(lock);
    }
  }
  return ReadLevel(ADirectory);
}

std::shared_ptr<TScannedLevel> TLocalScan::ReadLevel(const std::string& directory) const {
  return TScannedLevel::ReadNow(directory, FExclude, RelativeDirectory(directory, FRoot));
}
