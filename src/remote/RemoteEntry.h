#pragma once
// A remote directory's entries as every protocol gives them: the name as the server has it,
// what kind of entry it is, its size when known, its time with the precision the server
// gave it, and its rights.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/DateTime.h"

enum class TRemoteKind { File, Directory, Link, Other };

// How much of a moment a listed time gives: a date and a time of day to the minute; the
// month, day and time of day with the year guessed from today (recent files of a Unix
// listing); a date without a time of day (older files of a Unix listing); the second
// (machine listings, SFTP).
enum class TTimePrecision { Minute, MinuteNoYear, Day, Second };

struct TRemoteEntry {
  std::string Name;  // as the server has it; may hold blanks
  TRemoteKind Kind = TRemoteKind::File;
  int64_t Size = 0;        // bytes; 0 when unknown
  bool SizeKnown = false;  // the server gave the size as a number
  TDateTime Time = 0;      // local time; 0 when unknown
  TTimePrecision Precision = TTimePrecision::Minute;
  // Owner, group and others, three characters each as "ls -l" shows them ("rw-r--r--");
  // "?" where the server did not say.
  std::string Rights = "?????????";
  std::string LinkTarget;  // for a link, what it points to, when the server says

  bool ExactTime() const { return Precision == TTimePrecision::Second; }
  // The owner may write, or the listing did not say (nothing then speaks against it).
  bool OwnerMayWrite() const {
    const std::string owner = Rights.substr(0, 3);
    return owner == "???" || owner.find('w') != std::string::npos;
  }
};

// One directory's listing, in the order the server gave it.
class TRemoteListing {
 public:
  int Count() const { return static_cast<int>(FEntries.size()); }
  const TRemoteEntry& operator[](int AIndex) const { return FEntries.at(static_cast<size_t>(AIndex)); }
  TRemoteEntry& operator[](int AIndex) { return FEntries.at(static_cast<size_t>(AIndex)); }
  std::vector<TRemoteEntry>::const_iterator begin() const { return FEntries.begin(); }
  std::vector<TRemoteEntry>::const_iterator end() const { return FEntries.end(); }

  void Add(TRemoteEntry AEntry) { FEntries.push_back(std::move(AEntry)); }
  // Removes the entries `drop` is true for; the others keep their order.
  template <typename Predicate>
  void RemoveIf(Predicate drop) {
    std::erase_if(FEntries, drop);
  }

  // Lines of the server's answer that could not be read as entries (and were left out):
  // only with none does the listing show the whole directory.
  int UnreadLines = 0;
  bool AllLinesUnderstood() const { return UnreadLines == 0; }
  // The server listed the whole directory, whatever the mask asked for: the mask is then
  // the caller's to apply.
  bool WholeDirectory = false;

 private:
  std::vector<TRemoteEntry> FEntries;
};
