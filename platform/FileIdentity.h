// Whether two paths name the same file, through whatever links lead to it.
#pragma once

#include <string>

namespace platform {

// True when both paths exist and are the same file. On Windows the volume
// serial number and the file index decide (hard links included); elsewhere
// the device and inode numbers.
bool SameFile(const std::string& a, const std::string& b);

}  // namespace platform
