// The flash of a transcript run again with the form of the tests, against
// the recorded drive alone, and compared with the recording: what every
// flash test checks of the transcripts its flashes leave.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// Whether the flash that `transcript` recorded, run again with `package` and
// the recorded answers, shows and sends the same; if not, the recorded line
// where it parts.
::testing::AssertionResult Replays(const std::vector<uint8_t>& package, const std::string& transcript);

// Every transcript in `transcripts` replays (each named by its number in a
// failure); after the first, one whose drive the start-up does not list
// (flashed again after its new revision left the package's range) is passed over.
::testing::AssertionResult AllReplay(const std::vector<uint8_t>& package, const std::vector<std::string>& transcripts);

// Each transcript holds what the run log saw while its flash ran: the same
// command lines, boxes, status lines and refreshed drive entry, in the same
// order, none left out (the log may hold more between two flashes).
::testing::AssertionResult MatchLog(const std::vector<std::string>& log, const std::vector<std::string>& transcripts);

}  // namespace testing_support
