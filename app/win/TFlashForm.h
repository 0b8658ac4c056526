// The program's main window on Windows, made of Win32 controls: a label, the
// drive (or model) box, the file list of the builder, the status group with
// its progress bar and the one button. The workflow lives in FlashFormCore;
// this class only binds it to the controls, as the view that FlashFormCore
// shows itself in.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/FlashFormCore.h"
#include "platform/FormView.h"
#include "platform/StopGuard.h"

class TFlashForm : public platform::FormView, public FlashFormCore {
 public:
  explicit TFlashForm(const uint8_t* package);
  ~TFlashForm() override;
  TFlashForm(const TFlashForm&) = delete;
  TFlashForm& operator=(const TFlashForm&) = delete;

  // Whether a quit was requested (while the form was being created, for example).
  bool QuitRequested() const { return quitRequested_; }
  HWND Handle() const { return window_; }
  void Show();
  // Where a close of the window during a flash asks it to stop (the
  // program's StopRequests); null: the flash is not asked, the window still
  // closes once the flash is over.
  void SetStopGuard(platform::StopGuard* stops) { stops_ = stops; }

  // What the window shows, as text.
  std::string CaptionText() const;
  std::string LabelText() const;
  std::string ButtonText() const;
  bool ButtonEnabled() const;
  std::vector<std::string> ComboItems() const;
  std::vector<std::string> FileListItems() const;

  // The controls. Panel1 is drawn by the form itself (a raised edge around
  // the client area); ProgressBar and FlashButton lie on GroupBox2.
  HWND SelectDriveLabel = nullptr;
  HWND ComboBox = nullptr;
  HWND FileListBox1 = nullptr;
  HWND GroupBox2 = nullptr;
  HWND ProgressBar = nullptr;
  HWND FlashButton = nullptr;

  // platform::FormView.
  void SetCaption(const std::string& text) override;
  void SetSelectDriveLabel(const std::string& text) override;
  void ComboAdd(const std::string& text) override;
  void ComboInsert(int index, const std::string& text) override;
  void ComboDelete(int index) override;
  int ComboCount() const override;
  int ComboItemIndex() const override;
  void ComboSetItemIndex(int index) override;
  void ComboUpdate() override;
  void FileListSetVisible(bool visible) override;
  void FileListSetDirectory(const std::string& directory) override;
  void FileListSetMask(const std::string& mask) override;
  std::string FileListSelectedName() const override;
  std::string FileListSelectedPath() const override;
  void SetStatus(const std::string& text) override;
  std::string GetStatus() const override;
  void ProgressSetRange(int minimum, int maximum) override;
  void ProgressSetPosition(int position) override;
  void ProgressSetStep(int step) override;
  void ProgressStepBy(int delta) override;
  void SetFlashButtonCaption(const std::string& text) override;
  void SetFlashButtonEnabled(bool enabled) override;
  void RequestQuit(bool closeForm) override;
  std::string ProgramFilePath() const override;
  std::string CurrentDirectory() const override;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void OnCommand(HWND control, int code);
  void OnClose();
  void DropEventsQueuedMeanwhile(bool input);
  void RefillFileList();
  void UseFontFor(const std::string& text);
  void KeepHeights();

  HWND window_ = nullptr;
  HFONT font_ = nullptr;
  size_t fontRequest_ = 0;  // which of form_font::FontRequests() font_ was made from
  bool quitRequested_ = false;
  bool comboTyped_ = false;  // the user typed into the box: no entry is selected
  // An event of the form is running (a flash, a build, a change of drive or
  // model): no other event runs until it is over, and a close waits for it.
  bool handling_ = false;
  bool closeRequested_ = false;  // the window was closed while an event ran
  platform::StopGuard* stops_ = nullptr;
  std::string directory_;
  std::string mask_;
  std::vector<std::string> files_;
  int progressMinimum_ = 0;
  int progressMaximum_ = 100;
  int progressPosition_ = 0;
  DWORD progressPainted_ = 0;  // tick count (GetTickCount) of the last repaint
  bool progressPaintDue_ = true;   // the range changed since then
};
