// The system's services on Windows: message boxes, the hourglass cursor,
// the restart with the shutdown privilege, the execution state and the
// shutdown block reason while a flash runs, and the profile-string reader.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "platform/ProfileFile.h"
#include "platform/Services.h"

namespace platform::win {

// The flags of a box of the given kind and buttons: the icon of the kind
// (warning, error, question, none) and Yes/No or OK.
UINT BoxStyle(BoxKind kind, BoxButtons buttons);

class WinMessageBoxes final : public MessageBoxes {
 public:
  // Boxes are owned by the main window once it exists.
  void SetOwner(HWND owner) { owner_ = owner; }
  BoxAnswer Show(BoxKind kind, const std::string& caption, const std::string& text, BoxButtons buttons) override;

 private:
  HWND owner_ = nullptr;
};

// The hourglass stays while the thread is busy; a window that asks
// (WM_SETCURSOR) is given the cursor of IsHourglass().
class WinCursor final : public Cursor {
 public:
  void SetHourglass() override;
  void SetDefault() override;
  static bool IsHourglass();
};

// ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0), with the shutdown privilege enabled first.
class WinRestart final : public SystemRestart {
 public:
  void RequestReboot() override;
};

// While held: the system is kept awake (SetThreadExecutionState), a
// shutdown is held back (the main window refuses the end of the session,
// SessionEndAnswer), with a reason shown to the user on `window` where the
// system has ShutdownBlockReasonCreate (Vista on), and so is a standby that
// the system asks about first (StandbyAnswer).
class WinInhibitor final : public SleepInhibitor {
 public:
  void SetWindow(HWND window) { window_ = window; }
  bool Acquire(const std::string& who, const std::string& why) override;
  void Release() override;
  // Whether a flash holds back a shutdown now (one lock per process).
  static bool HoldsShutdown();

 private:
  HWND window_ = nullptr;
  bool awake_ = false;
  bool reasonShown_ = false;
};

// Runs a blocking call on a thread of its own while the window's thread
// goes on taking what keeps a window alive: messages sent to it (the
// system's "are you alive?" WM_NULL, the session's end) and its paints.
// Keyboard and mouse input that arrives meanwhile, in the client area or on
// the frame, is dropped, not kept for later; other posted messages wait in
// the queue until the call is over.
class WinBlockingCalls final : public BlockingCalls {
 public:
  void Run(const std::function<void()>& call) override;
};

// What the main window answers to the end of a session. While a flash holds
// back a shutdown, WM_QUERYENDSESSION gets FALSE, so that the system does not
// end the session, and WM_ENDSESSION is answered without anything done.
// Otherwise, and for every other message, no answer: the system's default
// (DefWindowProc).
std::optional<LRESULT> SessionEndAnswer(UINT message, bool holdsShutdown);

// What the main window answers when the system asks whether it may suspend
// or go on standby (WM_POWERBROADCAST with PBT_APMQUERYSUSPEND or
// PBT_APMQUERYSTANDBY; Windows XP and older ask, Vista and later only tell).
// While a flash holds back a shutdown: BROADCAST_QUERY_DENY, and the machine
// stays on. Otherwise, and for every other message and event, no answer: the
// system's default (DefWindowProc grants it).
std::optional<LRESULT> StandbyAnswer(UINT message, WPARAM event, bool holdsShutdown);

// GetPrivateProfileStringA, with a buffer of kProfileValueSize bytes.
class SystemProfileReader final : public ProfileReader {
 public:
  std::unique_ptr<ProfileFile> Open(const std::string& path) override;
};

}  // namespace platform::win
