// File name masks of the file list: patterns with * and ?, several of them
// separated by ";", matched without regard to letter case (as on the system
// the catalogue files were written for, where ABCD.BIN and abcd.bin are the
// same name).
#pragma once

#include <string>
#include <vector>

namespace platform {

// Splits a mask at ";" and drops blanks around each pattern and empty patterns.
std::vector<std::string> SplitMask(const std::string& mask);

// True when `name` matches `pattern` (* any run of characters, ? one character).
bool MatchPattern(const std::string& pattern, const std::string& name);

// True when `name` matches any pattern of `mask`. An empty mask matches everything.
bool MatchMask(const std::string& mask, const std::string& name);

// The regular files of `directory` whose names match `mask`, sorted by name.
std::vector<std::string> ListFiles(const std::string& directory, const std::string& mask);

}  // namespace platform
