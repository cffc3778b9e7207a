// The CRC store: CRC-32 of files of any size, the store's file format, and its lookups.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <random>

#include "EngineTestSupport.h"
#include "engine/Crc32.h"
#include "engine/CrcStore.h"
#include "engine/FileTimes.h"
#include "engine/NameIndex.h"
#include "engine/SessionThreadUnit.h"
#include "platform/FileSystem.h"
#include "support/TempDir.h"

namespace {

int32_t Signed(uint32_t crc) { return static_cast<int32_t>(crc); }

TEST(FileCrc32, StandardCheckValueAndEmptyOrMissingFiles) {
  TempDir dir;
  WriteFile(dir.path() + "check", "123456789");
  WriteFile(dir.path() + "empty", "");
  EXPECT_EQ(FileCrc32(dir.path() + "check"), Signed(0xCBF43926u));
  EXPECT_EQ(FileCrc32(dir.path() + "empty"), 0);
  EXPECT_EQ(FileCrc32(dir.path() + "missing"), 0);
  EXPECT_EQ(FileCrc32(dir.path()), 0);  // a directory is no file
  ASSERT_EQ(::mkfifo((dir.path() + "fifo").c_str(), 0600), 0);
  EXPECT_EQ(FileCrc32(dir.path() + "fifo"), 0);  // returns at once, with no writer
  EXPECT_EQ(FileSizeOf(dir.path() + "check"), 9);
  EXPECT_EQ(FileSizeOf(dir.path() + "missing"), 0);
}

TEST(Crc32Update, MatchesZlibForEveryLengthOffsetAndSplit) {
  // The folded path covers whole 16-byte blocks from 64 bytes on; zlib the rest. Lengths
  // around every block edge, unaligned starts and a running value from an earlier piece.
  std::mt19937 random(7);
  std::vector<unsigned char> data(70000);
  for (unsigned char& byte : data) byte = static_cast<unsigned char>(random());
  const auto reference = [](uint32_t crc, const unsigned char* at, size_t size) {
    return static_cast<uint32_t>(crc32_z(crc, at, size));
  };
  for (size_t size = 0; size <= 300; ++size) {
    for (size_t offset : {0, 1, 7, 15}) {
      const unsigned char* at = data.data() + offset;
      ASSERT_EQ(Crc32Update(0, at, size), reference(0, at, size)) << size << " bytes at +" << offset;
      ASSERT_EQ(Crc32Update(0xDEADBEEFu, at, size), reference(0xDEADBEEFu, at, size)) << size;
    }
  }
  const uint32_t whole = reference(0, data.data(), data.size());
  EXPECT_EQ(Crc32Update(0, data.data(), data.size()), whole);
  for (size_t split : {1, 63, 64, 65, 4096, 69999}) {
    const uint32_t first = Crc32Update(0, data.data(), split);
    EXPECT_EQ(Crc32Update(first, data.data() + split, data.size() - split), whole) << "split at " << split;
  }
  const std::vector<unsigned char> zeros(4096, 0), ones(4096, 0xFF);
  EXPECT_EQ(Crc32Update(0, zeros.data(), zeros.size()), reference(0, zeros.data(), zeros.size()));
  EXPECT_EQ(Crc32Update(0, ones.data(), ones.size()), reference(0, ones.data(), ones.size()));
}

TEST(FileCrc32, FileOverFourGibibytesMatchesACombinedReference) {
  // A sparse file: zeros with marks just past 2 GiB and past 4 GiB, where 32-bit sizes and
  // offsets would wrap.
  TempDir dir;
  const std::string path = dir.path() + "big";
  const int64_t firstMark = (int64_t{1} << 31) + 5;
  const int64_t secondMark = (int64_t{1} << 32) + 17;
  const std::string mark = "zephlin";
  {
    std::ofstream file(path, std::ios::binary);
    file.seekp(firstMark);
    file << mark;
    file.seekp(secondMark);
    file << mark;
  }
  ASSERT_EQ(FileSizeOf(path), secondMark + static_cast<int64_t>(mark.size()));

  // Reference: CRCs of the pieces joined with crc32_combine; runs of zeros by doubling.
  const auto zeros = [](int64_t length) {
    std::vector<Bytef> block(1 << 16, 0);
    uLong one = crc32(0, block.data(), static_cast<uInt>(block.size()));
    uLong crc = crc32(0, Z_NULL, 0);
    int64_t done = 0, size = static_cast<int64_t>(block.size());
    for (int64_t left = length; left >= size; left -= size, done += size) crc = crc32_combine(crc, one, size);
    return crc32(crc, block.data(), static_cast<uInt>(length - done));
  };
  const auto markCrc = crc32(0, reinterpret_cast<const Bytef*>(mark.data()), static_cast<uInt>(mark.size()));
  const int64_t markSize = static_cast<int64_t>(mark.size());
  uLong expected = zeros(firstMark);
  expected = crc32_combine(expected, markCrc, markSize);
  expected = crc32_combine(expected, zeros(secondMark - firstMark - markSize), secondMark - firstMark - markSize);
  expected = crc32_combine(expected, markCrc, markSize);
  EXPECT_EQ(FileCrc32(path), Signed(static_cast<uint32_t>(expected)));
}

TEST(CrcStoreFile, ExactFormatAndRoundTripOfNegativeValues) {
  TempDir dir;
  TCrcStore store;
  store.Append("/site/a.txt", Signed(0x12345678u));
  store.Append("/site/img/logo.gif", Signed(0xCAFEBABEu));
  store.Append("/site/f", Signed(0xF0000000u));
  store.Save(dir.path() + "s.crc");
  EXPECT_EQ(ReadFile(dir.path() + "s.crc"),
            "/site/a.txt\r\n305419896\r\n/site/img/logo.gif\r\n-889275714\r\n/site/f\r\n-268435456\r\n");

  TCrcStore loaded;
  loaded.Load(dir.path() + "s.crc");
  ASSERT_EQ(loaded.Count(), 3u);
  EXPECT_EQ(loaded.LookupCrc("/site/f"), Signed(0xF0000000u));
  EXPECT_EQ(loaded.Entries()[1].FileName, "/site/img/logo.gif");
}

TEST(CrcStoreFile, OddLineCountBadNumbersAndMissingFile) {
  TempDir dir;
  WriteFile(dir.path() + "odd.crc", "/a\r\nabc\r\n/dangling\r\n");
  TCrcStore store;
  store.Append("/stale", 1);
  store.Load(dir.path() + "odd.crc");
  ASSERT_EQ(store.Count(), 1u);  // loading empties first; the last name has no partner
  EXPECT_EQ(store.LookupCrc("/a"), 0);
  EXPECT_FALSE(store.LookupCrc("/dangling").has_value());

  EXPECT_EQ(ParseCrcFile("/b\r\n12x\r\n/c\r\n2147483648\r\n/d\r\n-2147483648\r\n").at(0).Crc, 0);
  EXPECT_EQ(ParseCrcFile("/c\r\n2147483648\r\n").at(0).Crc, 0);  // out of range
  EXPECT_EQ(ParseCrcFile("/d\r\n-2147483648\r\n").at(0).Crc, INT32_MIN);

  store.Load(dir.path() + "missing.crc");
  EXPECT_TRUE(store.Empty());
}

TEST(CrcStoreFile, EmptyStoreLeavesTheFileAlone) {
  TempDir dir;
  WriteFile(dir.path() + "s.crc", "/old\r\n7\r\n");
  TCrcStore store;
  store.Load(dir.path() + "s.crc");
  store.RemoveCrc("/old");
  store.Save(dir.path() + "s.crc");
  EXPECT_EQ(ReadFile(dir.path() + "s.crc"), "/old\r\n7\r\n");
}

TEST(CrcStoreLookups, CaselessLookupExactUpdateAndOrderAfterRemoval) {
  TempDir dir;
  WriteFile(dir.path() + "File.TXT", "123456789");
  const std::string upper = dir.path() + "File.TXT";
  const std::string lower = dir.path() + "file.txt";
  TCrcStore store;
  store.Append("/first", 1);
  store.Append(lower, 5);
  store.Append("/last", 3);

  EXPECT_EQ(store.LookupCrc(upper), 5);  // letter case ignored when looking up
  store.UpdateCrc(upper);                // ... but not when updating: a new entry
  ASSERT_EQ(store.Count(), 4u);
  EXPECT_EQ(store.Entries()[3].FileName, upper);
  EXPECT_EQ(store.Entries()[3].Crc, Signed(0xCBF43926u));
  EXPECT_EQ(store.LookupCrc(upper), Signed(0xCBF43926u));  // an exact entry wins
  EXPECT_EQ(store.LookupCrc(lower), 5);

  store.RemoveCrc(lower);
  EXPECT_EQ(store.LookupCrc(lower), Signed(0xCBF43926u));
  std::vector<std::string> names;
  for (const TFileCRC& entry : store.Entries()) names.push_back(entry.FileName);
  EXPECT_EQ(names, (std::vector<std::string>{"/first", "/last", upper}));

  store.UpdateCrc("/first");  // a vanished file has the CRC 0
  EXPECT_EQ(store.Entries()[0].Crc, 0);
  store.RemoveCrc("/nothing");
  EXPECT_EQ(store.Count(), 3u);
}

TEST(CrcStoreLookups, DuplicateNamesRemoveInOrderAndCopiesStandAlone) {
  TCrcStore store;
  store.Append("/d/A", 1);
  store.Append("/d/a", 2);
  store.Append("/d/A", 3);  // a hand-edited file may repeat a name
  store.Append("/d/a", 4);

  store.RemoveCrc("/d/a");  // the middle of the caseless chain, the head of its exact one
  EXPECT_EQ(store.LookupCrc("/D/A"), 1);
  store.RemoveCrc("/d/A");  // the head of both: the next entry of the name takes over
  EXPECT_EQ(store.LookupCrc("/D/a"), 3);
  EXPECT_EQ(store.LookupCrc("/d/a"), 4);
  store.UpdateCrc("/d/a", 9);
  EXPECT_EQ(store.Entries()[1].Crc, 9);

  TCrcStore copy = store;
  store.Clear();
  store.Append("/d/a", 7);  // reuses the source store's memory; the copy must not see it
  ASSERT_EQ(copy.Count(), 2u);
  EXPECT_EQ(copy.LookupCrc("/D/a"), 3);
  copy.RemoveCrc("/d/A");
  EXPECT_EQ(copy.LookupCrc("/d/A"), 9);
  copy.RemoveCrc("/d/a");
  EXPECT_FALSE(copy.LookupCrc("/d/a").has_value());
  EXPECT_TRUE(copy.Empty());
}

TEST(CrcStoreLookups, AgreesWithASearchInStoreOrderThroughManyChanges) {
  // A few names in several letter cases, updated, removed and looked up at random, against
  // a plain list searched from the front: removals from the middle of the index's probe
  // lines, heads of chains taking over, and the index growing while names come and go.
  std::mt19937 random(11);
  std::vector<std::string> names;
  for (int i = 0; i < 60; ++i) {
    const std::string name = "/d" + std::to_string(i % 7) + "/File" + std::to_string(i);
    names.push_back(name);
    names.push_back(LowerAscii(name));
  }
  std::vector<TFileCRC> model;
  const auto modelLookup = [&](const std::string& name) -> std::optional<int32_t> {
    for (const TFileCRC& entry : model)
      if (entry.FileName == name) return entry.Crc;
    for (const TFileCRC& entry : model)
      if (LowerAscii(entry.FileName) == LowerAscii(name)) return entry.Crc;
    return std::nullopt;
  };
  const auto exactlyNamed = [&](const std::string& name) {
    return std::find_if(model.begin(), model.end(), [&](const TFileCRC& entry) { return entry.FileName == name; });
  };
  TCrcStore store;
  for (int step = 0; step < 20000; ++step) {
    const std::string& name = names[random() % names.size()];
    const int32_t crc = static_cast<int32_t>(random());
    switch (random() % 4) {
      case 0:  // a hand-edited file may repeat a name
        store.Append(name, crc);
        model.push_back({name, crc});
        break;
      case 1: {
        store.UpdateCrc(name, crc);
        auto found = exactlyNamed(name);
        if (found == model.end())
          model.push_back({name, crc});
        else
          found->Crc = crc;
        break;
      }
      default: {
        store.RemoveCrc(name);
        auto found = exactlyNamed(name);
        if (found != model.end()) model.erase(found);
        break;
      }
    }
    const std::string& probe = names[random() % names.size()];
    ASSERT_EQ(store.LookupCrc(probe), modelLookup(probe)) << "step " << step << ", " << probe;
  }
  ASSERT_EQ(store.Count(), model.size());
  const std::vector<TFileCRC> entries = store.Entries();
  for (size_t i = 0; i < model.size(); ++i) {
    EXPECT_EQ(entries[i].FileName, model[i].FileName);
    EXPECT_EQ(entries[i].Crc, model[i].Crc);
  }
}

TEST(CrcStoreLookups, AnotherCaseIsTakenOnlyWhenItNamesNoFileOfItsOwn) {
  TCrcStore store;
  store.Append("/d/A.txt", 1);
  store.Append("/d/B.TXT", 2);
  store.Append("/d/b.Txt", 3);
  const auto localFiles = [](std::vector<std::string> names) {
    return [names](std::string_view path) { return std::find(names.begin(), names.end(), path) != names.end(); };
  };
  const struct {
    const char* label;
    std::string path;
    TCrcStore::TIsLocalFile isLocalFile;
    std::optional<int32_t> expected;
  } rows[] = {
      {"a store from a version that ignored case serves its file", "/d/a.txt", localFiles({"/d/a.txt"}), 1},
      {"another file's entry is never taken", "/d/a.txt", localFiles({"/d/a.txt", "/d/A.txt"}), std::nullopt},
      {"the first entry that is no file's own", "/d/b.txt", localFiles({"/d/B.TXT"}), 3},
      {"every entry is some file's own", "/d/b.txt", localFiles({"/d/B.TXT", "/d/b.Txt"}), std::nullopt},
      {"an exact entry whatever the files", "/d/B.TXT", localFiles({"/d/B.TXT", "/d/b.Txt"}), 2},
      {"without a judge, the first in another case", "/d/b.txt", {}, 2},
  };
  for (const auto& row : rows) EXPECT_EQ(store.LookupCrc(row.path, row.isLocalFile), row.expected) << row.label;
}

TEST(CrcStoreLookups, StoredFFFFFFFFIsNotNoEntry) {
  TCrcStore store;
  EXPECT_FALSE(store.LookupCrc("/x").has_value());
  store.Append("/x", -1);
  EXPECT_EQ(store.LookupCrc("/x"), -1);
}

TEST(LocalFileTimes, SetToTheMinuteAndReadBack) {
  TempDir dir;
  const std::string path = dir.path() + "a.txt";
  WriteFile(path, "x");
  const TDateTime at = EncodeDateTime({2007, 1, 15, 15, 5, 40, 500});
  SetLocalFileTime(path, at);
  EXPECT_EQ(GetLocalFileTime(path), EncodeDateTime({2007, 1, 15, 15, 5, 0, 0}));
  TDateTime raw = 0;
  ASSERT_TRUE(GetFileTimeLocal(path, raw));
  EXPECT_EQ(DecodeDateTime(raw).Second, 0);  // seconds are dropped when setting, too

  SetLocalFileTime(dir.path() + "missing", at);  // nothing happens
  EXPECT_EQ(GetLocalFileTime(dir.path() + "missing"), 0);
  EXPECT_EQ(TruncateToMinute(EncodeDateTime({2007, 1, 15, 15, 6, 59, 999})),
            EncodeDateTime({2007, 1, 15, 15, 6, 0, 0}));
}

}  // namespace
