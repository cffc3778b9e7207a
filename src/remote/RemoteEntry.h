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

// How exact a listed time is: FTP's plain listings show minutes, machine listings and
// SFTP seconds.
enum class TTimePrecision { Minute, Second };

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
  bool OwnerMayWrite() const { return Rights.substr(0, 3).find('w') != std::string::npos; }
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
