#include "platform/Text.h"

#include <cstdio>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace platform {

namespace {

bool Continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence at `at`, or 1 when the byte there
// does not begin one (overlong forms and surrogates are not well-formed).
size_t SequenceLength(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0; };
  const unsigned char lead = byte(0);
  size_t length = 1;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 1;
  }
  if (byte(1) < low || byte(1) > high) return 1;
  for (size_t i = 2; i < length; ++i) {
    if (!Continuation(byte(i))) return 1;
  }
  return length;
}

}  // namespace

std::string FormatText(const char* format, const std::string& text) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, text.c_str());
  return buffer;
}

std::string PrintableText(const std::string& text) {
  std::string shown;
  for (size_t at = 0; at < text.size();) {
    const size_t length = SequenceLength(text, at);
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (length > 1 || (c >= 0x20 && c < 0x7F && c != '\\')) {
      shown.append(text, at, length);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      shown += escaped;
    }
    at += length;
  }
  return shown;
}

std::string JsonString(const std::string& text) {
  std::string json = "\"";
  for (size_t at = 0; at < text.size();) {
    const size_t length = SequenceLength(text, at);
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (length > 1 || (c >= 0x20 && c < 0x7F && c != '"' && c != '\\')) {
      json.append(text, at, length);
    } else if (c == '"' || c == '\\') {
      json += '\\';
      json += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      json += escaped;
    }
    at += length;
  }
  return json + "\"";
}

size_t CharacterLength(const std::string& text, size_t at, unsigned codePage) {
  if (at >= text.size()) return 1;
#if defined(_WIN32)
  if (codePage == kSystemNames) codePage = GetACP();
  if (codePage == kUtf8Names) return SequenceLength(text, at);
  const bool lead = IsDBCSLeadByteEx(codePage, static_cast<BYTE>(text[at])) != FALSE;
  return lead && at + 1 < text.size() && text[at + 1] != '\0' ? 2 : 1;
#else
  return codePage == kSystemNames || codePage == kUtf8Names ? SequenceLength(text, at) : 1;
#endif
}

std::string LeadingCharacters(const std::string& text, size_t count, unsigned codePage) {
  size_t end = 0;
  for (size_t n = 0; n < count && end < text.size(); ++n) end += CharacterLength(text, end, codePage);
  return text.substr(0, end);
}

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool ParseHexByte(const std::string& text, uint8_t& byte) {
  if (text.size() != 2 || HexValue(text[0]) < 0 || HexValue(text[1]) < 0) return false;
  byte = static_cast<uint8_t>(HexValue(text[0]) * 16 + HexValue(text[1]));
  return true;
}

bool ParseUnsigned(const std::string& text, uint64_t& value, uint64_t maximum) {
  if (text.empty() || text.size() > 20) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (maximum - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

std::vector<std::string> SplitWords(const std::string& text) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && text[at] == ' ') ++at;
    const size_t end = text.find(' ', at);
    if (at < text.size()) words.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = end == std::string::npos ? text.size() : end;
  }
  return words;
}

}  // namespace platform
