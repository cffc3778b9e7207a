#pragma once
// An INI profile file held in memory: read once, changed key by key, written once.
// Section and key names match without regard to case; blanks around a value are not
// significant; a value wholly in double or single quotes is read without them. A write
// replaces a key in place, adds a missing key at the end of its section and a missing section
// at the end of the file. Lines the program does not know (comments, other keys) survive.
// Reads CR LF and LF files; writes LF. Not thread-safe: one owner at a time.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class TProfileFile {
 public:
  TProfileFile() = default;

  // Reads the file; a missing or unreadable file reads like an empty one.
  void Load(const std::string& path);
  void LoadFromText(const std::string& text);

  std::string ReadString(const std::string& section, const std::string& key, const std::string& defaultValue) const;
  bool HasKey(const std::string& section, const std::string& key) const;
  // The names of the sections, in lower case, in no particular order.
  std::vector<std::string> SectionNames() const;
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  // Removes every line of the key from the section; other lines stay as they are.
  void DeleteKey(const std::string& section, const std::string& key);

  std::string Text() const;
  // Writes the whole file atomically (temporary file and rename) with exactly this mode, also
  // over a file that was more open; throws EZephlin "Unable to write to <path>" when the
  // file system refuses.
  void Save(const std::string& path, unsigned mode = 0600) const;

 private:
  struct Line {
    std::string Raw;
    std::string KeyLower;  // empty for lines that are not key=value
  };
  struct Section {
    std::string Header;  // the "[name]" line as read; empty for the lines before any section
    std::vector<Line> Lines;
    std::unordered_map<std::string, size_t> FirstKey;  // lower-case key -> its first line
  };

  const Line* FindLine(const std::string& section, const std::string& key) const;
  Section& SectionFor(const std::string& section);
  void AddLine(const std::string& raw);

  std::vector<Section> Sections{Section{}};
  std::unordered_map<std::string, size_t> FirstSection;  // lower-case name -> index
};
