#pragma once
// Path texts of the transfer functions. Local paths use "/"; a "\" given by the user is
// turned into "/". Remote paths use "/"; a "\" given by the user is turned into "/" too.

#include <string>

#include "platform/FileSystem.h"
#include "platform/Text.h"

std::string ToSlashes(std::string path);  // every "\" becomes "/"

// A local path a session may work on: absolute once its "\" are "/". A relative or empty
// one would mean whatever directory the program happens to run in.
bool IsAbsoluteLocalPath(const std::string& path);

// The part of a name after its last character from `separators` (the whole name if none).
std::string LastPart(const std::string& name, const char* separators);

// A name that would leave the local directory when appended to it: empty, ".", "..", or
// holding "/" or "\".
bool IsUnsafeLocalName(const std::string& name);

// A path with a file mask split into directory (up to and including the last separator)
// and mask. "/pub/*.zip" -> "/pub/" and "*.zip"; "/pub/" -> "/pub/" and "".
struct TMaskPath {
  std::string Directory;
  std::string Mask;
};
TMaskPath SplitMaskPath(const std::string& path, const char* separators);

// A local sub-directory that recursion enters: not hidden, neither "." nor "..", and not a
// link to a directory (no loops).
bool IsEnterableLocalDirectory(const TSearchRec& entry);

// A session's local path read as what a transfer function works on: the directory its files
// are in and the mask they must match. The copy functions take the path as a file mask
// ("/data/*.txt"; a path ending in "/" or without a file part takes every file); the sync
// functions take the whole path as the directory and every file in it.
enum class TLocalPathForm { FileMask, Directory };
struct TLocalTarget {
  std::string Directory;  // ends in "/", or is empty (the working directory) for a bare mask
  std::string Mask;       // never empty: "*.*" for every file
};
TLocalTarget ParseLocalTarget(const std::string& localPath, TLocalPathForm form);
