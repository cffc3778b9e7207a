#pragma once
// The directory of the running executable, ending in "/": "zephlin.ini", the CRC stores,
// "testlog.txt", "zephlin.log" and "readme.txt" live there.

#include <string>

std::string ProgramDirectory();

// The full path of the running executable.
std::string ExecutableName();

// Tests point the program directory at a temporary one; an empty path restores the real one.
void SetProgramDirectory(const std::string& directory);
