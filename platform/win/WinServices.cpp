#include "platform/win/WinServices.h"

#include <exception>
#include <vector>

namespace platform::win {

namespace {

bool hourglass = false;
bool holdingShutdown = false;

// The shutdown block reason exists from Windows Vista on: looked up at run
// time, so that the program starts on Windows XP, where a shutdown is held
// back without a reason shown.
using ShutdownBlockReasonCreateFunction = BOOL(WINAPI*)(HWND, LPCWSTR);
using ShutdownBlockReasonDestroyFunction = BOOL(WINAPI*)(HWND);

void* User32Function(const char* name) {
  const HMODULE user32 = GetModuleHandleA("user32.dll");
  return user32 != nullptr ? reinterpret_cast<void*>(GetProcAddress(user32, name)) : nullptr;
}

std::wstring Wide(const std::string& text) {
  const int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  std::wstring wide(length > 0 ? static_cast<size_t>(length) : 1, L'\0');
  if (length > 0) MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), length);
  wide.resize(wide.size() - 1);
  return wide;
}

class SystemProfileFile final : public ProfileFile {
 public:
  explicit SystemProfileFile(std::string path) : path_(std::move(path)) {}

  std::string Get(const std::string& section, const std::string& key, const std::string& fallback) const override {
    char value[kProfileValueSize] = {};
    const DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), fallback.c_str(), value,
                                                  sizeof value, path_.c_str());
    return std::string(value, length < sizeof value ? length : sizeof value - 1);
  }

 private:
  std::string path_;
};

// GetTickCount64 exists from Windows Vista on, and winpthreads (the threads
// of the C++ runtime linked into the program) imports it to time its waits.
// The program gives that import its own pointer, so that the program file
// does not import the function and starts on Windows XP: the system's
// function where there is one, otherwise GetTickCount with its wraps (every
// 49.7 days) counted. (Defined here, in a file every program links early,
// before the runtime's libraries are searched.)
ULONGLONG WINAPI TickCount64() {
  using Function = ULONGLONG(WINAPI*)();
  const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  const auto system = reinterpret_cast<Function>(
      kernel32 != nullptr ? reinterpret_cast<void*>(GetProcAddress(kernel32, "GetTickCount64")) : nullptr);
  if (system != nullptr) return system();
  // One caller at a time: a count below the last one has wrapped.
  static volatile LONG busy = 0;
  static DWORD last = 0;
  static ULONGLONG wraps = 0;
  while (InterlockedExchange(&busy, 1) != 0) Sleep(0);
  const DWORD now = GetTickCount();
  if (now < last) wraps += 0x100000000ULL;
  last = now;
  const ULONGLONG count = wraps + now;
  InterlockedExchange(&busy, 0);
  return count;
}

}  // namespace

// The import's pointer as the runtime's objects name it.
extern "C" ULONGLONG(WINAPI* const flashutil_get_tick_count_64)() __asm__("__imp__GetTickCount64@0");
extern "C" ULONGLONG(WINAPI* const flashutil_get_tick_count_64)() = &TickCount64;

UINT BoxStyle(BoxKind kind, BoxButtons buttons) {
  UINT style = buttons == BoxButtons::YesNo ? MB_YESNO : MB_OK;
  switch (kind) {
    case BoxKind::Warning:
      style |= MB_ICONWARNING;
      break;
    case BoxKind::Error:
      style |= MB_ICONERROR;
      break;
    case BoxKind::Confirmation:
      style |= MB_ICONQUESTION;
      break;
    case BoxKind::Plain:
      break;
  }
  return style;
}

BoxAnswer WinMessageBoxes::Show(BoxKind kind, const std::string& caption, const std::string& text,
                                BoxButtons buttons) {
  const HWND owner = owner_ != nullptr && IsWindow(owner_) ? owner_ : nullptr;
  switch (MessageBoxA(owner, text.c_str(), caption.c_str(), BoxStyle(kind, buttons) | MB_SETFOREGROUND)) {
    case IDYES:
      return BoxAnswer::Yes;
    case IDNO:
      return BoxAnswer::No;
    case IDOK:
      return BoxAnswer::Ok;
    default:
      return BoxAnswer::Closed;
  }
}

void WinCursor::SetHourglass() {
  hourglass = true;
  SetCursor(LoadCursor(nullptr, IDC_WAIT));
}

void WinCursor::SetDefault() {
  hourglass = false;
  SetCursor(LoadCursor(nullptr, IDC_ARROW));
}

bool WinCursor::IsHourglass() { return hourglass; }

void WinRestart::RequestReboot() {
  // A process may shut the system down only with the shutdown privilege
  // enabled in its token; without it ExitWindowsEx fails.
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid)) {
      AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    }
    CloseHandle(token);
  }
  // The outcome is not examined.
  ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0);
}

bool WinInhibitor::Acquire(const std::string&, const std::string& why) {
  awake_ = SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0;
  const auto create =
      reinterpret_cast<ShutdownBlockReasonCreateFunction>(User32Function("ShutdownBlockReasonCreate"));
  reasonShown_ = window_ != nullptr && create != nullptr && create(window_, Wide(why).c_str());
  // The main window holds back a shutdown whatever the system's other
  // answers: that needs nothing from it.
  holdingShutdown = true;
  return true;
}

void WinInhibitor::Release() {
  if (awake_) SetThreadExecutionState(ES_CONTINUOUS);
  if (reasonShown_) {
    const auto destroy =
        reinterpret_cast<ShutdownBlockReasonDestroyFunction>(User32Function("ShutdownBlockReasonDestroy"));
    if (destroy != nullptr) destroy(window_);
  }
  awake_ = false;
  reasonShown_ = false;
  holdingShutdown = false;
}

bool WinInhibitor::HoldsShutdown() { return holdingShutdown; }

std::optional<LRESULT> SessionEndAnswer(UINT message, bool holdsShutdown) {
  if (!holdsShutdown) return std::nullopt;
  if (message == WM_QUERYENDSESSION) return FALSE;
  if (message == WM_ENDSESSION) return 0;
  return std::nullopt;
}

std::optional<LRESULT> StandbyAnswer(UINT message, WPARAM event, bool holdsShutdown) {
  if (!holdsShutdown || message != WM_POWERBROADCAST) return std::nullopt;
  if (event == PBT_APMQUERYSUSPEND || event == PBT_APMQUERYSTANDBY) return BROADCAST_QUERY_DENY;
  return std::nullopt;
}

std::unique_ptr<ProfileFile> SystemProfileReader::Open(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return nullptr;
  return std::make_unique<SystemProfileFile>(path);
}

namespace {

struct BlockingCall {
  const std::function<void()>* call;
  std::exception_ptr failure;
};

DWORD WINAPI RunBlockingCall(LPVOID parameter) {
  auto* blocking = static_cast<BlockingCall*>(parameter);
  try {
    (*blocking->call)();
  } catch (...) {
    blocking->failure = std::current_exception();
  }
  return 0;
}

// Takes the input messages of the queue and drops them.
void DropInput() {
  MSG message;
  while (PeekMessageA(&message, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {
  }
  while (PeekMessageA(&message, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
  }
  // The frame's clicks: the close box, the system menu, moving and sizing.
  while (PeekMessageA(&message, nullptr, WM_NCMOUSEMOVE, WM_NCMBUTTONDBLCLK, PM_REMOVE)) {
  }
}

}  // namespace

void WinBlockingCalls::Run(const std::function<void()>& call) {
  BlockingCall blocking{&call, nullptr};
  HANDLE thread = CreateThread(nullptr, 0, RunBlockingCall, &blocking, 0, nullptr);
  if (thread == nullptr) {
    call();  // no thread to be had: the call runs here, as it always could
    return;
  }
  for (;;) {
    // Wakes for the thread's end, for input and paints in the queue (also
    // input that an earlier look saw arrive: none may stay behind) and for
    // sent messages, which PeekMessage handles. Other posted messages do not
    // wake it: they wait in the queue for the window's loop.
    const DWORD woken = MsgWaitForMultipleObjectsEx(1, &thread, INFINITE, QS_INPUT | QS_PAINT | QS_SENDMESSAGE,
                                                    MWMO_INPUTAVAILABLE);
    if (woken != WAIT_OBJECT_0 + 1) break;
    DropInput();
    MSG message;
    while (PeekMessageA(&message, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE)) DispatchMessageA(&message);
  }
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  if (blocking.failure) std::rethrow_exception(blocking.failure);
}

}  // namespace platform::win
