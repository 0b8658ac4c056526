// One record of a whole run, in order: every command a drive was sent (its
// 12 command bytes, direction, length, time-out and a digest of the data it
// received), the exclusive hold of the drive, every message box, status line
// and progress change, the cursor, waits, the inhibitor lock and the
// restart. The test doubles, the in-memory form and RecordingTransport write
// into a log when they are given one; a test compares it with the log it
// expects, written out line by line with the same functions.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Services.h"
#include "platform/Transport.h"
#include "tests/support/PrintingServices.h"

namespace testing_support {

using RunLog = std::vector<std::string>;

// A text with its line feeds and other control bytes made visible.
inline std::string Escaped(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    if (c == '\n') {
      shown += "\\n";
    } else if (static_cast<unsigned char>(c) < 0x20 || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
      shown += escaped;
    } else {
      shown += c;
    }
  }
  return shown;
}

// 64-bit FNV-1a over 8-byte words and the bytes after the last whole word.
inline std::string Digest(const uint8_t* data, size_t size) {
  uint64_t hash = 0xcbf29ce484222325u;
  size_t at = 0;
  for (; at + 8 <= size; at += 8) {
    uint64_t word;
    std::memcpy(&word, data + at, 8);
    hash = (hash ^ word) * 0x100000001b3u;
  }
  for (; at < size; ++at) hash = (hash ^ data[at]) * 0x100000001b3u;
  char text[20];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

// "> 3B 05 01 00 40 00 00 40 00 00 00 00  out 16384  60 s  data 0123456789abcdef":
// the data is what the drive received (direction out), none for data in.
inline std::string CommandLine(const platform::Cdb& cdb, platform::Direction direction, uint32_t length,
                               unsigned timeoutSeconds, const uint8_t* dataOut = nullptr) {
  std::string line = ">";
  for (const uint8_t byte : cdb) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", byte);
    line += hex;
  }
  line += direction == platform::Direction::In ? "  in " : "  out ";
  line += std::to_string(length) + "  " + std::to_string(timeoutSeconds) + " s";
  if (direction == platform::Direction::Out && length > 0 && dataOut != nullptr) line += "  data " + Digest(dataOut, length);
  return line;
}

inline std::string BoxLine(platform::BoxKind kind, const std::string& caption, const std::string& text,
                           platform::BoxButtons buttons) {
  return std::string("box ") + platform::BoxKindName(kind) + " \"" + caption + "\" " +
         (buttons == platform::BoxButtons::YesNo ? "Yes/No" : "OK") + ": " + Escaped(text);
}

// The status line, quoted: its blanks at the end count.
inline std::string StatusLine(const std::string& text) { return "status \"" + Escaped(text) + "\""; }

inline std::string ProgressRangeLine(int minimum, int maximum) {
  return "progress range " + std::to_string(minimum) + " to " + std::to_string(maximum);
}
inline std::string ProgressStepLine(int step) { return "progress step " + std::to_string(step); }
// The position asked for, before the bar keeps it within its range.
inline std::string ProgressLine(int position) { return "progress " + std::to_string(position); }

inline std::string ComboInsertLine(int index, const std::string& text) {
  return "combo insert " + std::to_string(index) + " \"" + Escaped(text) + "\"";
}
inline std::string ComboDeleteLine(int index) { return "combo delete " + std::to_string(index); }
inline std::string ComboSelectLine(int index) { return "combo select " + std::to_string(index); }
inline const std::string kComboRepaintLine = "combo repaint";

inline const std::string kHourglassLine = "cursor hourglass";
inline const std::string kDefaultCursorLine = "cursor default";
inline std::string SleepLine(unsigned milliseconds) { return "sleep " + std::to_string(milliseconds) + " ms"; }
inline const std::string kInhibitLine = "inhibitor taken";
inline const std::string kInhibitReleaseLine = "inhibitor released";
inline const std::string kRestartLine = "restart requested";
// The drive held exclusively for a flash, or the node that could not be held, and let go again.
inline const std::string kHoldLine = "drive held";
inline std::string HoldRefusedLine(const std::string& node) { return "drive not held: " + node; }
inline const std::string kLetGoLine = "drive let go";

}  // namespace testing_support
