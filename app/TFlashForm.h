// The program's main window: a label, the drive (or model) box, the file list
// of the builder, the status group with its progress bar and the one button.
// The workflow lives in FlashFormCore; this class only binds it to widgets,
// as the view that FlashFormCore shows itself in.
#pragma once

#include <QElapsedTimer>
#include <QIcon>
#include <QWidget>

#include "app/FlashFormCore.h"
#include "platform/FormView.h"

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
  // While an event runs (a flash, a build), the window cannot be closed: not
  // by its close button, not by the desktop. A flash ended half-way, or a
  // restart offer closed unseen, can cost the drive.
  void closeEvent(QCloseEvent* event) override;

 private:
  // Runs one of the form's events, marking the window busy meanwhile.
  void Handle(void (FlashFormCore::*event)());

  bool quitRequested_ = false;
  bool handling_ = false;  // an event of the form is running
  bool comboTyped_ = false;  // the user typed into the box: no entry is selected
  QElapsedTimer progressPainted_;  // since the progress bar was last repainted
  bool progressPaintDue_ = false;  // the range changed since then
};
