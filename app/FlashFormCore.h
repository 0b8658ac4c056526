// The main form's state and workflow, free of any window toolkit. TFlashForm
// (the Qt window) derives from this class and implements the view hooks with
// its widgets; tests derive a form that keeps the same view state in memory.
// The handlers and methods carry the names of the form's events and
// operations; their bodies live in app/, flash/ and package/.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "package/Package.h"

class CDDrive;
class CDDrives;

using StringList = std::vector<std::string>;

class FlashFormCore {
 public:
  static constexpr uint32_t kBlockSize = 16384;
  static constexpr int kDriveIndexSize = 20;

  // `package` is the firmware package this form works with (the embedded one
  // in the program, a crafted one in tests); it is read in place.
  explicit FlashFormCore(const uint8_t* package);
  virtual ~FlashFormCore();
  FlashFormCore(const FlashFormCore&) = delete;
  FlashFormCore& operator=(const FlashFormCore&) = delete;

  // --- Events ---------------------------------------------------------------
  void FormCreate();
  void FormDestroy();
  void ComboBoxChange();
  void FileListBox1Click();
  void FlashButtonClick();

  // --- Methods --------------------------------------------------------------
  bool CheckCondition();
  void CheckNewFormatBIN();
  bool RetriveINI();
  void NewBuildFlashProgram();
  bool WriteE2(const uint8_t* Data, uint16_t Address, uint8_t Count);
  bool WriteBuffer(uint32_t Offset, const uint8_t* Data, uint8_t Control, uint32_t Length);
  bool ReadBuffer(uint32_t Offset, uint8_t* Data, uint32_t Length);
  bool SetupFlashProfile(uint8_t* Record);
  bool ReadVerifyProfile(const uint8_t* Record);
  bool EntryCritical();
  bool CheckDisc();

  // --- Fields, in declaration order ------------------------------------------
  std::unique_ptr<StringList> ModelList;
  std::unique_ptr<StringList> InquiryList;
  std::unique_ptr<StringList> FWRangeList;
  std::unique_ptr<StringList> BINMaskList;
  std::unique_ptr<StringList> VendorList;
  std::unique_ptr<StringList> NoteList;
  std::string Vendor;
  std::string Model;
  std::string FWRange;
  std::string FWLow;
  std::string FWHigh;
  std::string Inquiry;
  std::string BINFileName;
  bool BuildMode = false;
  bool ShortIdProfile = false;
  bool LongIdProfile = false;
  bool ProfileMatched = false;
  bool FlashAll = false;
  uint32_t BinLength = 0;
  uint32_t ProfileRecordLength = 0;
  uint32_t ProfileOffset = 0;
  uint32_t ProfileHeaderLength = 0;
  std::array<int32_t, kDriveIndexSize> DriveIndex{};
  std::string WorkDir;
  CDDrive* CurrentDrive = nullptr;
  std::array<uint8_t, 12> CommandBlock{};
  std::unique_ptr<CDDrives> Drives;
  uint8_t* TransferBuffer = nullptr;
  uint8_t* WorkBuffer = nullptr;
  uint8_t* BlockBuffer = nullptr;
  uint32_t WorkBufferSize = 0;  // bytes allocated in WorkBuffer

  // The package this form works with.
  const package::PackageView Package;

  // --- View hooks -------------------------------------------------------------
  // Window caption.
  virtual void SetCaption(const std::string& text) = 0;
  virtual std::string GetCaption() const = 0;
  virtual void SetSelectDriveLabel(const std::string& text) = 0;

  // ComboBox.
  virtual void ComboClear() = 0;
  virtual void ComboAdd(const std::string& text) = 0;
  virtual void ComboInsert(int index, const std::string& text) = 0;
  virtual void ComboDelete(int index) = 0;
  virtual int ComboCount() const = 0;
  virtual std::string ComboItem(int index) const = 0;
  virtual int ComboItemIndex() const = 0;            // -1 when no entry is selected
  virtual void ComboSetItemIndex(int index) = 0;     // -1 clears the selection
  virtual void ComboUpdate() = 0;                    // repaint now

  // FileListBox1.
  virtual void FileListSetVisible(bool visible) = 0;
  virtual void FileListSetDirectory(const std::string& directory) = 0;
  // Sets the mask and re-reads the directory; the selection is cleared.
  virtual void FileListSetMask(const std::string& mask) = 0;
  virtual std::string FileListSelectedName() const = 0;  // empty when nothing is selected
  virtual std::string FileListSelectedPath() const = 0;  // full path, empty when none

  // Status line: the caption of GroupBox2, repainted at once.
  virtual void SetStatus(const std::string& text) = 0;
  virtual std::string GetStatus() const = 0;

  // ProgressBar.
  virtual void ProgressSetRange(int minimum, int maximum) = 0;
  virtual void ProgressSetPosition(int position) = 0;
  virtual void ProgressSetStep(int step) = 0;
  virtual void ProgressStepBy(int delta) = 0;
  virtual int ProgressPosition() const = 0;
  virtual int ProgressMaximum() const = 0;

  // FlashButton.
  virtual void SetFlashButtonCaption(const std::string& text) = 0;
  virtual void SetFlashButtonEnabled(bool enabled) = 0;
  virtual bool FlashButtonEnabled() const = 0;

  // Quit request: posts a quit with exit code 0 to the message loop;
  // with closeForm the form is asked to close as well.
  virtual void RequestQuit(bool closeForm) = 0;

  // The running program's file and the process's working directory.
  virtual std::string ProgramFilePath() const;
  virtual std::string CurrentDirectory() const;

 protected:
  // Helpers shared by the workflow files.
  bool HasFirmwareRestriction() const;  // FW-Range slot not "-" at characters 0 and 5
  void BuilderSetup();                // builder-mode part of FormCreate
  void BuilderComboBoxChange();       // builder-mode part of ComboBoxChange
  void FlashSequence();               // flash-mode part of FlashButtonClick
  void ReportCommandFailure(const std::string& prefix);
  bool SendVendorCommand(uint8_t DataIn, uint32_t Length);
};

// The one form of the program.
extern FlashFormCore* FlashForm;
