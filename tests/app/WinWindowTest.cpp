// The Win32 main window: the controls' places, the font each control draws
// its text in, and the drive (or model) box's heights; what the window does
// with the system's and other programs' messages while a flash runs.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "app/win/FormFont.h"
#include "app/win/TFlashForm.h"
#include "drive/CDDrive.h"
#include "flash/CommandBlocks.h"
#include "package/Package.h"
#include "platform/StopGuard.h"
#include "platform/sim/SimTransport.h"
#include "platform/win/WinServices.h"
#include "tests/package/WorkDir.h"
#include "tests/support/CraftedPackage.h"
#include "tests/support/Replay.h"
#include "tests/support/TestDoubles.h"

// RECT, compared and printed by the assertions (found by argument lookup).
inline bool operator==(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

inline std::ostream& operator<<(std::ostream& out, const RECT& r) {
  return out << r.left << "," << r.top << " " << r.right - r.left << "x" << r.bottom - r.top;
}

namespace {

using form_font::PrintableAscii;

std::string TextOf(HWND control) {
  std::string text(static_cast<size_t>(GetWindowTextLengthA(control)) + 1, '\0');
  text.resize(static_cast<size_t>(GetWindowTextA(control, text.data(), static_cast<int>(text.size()))));
  return text;
}

// The characters of `text` for which the font that `control` draws in has no
// glyph, as the font's own character mapping says.
std::string MissingGlyphs(HWND control, const std::string& text) {
  const auto font = reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0));
  HDC dc = GetDC(control);
  const HGDIOBJ previous = SelectObject(dc, font != nullptr ? font : GetStockObject(SYSTEM_FONT));
  std::vector<WORD> glyphs(text.size());
  const DWORD count = GetGlyphIndicesA(dc, text.data(), static_cast<int>(text.size()), glyphs.data(),
                                       GGI_MARK_NONEXISTING_GLYPHS);
  SelectObject(dc, previous);
  ReleaseDC(control, dc);
  if (count == GDI_ERROR) return "(no glyph indices) " + text;
  std::string missing;
  for (size_t i = 0; i < text.size() && i < count; ++i) {
    if (glyphs[i] == 0xFFFF) missing += text[i];
  }
  return missing;
}

// The font's request: its character height and weight.
LOGFONTA FontOf(HWND control) {
  LOGFONTA font{};
  GetObjectA(reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0)), sizeof font, &font);
  return font;
}

RECT PlaceIn(HWND control, HWND parent) {
  RECT place;
  GetWindowRect(control, &place);
  MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&place), 2);
  return place;
}

class WinWindowTest : public ::testing::Test {
 protected:
  testing_support::ServicesScope services;
  std::vector<uint8_t> package = package::MakeBuilderPackage("");
};

// Which font the form takes, given which of its requests' fonts have glyphs
// for what: each row names, per request, the characters it lacks.
TEST(FormFont, FirstRequestWithGlyphsForTheTextsIsTaken) {
  const std::vector<form_font::FontRequest>& requests = form_font::FontRequests();
  ASSERT_GE(requests.size(), 3u);
  EXPECT_STREQ(requests[0].face, "System");
  EXPECT_EQ(requests[0].charSet, CHINESEBIG5_CHARSET);
  const std::string latin = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  struct Row {
    const char* what;
    std::vector<std::string> lacking;  // per request; requests beyond lack everything
    std::string text;
    size_t expected;
  };
  for (const Row& row : std::vector<Row>{
           {"the layout's font has them all", {"", ""}, "Q150.BIN", 0},
           {"a Big5 font without Latin letters", {latin, ""}, "Q150.BIN", 1},
           {"only the third has the text's letter", {latin, "\xE9", ""}, "caf\xE9.BIN", 2},
           {"none has the text's letter: the first with ASCII", {latin, "\xE9", "\xE9"}, "caf\xE9.BIN", 1},
           {"a Big5 text only the Big5 font has: Latin letters first", {latin, "\xB3"}, "\xB3\x5C", 1},
           {"none has even ASCII: the layout's", {latin, "!", "~"}, "", 0},
       }) {
    SCOPED_TRACE(row.what);
    std::vector<std::string> asked;
    const size_t chosen = form_font::ChooseFont(
        requests,
        [&](const form_font::FontRequest& request, const std::string& needed) {
          const size_t index = static_cast<size_t>(&request - requests.data());
          asked.push_back(request.face);
          if (index >= row.lacking.size()) return false;
          return needed.find_first_of(row.lacking[index]) == std::string::npos;
        },
        row.text);
    EXPECT_EQ(chosen, row.expected);
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(asked[0], "System");
  }
}

TEST_F(WinWindowTest, ControlsLieInTheirPlaces) {
  TFlashForm form(package.data());
  RECT client;
  GetClientRect(form.Handle(), &client);
  EXPECT_EQ(client, (RECT{0, 0, 425, 201}));
  struct Expected {
    const char* name;
    HWND control;
    RECT place;
  };
  for (const Expected& e : std::vector<Expected>{
           {"SelectDriveLabel", form.SelectDriveLabel, {16, 16, 16 + 369, 16 + 25}},
           {"ComboBox", form.ComboBox, {16, 40, 16 + 385, 40 + 24}},
           {"FileListBox1", form.FileListBox1, {16, 72, 16 + 385, 72 + 41}},
           {"GroupBox2", form.GroupBox2, {16, 128, 16 + 385, 128 + 49}},
           {"ProgressBar", form.ProgressBar, {16 + 8, 128 + 16, 16 + 8 + 305, 128 + 16 + 25}},
           {"FlashButton", form.FlashButton, {16 + 320, 128 + 16, 16 + 320 + 57, 128 + 16 + 25}},
       }) {
    EXPECT_EQ(PlaceIn(e.control, form.Handle()), e.place) << e.name;
  }
}

// Whatever fonts the system has (a Big5 font without Latin letters is the
// only one of its character set on many Linux desktops under Wine), every
// control draws the window's texts with real glyphs, in a 16-pixel bold font.
TEST_F(WinWindowTest, EveryTextIsDrawnWithGlyphsOfASixteenPixelBoldFont) {
  package_tests::TempDir dir;
  for (const char* name : {"Q150.BIN", "K300.BIN"}) package_tests::WriteText(dir / name, "x");
  TFlashForm form(package.data());
  const std::string ascii = PrintableAscii();
  form.SetSelectDriveLabel("Select the VoxTEL-DS drive you want to update:");
  form.ComboAdd("Q100-Q149 VOX-TEL QRD-73318K");
  form.ComboAdd(ascii);
  form.ComboSetItemIndex(0);
  form.FileListSetDirectory(dir.Path().string());
  form.FileListSetMask("*.BIN");
  form.SetStatus("Read back and Verify drive's DRAM... , Compare BIN and DRAM Fail! ");
  form.SetFlashButtonCaption("Build");

  COMBOBOXINFO combo{};
  combo.cbSize = sizeof combo;
  ASSERT_TRUE(GetComboBoxInfo(form.ComboBox, &combo));
  ASSERT_EQ(form.FileListItems().size(), 2u);
  struct Shown {
    const char* name;
    HWND control;
    std::string text;
  };
  for (const Shown& shown : std::vector<Shown>{
           {"SelectDriveLabel", form.SelectDriveLabel, TextOf(form.SelectDriveLabel)},
           {"ComboBox's field", combo.hwndItem, TextOf(combo.hwndItem)},
           {"ComboBox's list", combo.hwndList, form.ComboItems()[0] + form.ComboItems()[1]},
           {"FileListBox1", form.FileListBox1, form.FileListItems()[0] + form.FileListItems()[1]},
           {"GroupBox2", form.GroupBox2, TextOf(form.GroupBox2)},
           {"FlashButton", form.FlashButton, TextOf(form.FlashButton)},
       }) {
    SCOPED_TRACE(shown.name);
    ASSERT_FALSE(shown.text.empty());
    EXPECT_EQ(MissingGlyphs(shown.control, shown.text), "");
    EXPECT_EQ(MissingGlyphs(shown.control, ascii), "");
    const LOGFONTA font = FontOf(shown.control);
    EXPECT_EQ(font.lfHeight, -16);
    EXPECT_EQ(font.lfWeight, FW_BOLD);
  }
}

// The box is 24 pixels high whatever its font, and its list has rows of 16
// pixels, as the file list has, also after the list has been dropped down.
TEST_F(WinWindowTest, BoxIsTwentyFourPixelsHighWithRowsOfSixteen) {
  TFlashForm form(package.data());
  form.Show();
  form.ComboAdd("Q100-Q149 VOX-TEL QRD-73318K");
  form.ComboAdd("K100-K299 VOX-TEL DVD-ROM MVK-417");
  form.ComboSetItemIndex(0);
  for (const char* name : {"Q150.BIN", "K300.BIN"}) {
    SendMessageA(form.FileListBox1, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
  }
  COMBOBOXINFO combo{};
  combo.cbSize = sizeof combo;
  ASSERT_TRUE(GetComboBoxInfo(form.ComboBox, &combo));
  for (bool dropped : {false, true}) {
    SCOPED_TRACE(dropped ? "dropped down" : "closed");
    SendMessageA(form.ComboBox, CB_SHOWDROPDOWN, dropped ? TRUE : FALSE, 0);
    RECT box;
    GetWindowRect(form.ComboBox, &box);
    EXPECT_EQ(box.bottom - box.top, 24);
    EXPECT_EQ(SendMessageA(form.ComboBox, CB_GETITEMHEIGHT, 0, 0), 16);
    for (int row = 0; row < 2; ++row) {
      RECT item{};
      SendMessageA(combo.hwndList, LB_GETITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
      EXPECT_EQ(item.bottom - item.top, 16) << row;
      EXPECT_EQ(item.top, 16 * row) << row;
      SendMessageA(form.FileListBox1, LB_GETITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
      EXPECT_EQ(item.bottom - item.top, 16) << row;
    }
  }
  SendMessageA(form.ComboBox, CB_SHOWDROPDOWN, FALSE, 0);
}

// --- While a flash runs --------------------------------------------------------

using Match = std::function<bool(const platform::Cdb&)>;

// Simulated drives that, from inside the first command a cue matches, do
// what the cue says. The command runs on a thread of its own while the
// window's thread takes sent messages (WinBlockingCalls), so a message sent
// from the cue reaches the window as one from another program does while the
// drive works.
class CueingTransport final : public platform::sim::SimTransport {
 public:
  void At(Match match, std::function<void()> action) { cues_.push_back({std::move(match), std::move(action)}); }
  platform::CommandOutcome Execute(platform::DeviceHandle handle, const platform::Cdb& cdb,
                                   platform::Direction direction, uint8_t* buffer, uint32_t length,
                                   unsigned timeoutSeconds) override {
    for (Cue& cue : cues_) {
      if (!cue.action || !cue.match(cdb)) continue;
      const std::function<void()> action = std::move(cue.action);
      cue.action = nullptr;
      action();
    }
    return SimTransport::Execute(handle, cdb, direction, buffer, length, timeoutSeconds);
  }

 private:
  struct Cue {
    Match match;
    std::function<void()> action;
  };
  std::vector<Cue> cues_;
};

bool IsLoad(const platform::Cdb& cdb) { return cdb == flash::StartStopUnitBlock(0x03); }
bool IsMiddleBlockWrite(const platform::Cdb& cdb) {
  return cdb == flash::WriteBufferBlock(0x40000, flash::kBlockSize, flash::kControlData);
}
bool IsFlashStart(const platform::Cdb& cdb) {
  return cdb[0] == flash::kWriteBuffer && cdb[9] == flash::kControlFlashStart;
}

const std::string kQuestion = "\nUpdate Firmware Q120 to Q150 ?\n";
const std::string kRestart = "The system needs to be restarted for the changes to take effect ?";

// Takes every message waiting in the thread's queue, as the program's loop
// does; true when one of them asked the loop to end.
bool TakeQueuedMessages() {
  bool quit = false;
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      quit = true;
      continue;
    }
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return quit;
}

// A flash window over a simulated drive that fits, with the program's own
// blocking calls and requests to stop.
class WinFlashWindowTest : public WinWindowTest {
 protected:
  WinFlashWindowTest() {
    platform::GetServices().blocking = &blocking;
    platform::GetServices().inhibitor = &inhibitor;
    TakeQueuedMessages();
  }
  // Every flash left a transcript, which replays to the same end.
  void TearDown() override {
    CDDrive::SetTransport(nullptr);
    EXPECT_TRUE(testing_support::AllReplay(flash, services.transcripts.Texts()));
  }
  platform::sim::SimDrive& AddFittingDrive(CueingTransport& transport) {
    platform::sim::DriveConfig config;
    config.revisionAfterFlash = "Q150";
    platform::sim::SimDrive& drive = transport.AddDrive(config);
    CDDrive::SetTransport(&transport);
    return drive;
  }
  // The start-up's warning answered Yes; a request to stop goes to `stops`.
  void CreateFlashWindow(TFlashForm& form, platform::StopGuard& stops) {
    platform::GetServices().stop = &stops;
    form.SetStopGuard(&stops);
    services.boxes.AnswerYes();
    form.FormCreate();
    ASSERT_EQ(form.ComboCount(), 1);
    services.boxes.shown.clear();
  }
  // FLASH clicked, Yes to the update question, No to the restart.
  void Flash(TFlashForm& form) {
    services.boxes.ClearScript();
    services.boxes.AnswerYes();
    SendMessageA(form.FlashButton, BM_CLICK, 0, 0);
  }

  platform::win::WinBlockingCalls blocking;
  platform::win::WinInhibitor inhibitor;
  const std::vector<uint8_t> flash = testing_support::CraftPackage();
};

// Windows XP asks every window before it suspends or goes on standby: the
// flash refuses while it holds its lock (from the first write to the drive
// until the flash has its outcome), and leaves the answer to the system
// before and after.
TEST_F(WinFlashWindowTest, StandbyIsRefusedOnlyWhileAFlashHoldsItsLock) {
  CueingTransport transport;
  AddFittingDrive(transport);
  platform::StopGuard stops;
  TFlashForm form(flash.data());
  CreateFlashWindow(form, stops);
  const HWND window = form.Handle();
  // Whether each question is refused; any other answer allows it.
  const auto ask = [window] {
    return std::vector<bool>{
        SendMessageA(window, WM_POWERBROADCAST, PBT_APMQUERYSUSPEND, 1) == BROADCAST_QUERY_DENY,
        SendMessageA(window, WM_POWERBROADCAST, PBT_APMQUERYSTANDBY, 1) == BROADCAST_QUERY_DENY};
  };
  const std::vector<bool> allowed{false, false};
  const std::vector<bool> refused{true, true};
  EXPECT_EQ(ask(), allowed) << "before the flash";
  std::vector<bool> atRest, writing, programming;
  transport.At(IsLoad, [&] { atRest = ask(); });
  transport.At(IsMiddleBlockWrite, [&] { writing = ask(); });
  transport.At(IsFlashStart, [&] { programming = ask(); });
  Flash(form);
  EXPECT_EQ(form.GetStatus(), "Flash Completed.");
  EXPECT_EQ(atRest, allowed) << "the drive brought to rest, nothing written yet";
  EXPECT_EQ(writing, refused) << "the image's blocks";
  EXPECT_EQ(programming, refused) << "the flash start";
  TakeQueuedMessages();
  EXPECT_EQ(ask(), allowed) << "after the flash";
}

// While the flash runs, a second click on FLASH by another route (UI
// Automation's Invoke sends BM_CLICK, another program may send or post
// WM_COMMAND) starts nothing: not inside the flash, nor after it from the
// queue. The flash runs once, with one question and its commands alone.
TEST_F(WinFlashWindowTest, SecondClickByAnyRouteStartsNothing) {
  struct Row {
    const char* what;
    Match when;
    bool post;      // posted, not sent
    bool toButton;  // BM_CLICK to FLASH, not WM_COMMAND to the form
  };
  size_t commandsOfOneFlash = 0;
  for (const Row& row : std::vector<Row>{
           {"nothing else: the commands of one flash", nullptr, false, false},
           {"BM_CLICK sent amid the image's blocks", IsMiddleBlockWrite, false, true},
           {"BM_CLICK sent during the flash start", IsFlashStart, false, true},
           {"BM_CLICK sent while the drive is brought to rest", IsLoad, false, true},
           {"BM_CLICK posted amid the image's blocks", IsMiddleBlockWrite, true, true},
           {"WM_COMMAND sent amid the image's blocks", IsMiddleBlockWrite, false, false},
           {"WM_COMMAND posted amid the image's blocks", IsMiddleBlockWrite, true, false},
       }) {
    SCOPED_TRACE(row.what);
    CueingTransport transport;
    platform::sim::SimDrive& drive = AddFittingDrive(transport);
    platform::StopGuard stops;
    TFlashForm form(flash.data());
    CreateFlashWindow(form, stops);
    const HWND window = form.Handle();
    const HWND button = form.FlashButton;
    if (row.when) {
      transport.At(row.when, [&row, window, button] {
        const HWND to = row.toButton ? button : window;
        const UINT message = row.toButton ? BM_CLICK : WM_COMMAND;
        const WPARAM wParam = row.toButton ? 0 : MAKEWPARAM(0, BN_CLICKED);
        const LPARAM lParam = row.toButton ? 0 : reinterpret_cast<LPARAM>(button);
        if (row.post) {
          PostMessageA(to, message, wParam, lParam);
        } else {
          SendMessageA(to, message, wParam, lParam);
        }
      });
    }
    Flash(form);
    EXPECT_FALSE(TakeQueuedMessages());
    EXPECT_EQ(services.boxes.Texts(), (std::vector<std::string>{kQuestion, kRestart}));
    EXPECT_EQ(form.GetStatus(), "Flash Completed.");
    EXPECT_EQ(drive.FlashStartCount(), 1u);
    if (commandsOfOneFlash == 0) commandsOfOneFlash = drive.Commands().size();
    EXPECT_EQ(drive.Commands().size(), commandsOfOneFlash);
    EXPECT_TRUE(IsWindow(window));
    services.boxes.shown.clear();
    CDDrive::SetTransport(nullptr);
  }
  EXPECT_EQ(services.transcripts.Texts().size(), 7u);
}

// Closing the window while a flash runs asks the flash to stop: before its
// first write to the drive the flash ends there, with nothing written; from
// then on the request is held off, the flash runs to its end (its failure
// box included) and offers no restart. The window closes once the flash is
// over, and the program's loop ends.
TEST_F(WinFlashWindowTest, CloseDuringAFlashStopsItOrWaitsForIt) {
  struct Row {
    const char* what;
    Match when;
    bool readBackFails;
    std::string line;  // the transcript's line for the request
    std::vector<std::string> boxes;
    unsigned flashStarts;
  };
  const std::string compareFail = "Compare BIN and DRAM fail!";
  for (const Row& row : std::vector<Row>{
           {"while the drive is brought to rest", IsLoad, false, "stop window closed", {kQuestion}, 0},
           {"amid the image's blocks", IsMiddleBlockWrite, false, "held window closed", {kQuestion}, 1},
           {"during the flash start", IsFlashStart, false, "held window closed", {kQuestion}, 1},
           {"amid the blocks of a flash whose read-back fails", IsMiddleBlockWrite, true, "held window closed",
            {kQuestion, compareFail}, 0},
       }) {
    SCOPED_TRACE(row.what);
    const size_t transcriptsBefore = services.transcripts.Texts().size();
    CueingTransport transport;
    platform::sim::SimDrive& drive = AddFittingDrive(transport);
    if (row.readBackFails) drive.FailOpcode(flash::kReadBuffer, platform::sim::Fault::CorruptByte(), 20);
    platform::StopGuard stops;
    TFlashForm form(flash.data());
    CreateFlashWindow(form, stops);
    const HWND window = form.Handle();
    transport.At(row.when, [window] { SendMessageA(window, WM_CLOSE, 0, 0); });
    Flash(form);
    // The window stays until the flash is over: the failure box is shown in it.
    EXPECT_TRUE(IsWindow(window));
    EXPECT_EQ(services.boxes.Texts(), row.boxes);
    EXPECT_EQ(drive.FlashStartCount(), row.flashStarts);
    EXPECT_EQ(drive.CountOpcode(flash::kWriteBuffer) > 0, row.line != "stop window closed") << "written to";
    EXPECT_FALSE(drive.HeldExclusively());
    ASSERT_EQ(services.transcripts.Texts().size(), transcriptsBefore + 1);
    EXPECT_NE(services.transcripts.Texts().back().find(" " + row.line + "\n"), std::string::npos);
    EXPECT_TRUE(TakeQueuedMessages()) << "the program's loop ends";
    EXPECT_FALSE(IsWindow(window));
    services.boxes.shown.clear();
    CDDrive::SetTransport(nullptr);
  }
}

}  // namespace
