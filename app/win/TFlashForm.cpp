#include "app/win/TFlashForm.h"

#include <commctrl.h>

#include <algorithm>
#include <stdexcept>

#include "app/win/FormFont.h"
#include "platform/FileMask.h"
#include "platform/Files.h"
#include "platform/win/WinServices.h"

namespace {

constexpr char kWindowClass[] = "TFlashForm";
// What asks a flash to stop when the window is closed, in its transcript.
constexpr char kCloseCause[] = "window closed";

// The window as laid out: client area 425 x 201 at 192,128.
constexpr int kLeft = 192, kTop = 128, kClientWidth = 425, kClientHeight = 201;
constexpr int kItemHeight = 16;
constexpr int kComboHeight = 24;
constexpr int kComboListHeight = 8 * kItemHeight;
// GroupBox2 at 16,128: its controls' places are given within it.
constexpr int kGroupLeft = 16, kGroupTop = 128;

std::string WindowText(HWND window) {
  const int length = GetWindowTextLengthA(window);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  const int copied = GetWindowTextA(window, text.data(), length + 1);
  text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
  return text;
}

void RegisterFormClass(HINSTANCE instance) {
  static bool registered = false;
  if (registered) return;
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = DefWindowProcA;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
  windowClass.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = kWindowClass;
  RegisterClassExA(&windowClass);
  registered = true;
}

}  // namespace

TFlashForm::TFlashForm(const uint8_t* package) : FlashFormCore(package, *this) {
  const HINSTANCE instance = GetModuleHandleA(nullptr);
  // The progress bar's class; the other controls are the system's own
  // (ICC_STANDARD_CLASSES exists only in comctl32 6, which the program does
  // not ask for, and an older comctl32 may refuse the whole call for it).
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  RegisterFormClass(instance);

  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  RECT frame{0, 0, kClientWidth, kClientHeight};
  AdjustWindowRect(&frame, style, FALSE);
  window_ = CreateWindowExA(0, kWindowClass, "", style, kLeft, kTop, frame.right - frame.left,
                            frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
  if (window_ == nullptr) throw std::runtime_error("The main window cannot be created.");
  SetWindowLongPtrA(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TFlashForm::WindowProc));

  UseFontFor("");

  auto child = [&](const char* windowClass, const char* text, DWORD childStyle, int left, int top, int width,
                   int height) {
    HWND control = CreateWindowExA(0, windowClass, text, WS_CHILD | WS_VISIBLE | childStyle, left, top, width,
                                   height, window_, nullptr, instance, nullptr);
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    return control;
  };
  // Created in tab order: ComboBox, FileListBox1, then the group's button.
  SelectDriveLabel = child("STATIC", "", SS_LEFT | SS_NOPREFIX, 16, 16, 369, 25);
  ComboBox = child("COMBOBOX", "", CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP, 16, 40, 385,
                   kComboHeight + kComboListHeight);
  FileListBox1 = child("LISTBOX", "", LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER | WS_TABSTOP, 16,
                       72, 385, 41);
  KeepHeights();
  GroupBox2 = child("BUTTON", "", BS_GROUPBOX, kGroupLeft, kGroupTop, 385, 49);
  ProgressBar = child(PROGRESS_CLASSA, "", PBS_SMOOTH, kGroupLeft + 8, kGroupTop + 16, 305, 25);
  SendMessageA(ProgressBar, PBM_SETRANGE32, 0, 100);
  SendMessageA(ProgressBar, PBM_SETPOS, 0, 0);
  FlashButton = child("BUTTON", "FLASH", BS_PUSHBUTTON | WS_TABSTOP, kGroupLeft + 320, kGroupTop + 16, 57, 25);
}

TFlashForm::~TFlashForm() {
  FormDestroy();
  if (window_ != nullptr && IsWindow(window_)) {
    SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
  if (font_ != nullptr) DeleteObject(font_);
}

// The font for the window's own texts and `text`: the one in use where it has
// glyphs for them all, otherwise the first of the requests whose font has
// them (form_font::ChooseFont), set on every control.
void TFlashForm::UseFontFor(const std::string& text) {
  if (font_ != nullptr && form_font::FontHasGlyphs(font_, form_font::PrintableAscii() + text)) return;
  const std::vector<form_font::FontRequest>& requests = form_font::FontRequests();
  const size_t choice = form_font::ChooseFont(
      requests,
      [](const form_font::FontRequest& request, const std::string& needed) {
        const HFONT font = form_font::CreateRequestedFont(request);
        const bool has = form_font::FontHasGlyphs(font, needed);
        if (font != nullptr) DeleteObject(font);
        return has;
      },
      text);
  if (font_ != nullptr && choice == fontRequest_) return;
  const HFONT font = form_font::CreateRequestedFont(requests[choice]);
  if (font == nullptr) return;
  const HFONT previous = font_;
  font_ = font;
  fontRequest_ = choice;
  for (HWND control : {SelectDriveLabel, ComboBox, FileListBox1, GroupBox2, ProgressBar, FlashButton}) {
    if (control != nullptr) SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
  }
  if (ComboBox != nullptr) KeepHeights();
  if (previous != nullptr) DeleteObject(previous);
}

// The box is 24 pixels high, and both lists have rows of 16 pixels, whatever
// the font: a new font resizes them to its own height. The box's height
// follows its selection field's, which is set, measured, and set again by
// what the box lacks or has too much (Wine reports the field 2 pixels
// higher than it was set to, so only the box's own height counts). Where the
// box does not pass the rows' height on to its list (Wine, for a box that is
// not drawn by its owner), the list is told itself.
void TFlashForm::KeepHeights() {
  LRESULT field = SendMessageA(ComboBox, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
  for (int attempt = 0; attempt < 3 && field != CB_ERR; ++attempt) {
    RECT box;
    GetWindowRect(ComboBox, &box);
    const LRESULT difference = kComboHeight - (box.bottom - box.top);
    if (difference == 0 || field + difference <= 0) break;
    field += difference;
    SendMessageA(ComboBox, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field);
  }
  SendMessageA(ComboBox, CB_SETITEMHEIGHT, 0, kItemHeight);
  COMBOBOXINFO combo{};
  combo.cbSize = sizeof combo;
  if (GetComboBoxInfo(ComboBox, &combo) && combo.hwndList != nullptr &&
      SendMessageA(combo.hwndList, LB_GETITEMHEIGHT, 0, 0) != kItemHeight) {
    SendMessageA(combo.hwndList, LB_SETITEMHEIGHT, 0, kItemHeight);
  }
  SendMessageA(FileListBox1, LB_SETITEMHEIGHT, 0, kItemHeight);
}

void TFlashForm::Show() {
  ShowWindow(window_, SW_SHOWNORMAL);
  UpdateWindow(window_);
  SetFocus(ComboBox);
}

LRESULT CALLBACK TFlashForm::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* form = reinterpret_cast<TFlashForm*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (form == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  return form->OnMessage(message, wParam, lParam);
}

LRESULT TFlashForm::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      OnCommand(reinterpret_cast<HWND>(lParam), HIWORD(wParam));
      return 0;
    case WM_PAINT: {
      // Panel1: a raised edge around the whole client area.
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window_, &paint);
      RECT panel{0, 0, kClientWidth, kClientHeight};
      DrawEdge(dc, &panel, BDR_RAISEDINNER, BF_RECT);
      EndPaint(window_, &paint);
      return 0;
    }
    case WM_SETCURSOR:
      if (platform::win::WinCursor::IsHourglass()) {
        SetCursor(LoadCursor(nullptr, IDC_WAIT));
        return TRUE;
      }
      break;
    case WM_QUERYENDSESSION:
    case WM_ENDSESSION:
      // Message boxes shown during a flash pump messages too, and so does
      // the wait for a drive command (WinBlockingCalls): this is what
      // answers a shutdown then.
      if (const std::optional<LRESULT> answer =
              platform::win::SessionEndAnswer(message, platform::win::WinInhibitor::HoldsShutdown())) {
        return *answer;
      }
      break;
    case WM_POWERBROADCAST:
      // Sent as the end of a session is, and answered in the same places.
      if (const std::optional<LRESULT> answer =
              platform::win::StandbyAnswer(message, wParam, platform::win::WinInhibitor::HoldsShutdown())) {
        return *answer;
      }
      break;
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcA(window_, message, wParam, lParam);
}

// One event of the form at a time, and none after it that came while it
// ran. A click or a change that reaches the form while an event runs is
// dropped. Most come as sent messages, which the thread answers inside the
// event, in the wait for a drive command (WinBlockingCalls) and in message
// boxes: UI Automation's Invoke sends BM_CLICK to the button, which turns
// it into WM_COMMAND here; another program may send WM_COMMAND itself. (The
// mouse and the keyboard hardly get here: the waits drop their input and a
// box disables the window.) Posted ones wait in the queue, and the event's
// end takes them out (DropEventsQueuedMeanwhile), so that the loop never
// runs them after it. FLASH stays drawn as it is meanwhile: it only does
// nothing.
//
// The change event fires for the user's picks and typing, not for changes
// the program makes itself. An exception must not travel up through the
// window procedure, which would end the program: Dispatch shows it and the
// loop goes on.
void TFlashForm::OnCommand(HWND control, int code) {
  if (handling_) return;
  void (FlashFormCore::*event)() = nullptr;
  if (control == ComboBox && (code == CBN_SELCHANGE || code == CBN_EDITCHANGE)) {
    comboTyped_ = code == CBN_EDITCHANGE;
    event = &FlashFormCore::ComboBoxChange;
  } else if (control == FileListBox1 && code == LBN_SELCHANGE) {
    event = &FlashFormCore::FileListBox1Click;
  } else if (control == FlashButton && code == BN_CLICKED) {
    event = &FlashFormCore::FlashButtonClick;
  }
  if (event == nullptr) return;
  handling_ = true;
  Dispatch(event);
  // Still handling_: a message sent while the queue is looked through is dropped too.
  DropEventsQueuedMeanwhile(event == &FlashFormCore::FlashButtonClick);
  handling_ = false;
  // Posted, not done here: this may run inside the button's own window
  // procedure, which must not see its window destroyed under it.
  if (closeRequested_) PostMessageA(window_, WM_CLOSE, 0, 0);
}

// Without an event running the window closes at once. While one runs, it
// closes when the event is over (OnCommand), and a flash is asked to stop:
// before its first write to the drive it then ends with nothing written;
// from then on the request is held off and written into its transcript,
// the flash runs to its end (its failure box included) and offers no
// restart. A build or a change of drive or model does not look at the
// request: it finishes first.
void TFlashForm::OnClose() {
  if (!handling_) {
    DestroyWindow(window_);
    return;
  }
  closeRequested_ = true;
  if (stops_ != nullptr) stops_->Request(kCloseCause);
}

// Takes out of the queue what came for the form while its event ran and
// would start another after it: WM_COMMAND posted to the form, BM_CLICK
// posted to its controls and, after FLASH's event (a flash or a build, long
// enough for the user to click again), the keyboard and mouse input for the
// form's windows. (A filter by window takes its child windows' messages
// too.) Input is kept after a change of drive or model, which takes no time:
// it is the rest of the user's own pick, such as the mouse button's release
// in the drive box's list. The queue is purged rather than each message's
// time compared with the event's end: a message sent from another thread
// carries no time of its own.
void TFlashForm::DropEventsQueuedMeanwhile(bool input) {
  MSG message;
  while (PeekMessageA(&message, window_, WM_COMMAND, WM_COMMAND, PM_REMOVE)) {
  }
  while (PeekMessageA(&message, window_, BM_CLICK, BM_CLICK, PM_REMOVE)) {
  }
  if (!input) return;
  while (PeekMessageA(&message, window_, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {
  }
  while (PeekMessageA(&message, window_, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
  }
}

std::string TFlashForm::CaptionText() const { return WindowText(window_); }
std::string TFlashForm::LabelText() const { return WindowText(SelectDriveLabel); }
std::string TFlashForm::ButtonText() const { return WindowText(FlashButton); }
bool TFlashForm::ButtonEnabled() const { return IsWindowEnabled(FlashButton) != FALSE; }

std::vector<std::string> TFlashForm::ComboItems() const {
  std::vector<std::string> items;
  for (int i = 0; i < ComboCount(); ++i) {
    const LRESULT length = SendMessageA(ComboBox, CB_GETLBTEXTLEN, i, 0);
    std::string text(static_cast<size_t>(length > 0 ? length : 0) + 1, '\0');
    SendMessageA(ComboBox, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(length > 0 ? length : 0));
    items.push_back(text);
  }
  return items;
}

std::vector<std::string> TFlashForm::FileListItems() const { return files_; }

void TFlashForm::SetCaption(const std::string& text) { SetWindowTextA(window_, text.c_str()); }
void TFlashForm::SetSelectDriveLabel(const std::string& text) {
  UseFontFor(text);
  SetWindowTextA(SelectDriveLabel, text.c_str());
}

void TFlashForm::ComboAdd(const std::string& text) {
  UseFontFor(text);
  SendMessageA(ComboBox, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
}
void TFlashForm::ComboInsert(int index, const std::string& text) {
  UseFontFor(text);
  SendMessageA(ComboBox, CB_INSERTSTRING, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.c_str()));
}
void TFlashForm::ComboDelete(int index) { SendMessageA(ComboBox, CB_DELETESTRING, static_cast<WPARAM>(index), 0); }
int TFlashForm::ComboCount() const { return static_cast<int>(SendMessageA(ComboBox, CB_GETCOUNT, 0, 0)); }
int TFlashForm::ComboItemIndex() const {
  return comboTyped_ ? -1 : static_cast<int>(SendMessageA(ComboBox, CB_GETCURSEL, 0, 0));
}
void TFlashForm::ComboSetItemIndex(int index) {
  comboTyped_ = false;
  SendMessageA(ComboBox, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}
void TFlashForm::ComboUpdate() { RedrawWindow(ComboBox, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW); }

void TFlashForm::FileListSetVisible(bool visible) { ShowWindow(FileListBox1, visible ? SW_SHOW : SW_HIDE); }
void TFlashForm::FileListSetDirectory(const std::string& directory) {
  directory_ = directory;
  RefillFileList();
}
void TFlashForm::FileListSetMask(const std::string& mask) {
  mask_ = mask;
  RefillFileList();
}

void TFlashForm::RefillFileList() {
  files_ = platform::ListFiles(directory_, mask_);
  SendMessageA(FileListBox1, LB_RESETCONTENT, 0, 0);
  for (const std::string& name : files_) {
    UseFontFor(name);
    SendMessageA(FileListBox1, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
  }
}

std::string TFlashForm::FileListSelectedName() const {
  const LRESULT index = SendMessageA(FileListBox1, LB_GETCURSEL, 0, 0);
  if (index < 0 || static_cast<size_t>(index) >= files_.size()) return {};
  return files_[static_cast<size_t>(index)];
}

std::string TFlashForm::FileListSelectedPath() const {
  const std::string name = FileListSelectedName();
  if (name.empty()) return {};
  return platform::PathJoin(directory_, name);
}

void TFlashForm::SetStatus(const std::string& text) {
  UseFontFor(text);
  SetWindowTextA(GroupBox2, text.c_str());
  // The group box draws its caption over what lies below: the form repaints
  // the group's place, with the controls on it, at once.
  RECT place{kGroupLeft, kGroupTop, kGroupLeft + 385, kGroupTop + 49};
  RedrawWindow(window_, &place, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}
std::string TFlashForm::GetStatus() const { return WindowText(GroupBox2); }

void TFlashForm::ProgressSetRange(int minimum, int maximum) {
  progressMinimum_ = minimum;
  progressMaximum_ = maximum;
  progressPosition_ = std::clamp(progressPosition_, minimum, std::max(minimum, maximum));
  SendMessageA(ProgressBar, PBM_SETRANGE32, static_cast<WPARAM>(minimum), maximum);
  progressPaintDue_ = true;
}

void TFlashForm::ProgressSetPosition(int position) {
  progressPosition_ = std::clamp(position, progressMinimum_, std::max(progressMinimum_, progressMaximum_));
  SendMessageA(ProgressBar, PBM_SETPOS, static_cast<WPARAM>(progressPosition_), 0);
  // Repainted at most every 15 ms, and always at the ends of the range and
  // after a change of range. GetTickCount (GetTickCount64 is Vista's) wraps
  // after 49.7 days; the difference of two counts, taken modulo 2^32, is the
  // time between them all the same.
  const DWORD now = GetTickCount();
  const bool atEnd = progressPosition_ == progressMinimum_ || progressPosition_ == progressMaximum_;
  if (atEnd || progressPaintDue_ || now - progressPainted_ >= 15) {
    UpdateWindow(ProgressBar);
    progressPainted_ = now;
    progressPaintDue_ = false;
  }
}

// The workflow advances the bar by explicit amounts, so the bar keeps no step.
void TFlashForm::ProgressSetStep(int) {}
void TFlashForm::ProgressStepBy(int delta) { ProgressSetPosition(progressPosition_ + delta); }

void TFlashForm::SetFlashButtonCaption(const std::string& text) {
  UseFontFor(text);
  SetWindowTextA(FlashButton, text.c_str());
}
void TFlashForm::SetFlashButtonEnabled(bool enabled) { EnableWindow(FlashButton, enabled ? TRUE : FALSE); }

void TFlashForm::RequestQuit(bool closeForm) {
  quitRequested_ = true;
  // Posted to the loop: a request made while the form is being created takes
  // effect as soon as the message loop runs.
  PostQuitMessage(0);
  if (closeForm) PostMessageA(window_, WM_CLOSE, 0, 0);
}

std::string TFlashForm::ProgramFilePath() const { return platform::RunningProgramPath(); }

std::string TFlashForm::CurrentDirectory() const { return platform::WorkingDirectory(); }
