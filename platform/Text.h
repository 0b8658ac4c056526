// Texts of fixed-width fields, made the way the program's messages and
// package slots are: printf-style, one text into one field.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// `format` holds one "%s" conversion with optional flags, width and
// precision ("%-24.24s", "%4.4s", "%.4s.EXE"); the result is cut at 63 bytes.
std::string FormatText(const char* format, const std::string& text);

// The first `count` characters of `text`, never cut inside a character: a
// well-formed UTF-8 sequence counts as one character, and so does every byte
// that is not part of one (a name in another encoding keeps its bytes).
std::string LeadingCharacters(const std::string& text, size_t count);

// `text` on one line of a terminal: well-formed UTF-8 as it is; control
// characters, backslashes and bytes outside UTF-8 as \xNN.
std::string PrintableText(const std::string& text);

// `text` as a JSON string, quotes included: well-formed UTF-8 as it is;
// '"' and '\\' escaped; control characters, and every byte outside
// well-formed UTF-8, as \u00XX with the byte's value (so such a byte reads
// as the Latin-1 character of that value).
std::string JsonString(const std::string& text);

}  // namespace platform
