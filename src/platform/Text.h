#pragma once
// Small text helpers shared by every layer. Texts are bytes: "letter" and "case" mean A-Z and
// a-z only, so a name compares the same whatever locale the program runs in, and bytes from
// 80 hex on pass through unchanged. Pure functions; safe to call from any thread.

#include <string>
#include <string_view>

// A-Z lowered, every other byte unchanged.
constexpr char LowerAsciiChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char UpperAsciiChar(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
std::string LowerAscii(std::string_view text);

// Equal, or `text` begins with `prefix`, when A-Z and a-z count as the same letters.
bool SameTextIgnoringCase(std::string_view a, std::string_view b);
bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix);

// What counts as blank at the ends of a text differs between the formats read, so each kind
// of trimming has its own name. The result is a view into `text`.
std::string_view TrimBlanksAndControls(std::string_view text);  // every byte up to 20 hex
std::string_view TrimControls(std::string_view text);           // bytes below 20 hex; blanks stay
std::string_view TrimSpacesAndTabs(std::string_view text);      // " " and tab only
std::string_view TrimSpaces(std::string_view text);             // " " only

// "/" appended unless the path ends in one; "" becomes "/".
std::string WithTrailingSlash(std::string_view path);
// "/a/b//" -> "/a/b": every trailing "/" removed, but "/" itself (and "") stays.
std::string WithoutTrailingSlashes(std::string_view path);

// A text of several lines as one line: each line end inside (CR LF, CR or LF) becomes one
// blank, and those at the end are dropped. Reports and log rows are one line each.
std::string OnOneLine(std::string_view text);
