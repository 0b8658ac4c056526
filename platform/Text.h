// Texts of fixed-width fields, made the way the program's messages and
// package slots are: printf-style, one text into one field.
#pragma once

#include <string>

namespace platform {

// `format` holds one "%s" conversion with optional flags, width and
// precision ("%-24.24s", "%4.4s", "%.4s.EXE"); the result is cut at 63 bytes.
std::string FormatText(const char* format, const std::string& text);

}  // namespace platform
