// The desktop binding of the scripted test programs on Windows: message
// boxes are printed to standard output and answered Yes (OK), the restart is
// printed instead of requested, and once the window is up its state is
// printed and the program ends, in the words of the Qt binding's printout.
// Built with FLASHUTIL_SCRIPTED_FLASH, the binding also presses FLASH, prints
// every status line the window is given, and prints the window again when the
// run is over. With FLASHUTIL_ASK_SESSION_END set in the environment it also
// asks the main window, as the system does at a shutdown, whether the session
// may end (WM_QUERYENDSESSION, then WM_ENDSESSION) before the flash, at every
// new status line during it and after it, and prints the answers.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/Desktop.h"
#include "app/win/TFlashForm.h"
#include "tests/support/PrintingServices.h"

namespace app {

namespace {

void ReportDriveBox(TFlashForm& form) {
  const std::vector<std::string> items = form.ComboItems();
  for (size_t i = 0; i < items.size(); ++i) std::printf("COMBO %d %s\n", static_cast<int>(i), items[i].c_str());
  std::printf("SELECTED %d\n", form.ComboItemIndex());
}

#if defined(FLASHUTIL_SCRIPTED_FLASH)
// Prints the status line (the caption of GroupBox2) each time it is given a
// new text, from the group box's own window procedure.
WNDPROC statusProcedure = nullptr;
std::string statusShown;
HWND mainWindow = nullptr;

// What the main window answers to a shutdown (lParam 0), when asked for.
void AskSessionEnd() {
  if (std::getenv("FLASHUTIL_ASK_SESSION_END") == nullptr || mainWindow == nullptr) return;
  const LRESULT query = SendMessageA(mainWindow, WM_QUERYENDSESSION, 0, 0);
  // The session does not end after all (wParam FALSE), as when another
  // program refused it.
  const LRESULT end = SendMessageA(mainWindow, WM_ENDSESSION, FALSE, 0);
  std::printf("SESSION END %s (WM_QUERYENDSESSION %ld, WM_ENDSESSION %ld)\n", query != FALSE ? "allowed" : "refused",
              static_cast<long>(query), static_cast<long>(end));
  std::fflush(stdout);
}

LRESULT CALLBACK PrintStatus(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SETTEXT && lParam != 0) {
    const std::string text(reinterpret_cast<const char*>(lParam));
    if (text != statusShown) {
      statusShown = text;
      std::printf("STATUS %s\n", text.c_str());
      std::fflush(stdout);
      AskSessionEnd();
    }
  }
  return CallWindowProcA(statusProcedure, window, message, wParam, lParam);
}
#endif

class ScriptedDesktop final : public Desktop {
 public:
  platform::MessageBoxes& Boxes() override { return boxes_; }
  platform::SystemRestart& Restart() override { return restart_; }

  void WindowShown(TFlashForm& form) override {
    std::printf("CAPTION %s\n", form.CaptionText().c_str());
    std::printf("LABEL %s\n", form.LabelText().c_str());
    std::printf("BUTTON %s %s\n", form.ButtonText().c_str(), form.ButtonEnabled() ? "enabled" : "disabled");
    ReportDriveBox(form);
    std::fflush(stdout);
#if defined(FLASHUTIL_SCRIPTED_FLASH)
    statusShown = form.GetStatus();
    mainWindow = form.Handle();
    AskSessionEnd();
    statusProcedure = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(form.GroupBox2, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&PrintStatus)));
    std::printf("PRESS %s\n", form.ButtonText().c_str());
    std::fflush(stdout);
    // A click as the user makes it: the button tells the form, which runs
    // the whole flash before the click returns.
    SendMessageA(form.FlashButton, BM_CLICK, 0, 0);
    SetWindowLongPtrA(form.GroupBox2, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(statusProcedure));
    ReportDriveBox(form);
    std::printf("STATUS LINE %s\nPROGRESS %d of %d\n", form.GetStatus().c_str(),
                static_cast<int>(SendMessageA(form.ProgressBar, PBM_GETPOS, 0, 0)),
                static_cast<int>(SendMessageA(form.ProgressBar, PBM_GETRANGE, FALSE, 0)));
    std::fflush(stdout);
    AskSessionEnd();
#endif
    PostQuitMessage(0);
  }

 private:
  platform::PrintingBoxes boxes_;
  platform::PrintingRestart restart_;
};

}  // namespace

std::unique_ptr<Desktop> MakeDesktop() { return std::make_unique<ScriptedDesktop>(); }

}  // namespace app
