// The main form's state and its events and methods, free of any window
// toolkit. The handlers and methods carry the names of the form's events and
// operations and hand the work to the objects that do it: the start-up and
// the builder mode in app/, the flash run and the vendor commands in flash/,
// the package, the catalogue and the build in package/. The fields of the
// flash procedure come from flash::FlashState under the same names.
// The window (TFlashForm) and the tests' in-memory form pass themselves in
// as the view.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "flash/FlashRun.h"
#include "flash/FlashState.h"
#include "package/Package.h"
#include "platform/FormView.h"

class CDDrives;

using StringList = std::vector<std::string>;

class FlashFormCore : public flash::FlashState {
 public:
  static constexpr uint32_t kBlockSize = flash::kBlockSize;
  static constexpr int kDriveIndexSize = 20;

  // `package` is the firmware package this form works with (the embedded one
  // in the program, a crafted one in tests); it is read in place. `view` is
  // the window that shows the form.
  FlashFormCore(const uint8_t* package, platform::FormView& view);
  virtual ~FlashFormCore();
  FlashFormCore(const FlashFormCore&) = delete;
  FlashFormCore& operator=(const FlashFormCore&) = delete;

  // --- Events ---------------------------------------------------------------
  void FormCreate();
  void FormDestroy();
  void ComboBoxChange();
  void FileListBox1Click();
  void FlashButtonClick();

  // Runs one of the events above for the window's message loop: an
  // exception that escapes it is shown in the exception box and the loop
  // goes on (with the default cursor; the drive and the inhibitor lock are
  // let go as the handler's objects unwind).
  void Dispatch(void (FlashFormCore::*event)());

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

  // --- Fields, in declaration order (with those of flash::FlashState) ---------
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
  std::array<int32_t, kDriveIndexSize> DriveIndex{};
  std::string WorkDir;
  std::unique_ptr<CDDrives> Drives;
  uint8_t* TransferBuffer = nullptr;

  // The package this form works with.
  const package::PackageView Package;
  // What the last flash of FlashButtonClick came to.
  flash::FlashOutcome LastFlash = flash::FlashOutcome::NothingWritten;

  platform::FormView& View() const { return view_; }

  // Sets the window caption; a program on simulated drives says so after
  // every caption, so that it can never pass for one that flashes real drives.
  void ShowCaption(const std::string& caption);

 protected:
  // Runs the flash sequence of FlashButtonClick (`flash`) to its end. Here on
  // the calling thread; the Qt window runs it on a thread beside its own, so
  // that a flash goes on to its end whatever becomes of the window.
  virtual void RunFlashSequence(const std::function<void()>& flash) { flash(); }

 private:
  platform::FormView& view_;
};
