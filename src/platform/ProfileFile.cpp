#include "platform/ProfileFile.h"

#include <sys/stat.h>

#include <algorithm>

#include "platform/FileSystem.h"
#include "platform/Text.h"

namespace {

// "[name]" -> name; empty when the line is no section header.
bool SectionNameOf(const std::string& line, std::string& name) {
  const std::string_view trimmed = TrimSpacesAndTabs(line);
  if (trimmed.size() < 2 || trimmed.front() != '[') return false;
  const size_t close = trimmed.find(']');
  if (close == std::string_view::npos) return false;
  name = TrimSpacesAndTabs(trimmed.substr(1, close - 1));
  return true;
}

// "key=value" -> lower-case key; empty for comments and lines without "=".
std::string KeyOf(const std::string& line) {
  const std::string_view trimmed = TrimSpacesAndTabs(line);
  if (trimmed.empty() || trimmed.front() == ';') return std::string();
  const size_t equals = trimmed.find('=');
  if (equals == std::string_view::npos) return std::string();
  return LowerAscii(TrimSpacesAndTabs(trimmed.substr(0, equals)));
}

std::string ValueOf(const std::string& line) {
  std::string value(TrimSpacesAndTabs(std::string_view(line).substr(line.find('=') + 1)));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
    value = value.substr(1, value.size() - 2);
  return value;
}

}  // namespace

void TProfileFile::Load(const std::string& path) {
  std::string text;
  if (!ReadWholeFile(path, text)) text.clear();
  LoadFromText(text);
}

void TProfileFile::LoadFromText(const std::string& text) {
  Sections.assign(1, Section{});
  FirstSection.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    size_t lineEnd = end;
    if (lineEnd > start && text[lineEnd - 1] == '\r') --lineEnd;
    AddLine(text.substr(start, lineEnd - start));
    start = end + 1;
  }
}

void TProfileFile::AddLine(const std::string& raw) {
  std::string name;
  if (SectionNameOf(raw, name)) {
    Sections.push_back(Section{raw, {}, {}});
    FirstSection.emplace(LowerAscii(name), Sections.size() - 1);
    return;
  }
  Section& current = Sections.back();
  Line line{raw, KeyOf(raw)};
  if (!line.KeyLower.empty()) current.FirstKey.emplace(line.KeyLower, current.Lines.size());
  current.Lines.push_back(std::move(line));
}

std::vector<std::string> TProfileFile::SectionNames() const {
  std::vector<std::string> names;
  names.reserve(FirstSection.size());
  for (const auto& entry : FirstSection) names.push_back(entry.first);
  return names;
}

const TProfileFile::Line* TProfileFile::FindLine(const std::string& section, const std::string& key) const {
  const auto s = FirstSection.find(LowerAscii(section));
  if (s == FirstSection.end()) return nullptr;
  const Section& found = Sections[s->second];
  const auto k = found.FirstKey.find(LowerAscii(key));
  return k == found.FirstKey.end() ? nullptr : &found.Lines[k->second];
}

std::string TProfileFile::ReadString(const std::string& section, const std::string& key,
                                     const std::string& defaultValue) const {
  const Line* line = FindLine(section, key);
  return line ? ValueOf(line->Raw) : defaultValue;
}

bool TProfileFile::HasKey(const std::string& section, const std::string& key) const {
  return FindLine(section, key) != nullptr;
}

TProfileFile::Section& TProfileFile::SectionFor(const std::string& section) {
  const std::string lower = LowerAscii(section);
  const auto s = FirstSection.find(lower);
  if (s != FirstSection.end()) return Sections[s->second];
  Sections.push_back(Section{"[" + section + "]", {}, {}});
  FirstSection.emplace(lower, Sections.size() - 1);
  return Sections.back();
}

void TProfileFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  Section& target = SectionFor(section);
  const std::string lower = LowerAscii(key);
  const std::string raw = key + "=" + value;
  const auto k = target.FirstKey.find(lower);
  if (k != target.FirstKey.end()) {
    target.Lines[k->second].Raw = raw;
    return;
  }
  // A new key goes after the section's last non-blank line, so blank separators stay last.
  size_t position = target.Lines.size();
  while (position > 0 && TrimSpacesAndTabs(target.Lines[position - 1].Raw).empty()) --position;
  target.Lines.insert(target.Lines.begin() + static_cast<std::ptrdiff_t>(position), Line{raw, lower});
  if (position != target.Lines.size() - 1)
    for (auto& entry : target.FirstKey)
      if (entry.second >= position) ++entry.second;
  target.FirstKey.emplace(lower, position);
}

void TProfileFile::DeleteKey(const std::string& section, const std::string& key) {
  const auto s = FirstSection.find(LowerAscii(section));
  if (s == FirstSection.end()) return;
  Section& target = Sections[s->second];
  const std::string lower = LowerAscii(key);
  if (!target.FirstKey.contains(lower)) return;
  std::erase_if(target.Lines, [&](const Line& line) { return line.KeyLower == lower; });
  target.FirstKey.clear();
  for (size_t i = target.Lines.size(); i-- > 0;) {
    if (!target.Lines[i].KeyLower.empty()) target.FirstKey[target.Lines[i].KeyLower] = i;
  }
}

std::string TProfileFile::Text() const {
  std::string text;
  for (const Section& section : Sections) {
    if (!section.Header.empty()) text += section.Header + "\n";
    for (const Line& line : section.Lines) text += line.Raw + "\n";
  }
  return text;
}

void TProfileFile::Save(const std::string& path, unsigned mode) const {
  // An existing file keeps its mode through the write, so it is narrowed first and the new
  // content never sits in a file more open than asked. A file of another owner cannot be
  // narrowed; the copy that replaces it is ours and is narrowed after the write.
  ::chmod(path.c_str(), static_cast<mode_t>(mode));
  WriteFileAtomic(path, Text(), mode);
  ::chmod(path.c_str(), static_cast<mode_t>(mode));
}
