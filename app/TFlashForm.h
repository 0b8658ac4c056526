// The program's main window: a label, the drive (or model) box, the file list
// of the builder, the status group with its progress bar and the one button.
// The workflow lives in FlashFormCore; this class only binds it to widgets,
// as the view that FlashFormCore shows itself in. A flash runs on a thread
// beside the window's where the desktop's blocking calls are installed; the
// view's calls then come from that thread and are done on the window's.
#pragma once

#include <QElapsedTimer>
#include <QIcon>
#include <QWidget>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/FlashFormCore.h"
#include "platform/FormView.h"
#include "platform/StopGuard.h"

class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace platform {
class FileListBox;
}

class TFlashForm : public QWidget, public platform::FormView, public FlashFormCore {
  Q_OBJECT

 public:
  explicit TFlashForm(const uint8_t* package, QWidget* parent = nullptr);
  ~TFlashForm() override;

  // The program's icon (flashutil.svg, drawn at the usual sizes).
  static QIcon ProgramIcon();

  // Whether a quit was requested (while the form was being created, for example).
  bool QuitRequested() const { return quitRequested_; }

  // The guard of the requests to stop a flash: the window's close while an
  // event runs becomes one ("window closed"). Unset: the window refuses to
  // close while an event runs.
  void SetStopGuard(platform::StopGuard* guard) { guard_ = guard; }
  // Whether an event of the form runs (on the window's thread), and whether
  // the running (or last) event is a flash.
  bool EventRunning() const { return handling_; }
  bool EventIsFlash() const { return flashEvent_; }
  // Runs `then` on the window's thread once the running event is over, or
  // now when none runs.
  void AfterEvent(std::function<void()> then);
  // Closes the window once the running event is over (now when none runs).
  void CloseAfterEvent();
  // The question that the running event waits on, if any, is answered No
  // (an open box is closed), so that the event can end.
  void AnswerOpenQuestionNo();
  // Whether a flash runs on a thread beside the window's (from any thread);
  // and waiting until it is over (true; false at once when none runs
  // there), for the program's end when the window's thread can do no more.
  bool FlashRunsBeside();
  bool WaitForFlashBeside();

  QFrame* Panel1 = nullptr;
  QLabel* SelectDriveLabel = nullptr;
  QComboBox* ComboBox = nullptr;
  platform::FileListBox* FileListBox1 = nullptr;
  QGroupBox* GroupBox2 = nullptr;
  QProgressBar* ProgressBar = nullptr;
  QPushButton* FlashButton = nullptr;

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
  // From the text last set, on any thread, with or without the window.
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

 protected:
  // While an event runs (a flash, a build), the window stays: a close (its
  // close button, the desktop) is a request to stop, "window closed". Before
  // the flash writes to the drive it stops the flash; while the flash writes
  // it is held off, and the flash goes on to its end. Either way the window
  // closes once the event is over (a flash skips its restart offer).
  void closeEvent(QCloseEvent* event) override;
  void RunFlashSequence(const std::function<void()>& flash) override;

 private:
  // Runs one of the form's events, marking the window busy meanwhile. An
  // event that comes while another runs is dropped.
  void Handle(void (FlashFormCore::*event)());

  bool quitRequested_ = false;
  bool handling_ = false;  // an event of the form is running
  // FLASH was pressed while an event ran; its click, which may come after
  // the event (an accessibility press clicks some 100 ms later), is dropped.
  bool pressedDuringEvent_ = false;
  bool closeAfterEvent_ = false;
  bool flashEvent_ = false;
  std::vector<std::function<void()>> afterEvent_;
  platform::StopGuard* guard_ = nullptr;
  mutable std::mutex statusMutex_;
  std::string status_;  // the status line's text
  std::mutex flashMutex_;
  std::condition_variable flashEnded_;
  bool flashBeside_ = false;  // a flash runs on a thread beside the window's
  bool comboTyped_ = false;  // the user typed into the box: no entry is selected
  QElapsedTimer progressPainted_;  // since the progress bar was last repainted
  bool progressPaintDue_ = false;  // the range changed since then
};
