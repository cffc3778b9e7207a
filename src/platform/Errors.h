#pragma once
// The base of every failure outside the FTP client (which has its own EIdException tree).

#include <stdexcept>
#include <string>

class EZephlin : public std::runtime_error {
 public:
  explicit EZephlin(const std::string& message) : std::runtime_error(message) {}
};
