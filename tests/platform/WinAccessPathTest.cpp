// The Windows back-end on the system it runs on (under Wine here): the
// system's version decides the access path, Wine's own ASPI library loads
// and answers, pass-through discovery and open go through the system, and
// error codes become the system's texts. The ASPI tests run a second time
// where Wine reports Windows 98 (FLASHUTIL_EXPECT_PLATFORM=1).
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
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
  EXPECT_EQ(transport->OpenRemedy(error), "");
  // Only an administrator opens a drive letter's device for reading and
  // writing: a refused open says so below its message. A folder stands in
  // for the device: its plain open is refused with the same code (Wine runs
  // every program with all rights, and as root here a read-only file opens).
  if (SystemPlatform() == VER_PLATFORM_WIN32_NT) {
    char temp[MAX_PATH] = {};
    ASSERT_NE(GetTempPathA(sizeof temp, temp), 0u);
    const std::string node = std::string(temp) + "flashutil-denied-" + std::to_string(GetCurrentProcessId());
    RemoveDirectoryA(node.c_str());
    ASSERT_TRUE(CreateDirectoryA(node.c_str(), nullptr));
    testing_support::ServicesScope services;
    CDDrive::SetTransport(transport.get());
    platform::DeviceInfo denied;
    denied.driveLetter = 'Q';
    denied.node = node;
    {
      CDDrive drive(denied);
      EXPECT_EQ(CDDrive::GetOpenResult(), CDDrive::kOpenFailed);
    }
    CDDrive::ResetClassState();  // the failed open left its messages switched on
    RemoveDirectoryA(node.c_str());
    ASSERT_FALSE(services.boxes.shown.empty());
    EXPECT_EQ(services.boxes.shown[0].text,
              "Error opening: 5, Drive: " + denied.Name() +
                  "\nRun the program as administrator (right-click it, then \"Run as administrator\").");
  }
  // A handle that is not open: the call fails with the system's code.
  const platform::CommandOutcome outcome = transport->Execute(7, platform::Cdb{}, platform::Direction::In, nullptr, 0, 60);
  EXPECT_FALSE(outcome.transportOk);
  EXPECT_EQ(outcome.sysError, ERROR_INVALID_HANDLE);
}

// A flash holds the drive letter's device by opening it again so that no
// other program may open it, and gives it back shared for reading after.
// A plain file stands in for the device: the system checks share modes of
// both alike, and a file's folder can be moved away to make the open fail.
TEST(WinAccessPath, AFlashHoldsTheDriveAlone) {
  char temp[MAX_PATH] = {};
  ASSERT_NE(GetTempPathA(sizeof temp, temp), 0u);
  const std::string folder = std::string(temp) + "flashutil-hold-" + std::to_string(GetCurrentProcessId());
  const std::string moved = folder + "-moved";
  const std::string node = folder + "\\drive";
  // What a run that failed half-way left behind goes first.
  for (const std::string& left : {folder, moved}) {
    DeleteFileA((left + "\\drive").c_str());
    RemoveDirectoryA(left.c_str());
  }
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  HANDLE created = CreateFileA(node.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(created, INVALID_HANDLE_VALUE);
  CloseHandle(created);

  auto transport = platform::win::MakePassThroughTransport();
  platform::DeviceInfo device;
  device.driveLetter = 'Q';
  device.node = node;
  platform::DeviceHandle handle = platform::kNoHandle;
  ASSERT_EQ(transport->Open(device, handle), 0);
  // Another program opening the drive: 0 or the system's code.
  auto otherOpens = [&](DWORD access) -> DWORD {
    const HANDLE file = CreateFileA(node.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(file);
    return 0;
  };
  // The code a command comes back with: a file's handle refuses pass-through
  // with a code of its own, a drive without a handle with the open's code.
  auto commandError = [&] {
    return transport->Execute(handle, platform::Cdb{}, platform::Direction::In, nullptr, 0, 60).sysError;
  };
  const int onTheHandle = commandError();
  ASSERT_NE(onTheHandle, ERROR_INVALID_HANDLE);
  ASSERT_NE(onTheHandle, 0);
  auto sharedForReading = [&] {
    EXPECT_EQ(otherOpens(GENERIC_READ), 0u);
    EXPECT_EQ(otherOpens(GENERIC_WRITE), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(commandError(), onTheHandle);
  };
  sharedForReading();

  // Held: nobody else opens it, not even for reading.
  ASSERT_EQ(transport->LockExclusive(handle).sysError, 0);
  EXPECT_EQ(otherOpens(GENERIC_READ), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(transport->LockExclusive(handle).sysError, 0);  // already held
  EXPECT_EQ(commandError(), onTheHandle);
  transport->UnlockExclusive(handle);
  sharedForReading();

  // Another program reads the drive: refused as in use, naming the device,
  // and the drive keeps its handle as it was.
  const HANDLE reader = CreateFileA(node.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  const platform::HoldOutcome busy = transport->LockExclusive(handle);
  EXPECT_EQ(busy.sysError, ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(busy.inUse);
  EXPECT_EQ(busy.node, node);
  sharedForReading();
  transport->UnlockExclusive(handle);  // nothing was held: nothing changes
  sharedForReading();
  CloseHandle(reader);

  // The device cannot be opened at all any more: neither held nor given back,
  // the drive has no handle, and its commands fail with the open's code.
  ASSERT_TRUE(MoveFileA(folder.c_str(), moved.c_str()));
  const platform::HoldOutcome gone = transport->LockExclusive(handle);
  EXPECT_EQ(gone.sysError, ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(gone.inUse);
  EXPECT_EQ(commandError(), ERROR_PATH_NOT_FOUND);
  ASSERT_TRUE(MoveFileA(moved.c_str(), folder.c_str()));
  // Back: the next hold opens it again; one that cannot be given back leaves no handle either.
  ASSERT_EQ(transport->LockExclusive(handle).sysError, 0);
  EXPECT_EQ(commandError(), onTheHandle);
  ASSERT_TRUE(MoveFileA(folder.c_str(), moved.c_str()));
  transport->UnlockExclusive(handle);
  EXPECT_EQ(commandError(), ERROR_PATH_NOT_FOUND);
  ASSERT_TRUE(MoveFileA(moved.c_str(), folder.c_str()));
  EXPECT_EQ(otherOpens(GENERIC_READ | GENERIC_WRITE), 0u);  // nothing of it left open
  ASSERT_EQ(transport->LockExclusive(handle).sysError, 0);
  transport->UnlockExclusive(handle);
  sharedForReading();
  transport->Close(handle);
  EXPECT_EQ(otherOpens(GENERIC_READ | GENERIC_WRITE), 0u);
  DeleteFileA(node.c_str());
  RemoveDirectoryA(folder.c_str());

  // What the system's refusals say: another program uses the drive, or its
  // volume has no file system to lock and the handle alone holds it.
  const struct {
    DWORD error;
    bool inUse;
    bool nothingToLock;
  } refusals[] = {
      {ERROR_SHARING_VIOLATION, true, false},   // the device is open elsewhere
      {ERROR_ACCESS_DENIED, true, false},       // a file of the disc is open, or the volume is locked
      {ERROR_LOCK_VIOLATION, true, false},
      {ERROR_INVALID_FUNCTION, false, true},    // no file system: the drive's driver answers
      {ERROR_NOT_READY, false, true},           // no disc
      {ERROR_UNRECOGNIZED_VOLUME, false, true},
      {ERROR_GEN_FAILURE, false, false},
      {ERROR_PATH_NOT_FOUND, false, false},
  };
  for (const auto& refusal : refusals) {
    EXPECT_EQ(platform::win::MeansInUse(refusal.error), refusal.inUse) << refusal.error;
    EXPECT_EQ(platform::win::NothingToLock(refusal.error), refusal.nothingToLock) << refusal.error;
  }
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

  // The library sets a request's status before it signals the request's
  // event. A request left outstanding keeps its event until the signal: were
  // the event closed as soon as the status said completed, the next
  // request's new event could get its handle and be woken by the late
  // signal, and that request would be given up while the drive carries it out.
  platform::AspiRequest late = request(0x3B);
  library->SendCommand(late);
  ASSERT_EQ(late.status, platform::kSrbPending);
  EXPECT_FALSE(library->WaitForCompletion(late, 10));
  Sleep(300);  // its status says completed now; its event waits for the next request
  std::fill(buffer.begin(), buffer.end(), 0x11);
  platform::AspiRequest after = request(0x3C);
  library->SendCommand(after);
  ASSERT_EQ(after.status, platform::kSrbPending);
  const DWORD start = GetTickCount();
  EXPECT_TRUE(library->WaitForCompletion(after, 5000));
  EXPECT_GE(GetTickCount() - start, 200u);  // woken by its own completion, 300 ms on
  EXPECT_EQ(after.status, platform::kSrbCompleted);
  EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xEE), 64);
  // And the next one after that finds nothing left to wake it either.
  platform::AspiRequest last = request(0x3C);
  library->SendCommand(last);
  EXPECT_TRUE(library->WaitForCompletion(last, 5000));
  EXPECT_EQ(last.status, platform::kSrbCompleted);
}

// A library sets a request's status and signals its event in either order,
// at any distance, and may not signal at all a request it completed at once.
// Whatever the order, the request ends once: the caller has its status and
// data as soon as both have come, or within its wait as soon as the status
// has come; its event is closed only after its signal (or with the
// library), never while a signal is still to come, so the next request,
// which completes 300 ms on, is woken by its own completion alone.
TEST(WinAccessPath, EveryRequestEndsOnceInEitherOrder) {
  constexpr uint8_t kAfterNext = 0xFF, kNever = 0xFE;  // fake_aspi's times of opcode 0xC0
  const struct {
    const char* order;
    uint8_t statusAt, signalAt;  // tens of milliseconds after submission; 0: within it
    uint32_t wait;               // milliseconds
    uint8_t status;              // the caller's, after the wait
  } orders[] = {
      {"both within the submission", 0, 0, 5000, platform::kSrbCompleted},
      {"status within the submission, no signal", 0, kNever, 5000, platform::kSrbCompleted},
      {"status within the submission, signal after the next request", 0, kAfterNext, 5000, platform::kSrbCompleted},
      {"status, then signal", 10, 10, 5000, platform::kSrbCompleted},
      {"status, signal long after the wait", 5, 40, 200, platform::kSrbCompleted},
      {"signal within the submission, status after it", 10, 0, 5000, platform::kSrbCompleted},
      {"signal, then status", 20, 5, 5000, platform::kSrbCompleted},
      {"signal, status after the wait", 40, 5, 200, platform::kSrbPending},
  };
  auto path = platform::win::MakeCommandLibraryPath();
  std::unique_ptr<platform::AspiLibrary> library = path->LoadAspiLibrary(FAKE_ASPI_PATH);
  ASSERT_TRUE(library);
  const HMODULE fake = LoadLibraryA(FAKE_ASPI_PATH);  // for the stand-in's own counts
  ASSERT_NE(fake, nullptr);
  using Count = LONG(__cdecl*)();
  auto count = [&](const char* name) {
    return reinterpret_cast<Count>(reinterpret_cast<void*>(GetProcAddress(fake, name)));
  };
  const Count eventsOpen = count("FakeAspiEventsOpen");
  const Count lostSignals = count("FakeAspiLostSignals");
  ASSERT_TRUE(eventsOpen != nullptr && lostSignals != nullptr);
  std::vector<uint8_t> buffer(64);
  auto send = [&](uint8_t opcode, uint8_t statusAt, uint8_t signalAt, uint32_t wait) {
    std::fill(buffer.begin(), buffer.end(), 0x11);
    platform::AspiRequest r;
    r.command = 2;
    r.flags = platform::kSrbDirIn | platform::kSrbEventNotify;
    r.bufferLength = static_cast<uint32_t>(buffer.size());
    r.buffer = buffer.data();
    r.senseLength = 14;
    r.cdbLength = 12;
    r.cdb = {opcode, statusAt, signalAt};
    library->SendCommand(r);
    if (r.status == platform::kSrbPending) library->WaitForCompletion(r, wait);
    return r.status;
  };
  for (const auto& o : orders) {
    SCOPED_TRACE(o.order);
    const LONG openBefore = eventsOpen(), lostBefore = lostSignals();
    EXPECT_EQ(send(0xC0, o.statusAt, o.signalAt, o.wait), o.status);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xEE), o.status == platform::kSrbCompleted ? 64 : 0);
    const DWORD start = GetTickCount();
    EXPECT_EQ(send(0x3C, 0, 0, 5000), platform::kSrbCompleted);
    EXPECT_GE(GetTickCount() - start, 200u);  // woken by its own completion, 300 ms on
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xEE), 64);
    Sleep(100);  // the request's last step has come
    EXPECT_EQ(send(0x12, 0, 0, 5000), platform::kSrbCompleted);  // the next submission tidies up
    // Its event is closed once its signal has come; one never signalled stays open.
    EXPECT_EQ(eventsOpen() - openBefore, o.signalAt == kNever ? 1 : 0);
    EXPECT_EQ(lostSignals(), lostBefore);  // no signal came after its event was closed
  }
  library.reset();
  EXPECT_EQ(eventsOpen(), 0);
  FreeLibrary(fake);
}

// A drive that answers in descriptor format: the library's sense area
// reaches the drive layer in fixed-format positions, so "becoming ready"
// reads as such.
TEST(WinAccessPath, AspiSenseInDescriptorFormatIsNormalised) {
  auto path = platform::win::MakeCommandLibraryPath();
  std::unique_ptr<platform::AspiLibrary> library = path->LoadAspiLibrary(FAKE_ASPI_PATH);
  ASSERT_TRUE(library);
  platform::AspiRequest r;
  r.command = 2;
  r.flags = platform::kSrbDirIn | platform::kSrbEventNotify;
  r.senseLength = 14;
  r.cdbLength = 12;
  library->SendCommand(r);
  EXPECT_EQ(r.status, platform::kSrbError);
  EXPECT_EQ(r.targetStatus, 2);
  EXPECT_EQ(r.senseArea[0], 0x70);
  EXPECT_EQ(r.senseArea[2], 0x02);
  EXPECT_EQ(r.senseArea[12], 0x04);
  EXPECT_EQ(r.senseArea[13], 0x01);
}

TEST(WinAccessPath, BoxesCarryTheIconOfTheirKind) {
  using platform::BoxButtons;
  using platform::BoxKind;
  EXPECT_EQ(platform::win::BoxStyle(BoxKind::Warning, BoxButtons::YesNo), UINT{MB_YESNO | MB_ICONWARNING});
  EXPECT_EQ(platform::win::BoxStyle(BoxKind::Error, BoxButtons::Ok), UINT{MB_OK | MB_ICONERROR});
  EXPECT_EQ(platform::win::BoxStyle(BoxKind::Confirmation, BoxButtons::YesNo), UINT{MB_YESNO | MB_ICONQUESTION});
  EXPECT_EQ(platform::win::BoxStyle(BoxKind::Plain, BoxButtons::Ok), UINT{MB_OK});
}

// While a blocking call runs (a drive command, up to minutes), the window's
// thread still answers the system: a message sent to its window (what the
// system's hung-window check sends) comes back at once and the window is
// painted; clicks and keys that arrive meanwhile are dropped, never handled
// once the call is over. An exception of the call reaches its caller.
std::atomic<int> paints{0}, clicks{0}, keys{0};

LRESULT CALLBACK CountingWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(window, &paint);
      EndPaint(window, &paint);
      ++paints;
      return 0;
    }
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
      ++clicks;
      break;
    case WM_KEYDOWN:
      ++keys;
      break;
    default:
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

TEST(WinBlockingCalls, TheWindowAnswersAndTakesNoInputWhileACallRuns) {
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = CountingWindow;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "BlockingCallsTest";
  RegisterClassA(&windowClass);
  HWND window = CreateWindowA("BlockingCallsTest", "", WS_OVERLAPPEDWINDOW, 0, 0, 120, 80, nullptr, nullptr,
                              windowClass.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  ShowWindow(window, SW_SHOW);
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
  paints = clicks = keys = 0;

  std::atomic<bool> started{false};
  LRESULT answered = 0;
  DWORD answerMs = 0;
  std::thread desktop([&] {
    while (!started) Sleep(5);
    Sleep(200);
    PostMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, 0);
    PostMessageA(window, WM_LBUTTONUP, 0, 0);
    PostMessageA(window, WM_KEYDOWN, VK_SPACE, 0);
    InvalidateRect(window, nullptr, TRUE);
    DWORD_PTR result = 0;
    const DWORD start = GetTickCount();
    answered = SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, 1000, &result);
    answerMs = GetTickCount() - start;
  });
  int paintsDuringCall = 0;
  platform::win::WinBlockingCalls blocking;
  blocking.Run([&] {
    started = true;
    Sleep(1500);
    paintsDuringCall = paints;
  });
  desktop.join();
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);

  EXPECT_NE(answered, 0);
  EXPECT_LT(answerMs, 1000u);
  EXPECT_GE(paintsDuringCall, 1);
  EXPECT_EQ(clicks, 0);
  EXPECT_EQ(keys, 0);
  EXPECT_THROW(blocking.Run([] { throw std::runtime_error("drive gone"); }), std::runtime_error);
  DestroyWindow(window);
}

// A shutdown waits while a flash holds the inhibitor: the main window
// refuses the end of the session and does nothing when it ends anyway, and
// refuses a standby or suspend it is asked about (the notices that one
// begins or ended ask nothing); before and after, and for every other
// message, the system's default.
TEST(WinAccessPath, AShutdownWaitsForTheFlash) {
  const struct {
    UINT message;
    WPARAM event;
    bool holds;
    std::optional<LRESULT> sessionEnd;
    std::optional<LRESULT> standby;
  } cases[] = {
      {WM_QUERYENDSESSION, 0, false, std::nullopt, std::nullopt},
      {WM_ENDSESSION, 0, false, std::nullopt, std::nullopt},
      {WM_QUERYENDSESSION, 0, true, FALSE, std::nullopt},
      {WM_ENDSESSION, 0, true, 0, std::nullopt},
      {WM_CLOSE, 0, true, std::nullopt, std::nullopt},
      {WM_POWERBROADCAST, PBT_APMQUERYSUSPEND, false, std::nullopt, std::nullopt},
      {WM_POWERBROADCAST, PBT_APMQUERYSTANDBY, false, std::nullopt, std::nullopt},
      {WM_POWERBROADCAST, PBT_APMQUERYSUSPEND, true, std::nullopt, BROADCAST_QUERY_DENY},
      {WM_POWERBROADCAST, PBT_APMQUERYSTANDBY, true, std::nullopt, BROADCAST_QUERY_DENY},
      {WM_POWERBROADCAST, PBT_APMSUSPEND, true, std::nullopt, std::nullopt},
      {WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, true, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::win::SessionEndAnswer(c.message, c.holds), c.sessionEnd)
        << c.message << " " << c.event << " " << c.holds;
    EXPECT_EQ(platform::win::StandbyAnswer(c.message, c.event, c.holds), c.standby)
        << c.message << " " << c.event << " " << c.holds;
  }
  // The inhibitor holds back a shutdown from Acquire to Release, with a
  // window or without, whether the system has the block reason or not.
  const HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  for (const HWND owner : {HWND{nullptr}, window}) {
    platform::win::WinInhibitor inhibitor;
    inhibitor.SetWindow(owner);
    EXPECT_FALSE(platform::win::WinInhibitor::HoldsShutdown());
    EXPECT_TRUE(inhibitor.Acquire("flashutil", "Updating drive firmware"));
    EXPECT_TRUE(platform::win::WinInhibitor::HoldsShutdown());
    inhibitor.Release();
    EXPECT_FALSE(platform::win::WinInhibitor::HoldsShutdown());
  }
  if (window != nullptr) DestroyWindow(window);
}

}  // namespace
