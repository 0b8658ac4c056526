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
#include "platform/Transcript.h"
#include "platform/Transport.h"
#include "tests/support/PrintingServices.h"

namespace testing_support {

using RunLog = std::vector<std::string>;

// The lines that a transcript has too come from its format's own functions.
inline std::string Escaped(const std::string& text) { return platform::EscapedText(text); }

inline std::string Digest(const uint8_t* data, size_t size) { return platform::DataDigest(data, size); }

inline std::string CommandLine(const platform::Cdb& cdb, platform::Direction direction, uint32_t length,
                               unsigned timeoutSeconds, const uint8_t* dataOut = nullptr) {
  return platform::CommandRequestLine(cdb, direction, length, timeoutSeconds, dataOut);
}

inline std::string BoxLine(platform::BoxKind kind, const std::string& caption, const std::string& text,
                           platform::BoxButtons buttons) {
  return platform::BoxShownLine(kind, caption, text, buttons);
}

inline std::string StatusLine(const std::string& text) { return platform::StatusShownLine(text); }

inline std::string ProgressRangeLine(int minimum, int maximum) {
  return "progress range " + std::to_string(minimum) + " to " + std::to_string(maximum);
}
inline std::string ProgressStepLine(int step) { return "progress step " + std::to_string(step); }
// The position asked for, before the bar keeps it within its range.
inline std::string ProgressLine(int position) { return "progress " + std::to_string(position); }

inline std::string ComboInsertLine(int index, const std::string& text) {
  return platform::ComboInsertShownLine(index, text);
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
inline const std::string kTranscriptSyncLine = "transcript synced";
// The drive held exclusively for a flash, or the node that could not be held, and let go again.
inline const std::string kHoldLine = "drive held";
inline std::string HoldRefusedLine(const std::string& node) { return "drive not held: " + node; }
inline const std::string kLetGoLine = "drive let go";

}  // namespace testing_support
