#pragma once
// Path texts of the transfer functions. Local paths use "/"; a "\" given by the user is
// turned into "/". Remote paths use "/"; a "\" given by the user is turned into "/" too.

#include <string>

#include "platform/FileSystem.h"

std::string ToSlashes(std::string path);                    // every "\" becomes "/"
std::string WithTrailingSlash(const std::string& path);     // "/" appended unless present

// The part of a name after its last character from `separators` (the whole name if none).
std::string LastPart(const std::string& name, const char* separators);

// A name that would leave the local directory when appended to it: empty, ".", "..", or
// holding "/" or "\".
bool IsUnsafeLocalName(const std::string& name);

// A file mask path split into directory (up to and including the last separator) and
// file part. "/pub/*.zip" -> "/pub/" and "*.zip"; "/pub/" -> "/pub/" and "".
struct TPathSpec {
  std::string Directory;
  std::string FilePart;
};
TPathSpec SplitPathSpec(const std::string& path, const char* separators);

// A local sub-directory that recursion enters: not hidden, not a dot-directory, and not a
// link to a directory (no loops).
bool IsEnterableLocalDirectory(const TSearchRec& entry);
