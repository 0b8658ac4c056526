// Texts of fixed-width fields, made the way the program's messages and
// package slots are: printf-style, one text into one field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// `format` holds one "%s" conversion with optional flags, width and
// precision ("%-24.24s", "%4.4s", "%.4s.EXE"); the result is cut at 63 bytes.
std::string FormatText(const char* format, const std::string& text);

// The encoding of file names: the system's (kSystemNames), or on Windows an
// ANSI code page by its number (932 Shift-JIS, 936 GBK, 949 UHC, 950 Big5,
// 1252, ..., 65001 UTF-8). The system's names are in UTF-8 on Linux and in
// the ANSI code page (GetACP) on Windows, where in the double-byte code pages
// the second byte of a character may be any byte from 0x40 on, "\" (0x5C)
// included. Where there is no such code page (Linux), a number other than
// 65001 reads every byte as one character.
constexpr unsigned kSystemNames = 0;
constexpr unsigned kUtf8Names = 65001;

// Bytes of the character that begins at `at` (at least 1; never past the
// end). UTF-8: a well-formed sequence is one character, and so is every
// byte that is not part of one; a double-byte code page: a lead byte and the
// byte after it (IsDBCSLeadByteEx).
size_t CharacterLength(const std::string& text, size_t at, unsigned codePage = kSystemNames);

// The first `count` characters of `text`, never cut inside a character (a
// name in another encoding keeps its bytes).
std::string LeadingCharacters(const std::string& text, size_t count, unsigned codePage = kSystemNames);

// `text` on one line of a terminal: well-formed UTF-8 as it is; control
// characters, backslashes and bytes outside UTF-8 as \xNN.
std::string PrintableText(const std::string& text);

// `text` as a JSON string, quotes included: well-formed UTF-8 as it is;
// '"' and '\\' escaped; control characters, and every byte outside
// well-formed UTF-8, as \u00XX with the byte's value (so such a byte reads
// as the Latin-1 character of that value).
std::string JsonString(const std::string& text);

// Fields of a text line: a byte as two hex digits ("3B", "c0"); a decimal
// number no larger than `maximum`, digits only; the words between runs of
// blanks.
bool ParseHexByte(const std::string& text, uint8_t& byte);
bool ParseUnsigned(const std::string& text, uint64_t& value, uint64_t maximum = UINT32_MAX);
std::vector<std::string> SplitWords(const std::string& text);

}  // namespace platform
