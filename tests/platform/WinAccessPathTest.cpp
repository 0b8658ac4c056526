// The Windows back-end on the system it runs on (under Wine here): the
// system's version decides the access path, Wine's own ASPI library loads
// and answers, pass-through discovery and open go through the system, and
// error codes become the system's texts. The ASPI tests run a second time
// where Wine reports Windows 98 (FLASHUTIL_EXPECT_PLATFORM=1).
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "drive/CDDrive.h"
#include "drive/CDDrives.h"
#include "platform/win/WinServices.h"
#include "platform/win/WinTransport.h"
#include "tests/support/TestDoubles.h"

namespace {

DWORD SystemPlatform() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExA(&version);
  return version.dwPlatformId;
}

TEST(WinAccessPath, TheSystemVersionDecidesThePath) {
  if (const char* expected = std::getenv("FLASHUTIL_EXPECT_PLATFORM")) {
    ASSERT_EQ(SystemPlatform(), static_cast<DWORD>(std::atoi(expected))) << "Wine's version is not the one asked for";
  }
  auto path = platform::win::MakeCommandLibraryPath();
  EXPECT_EQ(path->UsesPassThrough(), SystemPlatform() == VER_PLATFORM_WIN32_NT);
}

TEST(WinAccessPath, TheAspiLibraryLoadsAndAnswers) {
  auto path = platform::win::MakeCommandLibraryPath();
  std::unique_ptr<platform::AspiLibrary> library = path->LoadAspiLibrary("WNASPI32.DLL");
  ASSERT_TRUE(library);
  EXPECT_TRUE(library->HasEntry("GetASPI32SupportInfo"));
  EXPECT_TRUE(library->HasEntry("SendASPI32Command"));
  EXPECT_FALSE(library->HasEntry("NoSuchEntryPoint"));
  // No host adapter on a machine without SCSI: status SS_NO_ADAPTERS (0xE8).
  EXPECT_EQ((library->GetSupportInfo() >> 8) & 0xFF, 0xE8u);
  EXPECT_FALSE(path->LoadAspiLibrary("NOSUCHASPI.DLL"));
}

// Construction through the system's path: outside the NT family the
// library's status ends it with 0x60 and no drive is listed; inside it
// Wine has no CD-ROM drive letter, so the list is empty too.
TEST(WinAccessPath, DrivesOnTheSystemsPath) {
  testing_support::ServicesScope services;
  auto transport = platform::win::MakePassThroughTransport();
  auto path = platform::win::MakeCommandLibraryPath();
  CDDrive::SetTransport(transport.get());
  CDDrive::SetCommandLibrary(path.get());
  if (SystemPlatform() != VER_PLATFORM_WIN32_NT) {
    CDDrive drive(' ', 0, 0, 0);
    EXPECT_FALSE(CDDrive::NtMode);
    EXPECT_EQ(CDDrive::GetOpenResult(), CDDrive::kBadSupportStatus);
    EXPECT_FALSE(CDDrive::AspiLibrary);
  }
  {
    CDDrives drives;
    EXPECT_EQ(drives.GetCount(), 0);
  }
  EXPECT_TRUE(services.boxes.shown.empty());
  CDDrive::SetTransport(nullptr);
  CDDrive::SetCommandLibrary(nullptr);
}

TEST(WinAccessPath, PassThroughOpenFailsWithTheSystemsCodeAndText) {
  auto transport = platform::win::MakePassThroughTransport();
  for (const platform::DeviceInfo& device : transport->EnumerateDrives()) {
    EXPECT_EQ(GetDriveTypeA((std::string(1, static_cast<char>(device.driveLetter)) + ":\\").c_str()),
              static_cast<UINT>(DRIVE_CDROM));
    EXPECT_EQ(device.node, std::string("\\\\.\\") + static_cast<char>(device.driveLetter) + ":");
  }
  platform::DeviceInfo missing;
  missing.driveLetter = 'Q';
  missing.node = "\\\\.\\Q:";
  platform::DeviceHandle handle = platform::kNoHandle;
  const int error = transport->Open(missing, handle);
  EXPECT_NE(error, 0);
  EXPECT_EQ(handle, platform::kNoHandle);
  EXPECT_FALSE(transport->ErrorText(error).empty()) << error;
  EXPECT_EQ(transport->ErrorText(ERROR_ACCESS_DENIED).rfind("Access", 0), 0u);
  // A handle that is not open: the call fails with the system's code.
  const platform::CommandOutcome outcome = transport->Execute(7, platform::Cdb{}, platform::Direction::In, nullptr, 0, 60);
  EXPECT_FALSE(outcome.transportOk);
  EXPECT_EQ(outcome.sysError, ERROR_INVALID_HANDLE);
}

// A request left outstanding by a timed-out wait completes later into
// memory of its own: neither the caller's buffer nor the request block of
// the next command sees its data or its status.
TEST(WinAccessPath, ALateCompletionNeverReachesTheNextCommand) {
  auto path = platform::win::MakeCommandLibraryPath();
  std::unique_ptr<platform::AspiLibrary> library = path->LoadAspiLibrary(FAKE_ASPI_PATH);
  ASSERT_TRUE(library);
  ASSERT_EQ(library->GetSupportInfo(), 0x0101u);
  std::vector<uint8_t> buffer(64, 0x11);
  auto request = [&](uint8_t opcode) {
    platform::AspiRequest r;
    r.command = 2;
    r.flags = platform::kSrbDirIn | platform::kSrbEventNotify;
    r.bufferLength = static_cast<uint32_t>(buffer.size());
    r.buffer = buffer.data();
    r.senseLength = 14;
    r.cdbLength = 12;
    r.cdb[0] = opcode;
    return r;
  };

  platform::AspiRequest slow = request(0x3C);
  library->SendCommand(slow);
  ASSERT_EQ(slow.status, platform::kSrbPending);
  EXPECT_FALSE(library->WaitForCompletion(slow, 10));

  platform::AspiRequest next = request(0x12);
  library->SendCommand(next);
  EXPECT_EQ(next.status, platform::kSrbCompleted);
  EXPECT_EQ(std::memcmp(buffer.data(), "FAKE", 4), 0);
  Sleep(600);  // the first request completes now
  EXPECT_EQ(std::memcmp(buffer.data(), "FAKE", 4), 0);
  EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xEE), 0);
  EXPECT_EQ(slow.status, platform::kSrbPending);
  EXPECT_EQ(next.status, platform::kSrbCompleted);
  // A request that completes within its wait brings its data back.
  platform::AspiRequest waited = request(0x3C);
  library->SendCommand(waited);
  EXPECT_TRUE(library->WaitForCompletion(waited, 5000));
  EXPECT_EQ(waited.status, platform::kSrbCompleted);
  EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xEE), 64);
}

TEST(WinAccessPath, BoxesCarryTheIconOfTheirKind) {
  using platform::BoxButtons;
  using platform::BoxKind;
  EXPECT_EQ(platform::win::BoxStyle(BoxKind::Warning, BoxButtons::YesNo), UINT{MB_YESNO | MB_ICONWARNING});
  EXPECT_EQ(platform::win::BoxStyle(BoxKind::Error, BoxButtons::Ok), UINT{MB_OK | MB_ICONERROR});
  EXPECT_EQ(platform::win::BoxStyle(BoxKind::Confirmation, BoxButtons::YesNo), UINT{MB_YESNO | MB_ICONQUESTION});
  EXPECT_EQ(platform::win::BoxStyle(BoxKind::Plain, BoxButtons::Ok), UINT{MB_OK});
}

}  // namespace
