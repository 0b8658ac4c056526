// Entry point on Windows: the main form (running FormCreate before the
// window is shown), the message loop, result 0. The services, the transport
// and the command library path are the system's own (platform/win), or the
// simulated drives.
#include <windows.h>

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "app/Desktop.h"
#include "app/ProgramArguments.h"
#include "app/win/TFlashForm.h"
#include "drive/CDDrive.h"
#include "package/Package.h"
#include "platform/Services.h"
#include "platform/StopGuard.h"
#include "platform/Transcript.h"
#include "platform/win/WinServices.h"

#if defined(FLASHUTIL_TRANSPORT_SIM)
#include "platform/sim/SimTransport.h"
#else
#include "platform/win/WinTransport.h"
#endif

// Read from outside: what flashutil-pack shows of a program file.
#if defined(FLASHUTIL_TRANSPORT_SIM)
FLASHUTIL_DRIVE_ACCESS_RECORD("simulated");
#else
FLASHUTIL_DRIVE_ACCESS_RECORD("system");
#endif

namespace {

#if defined(FLASHUTIL_TRANSPORT_SIM)
constexpr bool kSimulatedDrives = true;
#else
constexpr bool kSimulatedDrives = false;
#endif

std::unique_ptr<platform::DriveTransport> MakeTransport() {
#if defined(FLASHUTIL_TRANSPORT_SIM)
  // The simulated drives report the image's revision once they are flashed.
  const package::PackageView embedded(package::EmbeddedPackage());
  return platform::sim::MakeDefaultSimTransport(package::PackageView::SlotText(embedded.Version(), 4));
#else
  return platform::win::MakePassThroughTransport();
#endif
}

std::unique_ptr<platform::CommandLibraryPath> MakeCommandLibraryPath() {
#if defined(FLASHUTIL_TRANSPORT_SIM)
  return nullptr;
#else
  return platform::win::MakeCommandLibraryPath();
#endif
}

// A text to standard output or standard error: the handle the program was
// given (a file, a pipe), or else the console of the program that started
// it, where it has one.
void WriteStandard(DWORD which, const std::string& text) {
  if (text.empty()) return;
  HANDLE handle = GetStdHandle(which);
  if ((handle == nullptr || handle == INVALID_HANDLE_VALUE) && AttachConsole(ATTACH_PARENT_PROCESS)) {
    handle = GetStdHandle(which);
  }
  DWORD written = 0;
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // --help and --version answer without a window; any other argument is
  // refused. The window reads none.
  const app::ArgumentsOutcome given =
      app::ReadArguments(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc),
                         argc > 0 && argv[0] != nullptr ? argv[0] : "flashutil.exe",
                         package::PackageView(package::EmbeddedPackage()), FLASHUTIL_VERSION, kSimulatedDrives);
  if (!given.openWindow) {
    WriteStandard(STD_OUTPUT_HANDLE, given.out);
    WriteStandard(STD_ERROR_HANDLE, given.err);
    return given.status;
  }
  try {
    std::unique_ptr<app::Desktop> desktop = app::MakeDesktop();
    platform::win::WinCursor cursor;
    platform::win::WinInhibitor inhibitor;
    platform::win::SystemProfileReader profiles;
    platform::win::WinBlockingCalls blocking;
    platform::Services& services = platform::GetServices();
    services.boxes = &desktop->Boxes();
    services.cursor = &cursor;
    // A program on simulated drives has no business restarting the machine
    // it runs on: it gets no restart at all.
    services.restart = kSimulatedDrives ? nullptr : &desktop->Restart();
    services.inhibitor = &inhibitor;
    services.profiles = &profiles;
    services.blocking = &blocking;
    // The window's close asks a flash to stop (TFlashForm): taken before the
    // flash writes to the drive, held off while it does.
    platform::StopGuard stops;
    services.stop = &stops;
    // Every flash leaves a transcript in the user's state folder.
    platform::FolderTranscriptStore transcripts;
    services.transcripts = &transcripts;

    std::unique_ptr<platform::DriveTransport> transport = MakeTransport();
    std::unique_ptr<platform::CommandLibraryPath> libraryPath = MakeCommandLibraryPath();
    CDDrive::SetTransport(transport.get());
    CDDrive::SetCommandLibrary(libraryPath.get());
    {
      TFlashForm form(package::EmbeddedPackage());
      inhibitor.SetWindow(form.Handle());
      form.SetStopGuard(&stops);
      form.FormCreate();
      if (!form.QuitRequested()) {
        form.Show();
        desktop->WindowShown(form);
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
          if (IsDialogMessageA(form.Handle(), &message)) continue;
          TranslateMessage(&message);
          DispatchMessageA(&message);
        }
      }
    }
    CDDrive::SetTransport(nullptr);
    CDDrive::SetCommandLibrary(nullptr);
    services = platform::Services{};
  } catch (const std::exception& error) {
    MessageBoxA(nullptr, error.what(), platform::ApplicationTitle, MB_OK | MB_ICONERROR);
  }
  return 0;
}
