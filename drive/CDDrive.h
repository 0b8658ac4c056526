// One optical drive and its command path. The drives of a context share one
// data buffer, one time-out and one access method (drive/DriveContext.h; the
// class-wide context unless a drive is made in another); each drive keeps
// the status and sense bytes of its last command for the caller to test.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "drive/DriveContext.h"
#include "platform/CommandLibrary.h"
#include "platform/Transport.h"

namespace platform {
class Transcript;
}

class CDDrive {
 public:
  // OpenResult codes.
  static constexpr uint8_t kOpened = 0;
  static constexpr uint8_t kBadSupportStatus = 0x60;  // support info status not completed
  static constexpr uint8_t kMissingEntry = 'a';       // an entry point is missing
  static constexpr uint8_t kLoadFailed = 'b';         // the library did not load
  static constexpr uint8_t kOpenFailed = 'c';         // device did not open or answer INQUIRY

  static constexpr uint32_t kDefaultBufferSize = DriveContext::kDefaultBufferSize;
  static constexpr uint32_t kInquiryDataSize = DriveContext::kInquiryDataSize;

  // A drive by its address alone: on the command library path (host adapter
  // and target), or where the transport opens a drive by its letter.
  CDDrive(uint8_t DriveLetter, uint8_t HostAdapter, uint8_t Target, uint8_t Lun);
  // A drive as discovery returned it, in `context`; the pass-through path
  // opens exactly that device.
  explicit CDDrive(const platform::DeviceInfo& Device, DriveContext& context = ClassDriveContext());
  ~CDDrive();
  CDDrive(const CDDrive&) = delete;
  CDDrive& operator=(const CDDrive&) = delete;

  // Opens the drive's node; a drive whose SCSI generic node is missing or
  // may not be opened is tried on its block node before it is given up.
  bool Open();
  // Fails, like a drive that does not answer, when the INQUIRY data came
  // back too short to hold the identification (36 bytes).
  bool Identify();
  // Sends one command. DataIn == 1: data from the drive. Returns 0 on failure,
  // 1 on pass-through success, Length on library success.
  uint32_t SendCommand(const platform::Cdb& Cdb, uint8_t DataIn, uint32_t Length);
  // The same with the twelve command-block bytes one by one.
  uint32_t SendCommand(uint8_t Cdb0, uint8_t Cdb1, uint8_t Cdb2, uint8_t Cdb3, uint8_t Cdb4,
                       uint8_t Cdb5, uint8_t Cdb6, uint8_t Cdb7, uint8_t Cdb8, uint8_t Cdb9,
                       uint8_t Cdb10, uint8_t Cdb11, uint8_t DataIn, uint32_t Length);
  void ReportError();

  // Identification and reporting.
  std::string GetIdentity();
  std::string GetVendorProduct() const;
  std::string GetRevision() const;
  bool CheckSense(uint8_t Key, uint8_t AscValue, uint8_t AscqValue) const;
  std::string GetErrorText() const;

  // True when the last command went through the transport, ended with GOOD
  // status and left no sense. Sense alone cannot tell a refused or timed-out
  // command from a good one, so the flash operations use this test.
  bool LastCommandSucceeded() const;
  // Bytes of the last command's data phase that the drive did not transfer
  // (0 on the command library path, which does not tell).
  uint32_t GetResidual() const { return LastResidual; }
  // The system's words for LastError, on one line; empty when it is 0.
  std::string GetSystemErrorText() const { return LastError != 0 ? GetSystemErrorText(static_cast<int>(LastError)) : ""; }
  // The same for an error code of the path the drive is reached through.
  std::string GetSystemErrorText(int code) const;

  // The node the drive is reached through (its block node when its SCSI
  // generic node could not be opened).
  const std::string& GetNode() const { return Device.node; }
  // True when the system passes only its safe commands to this drive, so
  // that a flash cannot work (see DriveTransport::FiltersCommands).
  bool FiltersCommands() const;
  // Holds the drive exclusively for a flash (see
  // DriveTransport::LockExclusive). Nothing is sent to the drive.
  platform::HoldOutcome LockExclusive();
  // Lets go of the hold and gives the drive's node back, so that other
  // programs may open it (exclusively, too) while the program waits on the
  // user; the drive's next command, or its next hold, opens it again, and
  // fails with that open's error when it cannot. A drive reached through
  // its block node keeps that node open.
  void UnlockExclusive();

  // The context the drive works in, and a move of an open drive into
  // another one (a flash's own) and back: its handle and identity stay, and
  // it is counted in the context it is in.
  DriveContext& Context() const { return *context_; }
  void MoveToContext(DriveContext& context);

  // The class-wide context's.
  static void SetTimeOut(uint16_t Seconds);
  static uint8_t GetOpenResult();
  static void SetDataBuffer(uint8_t* Buffer, uint32_t Length);
  static uint8_t* GetDataBuffer();

  // --- Per-drive fields -----------------------------------------------------
  uint8_t DriveLetter = ' ';
  uint8_t HostAdapter = 0;
  uint8_t Target = 0;
  uint8_t Lun = 0;
  uint8_t SenseKey = 0;
  uint8_t Asc = 0;
  uint8_t Ascq = 0;
  uint8_t Status = 0;
  bool IoctlSucceeded = false;
  platform::DeviceHandle Handle = platform::kNoHandle;
  std::array<uint8_t, 32> PassThroughSense{};  // sense area of the last pass-through command
  uint32_t DesiredAccess = 0;
  uint32_t ShareMode = 0;
  uint32_t BytesReturned = 0;
  uint32_t RequestSize = 0;
  uint32_t LastError = 0;
  platform::AspiRequest AspiRequest{};
  std::string Identity;
  // The identity of the drive's last INQUIRY that brought one: what the
  // start-up checked the drive with, even where a later INQUIRY failed and
  // left "0" in Identity.
  std::string FoundIdentity;
  platform::DeviceInfo Device;  // what the pass-through path opens
  int OpenError = 0;            // the system's error of a node that did not open, 0 when none
  std::string OpenErrorNode;    // and that node

  // --- Class-wide state: the class-wide context's fields -----------------------
  static inline bool& NtMode = ClassDriveContext().NtMode;
  static inline bool& ReportErrors = ClassDriveContext().ReportErrors;
  static inline bool& UseInquiryBuffer = ClassDriveContext().UseInquiryBuffer;
  static inline uint16_t& OpenCount = ClassDriveContext().OpenCount;
  static inline uint16_t& TimeOut = ClassDriveContext().TimeOut;
  static inline uint8_t& OpenResult = ClassDriveContext().OpenResult;
  static inline std::shared_ptr<platform::AspiLibrary>& AspiLibrary = ClassDriveContext().AspiLibrary;
  static inline std::string& MessageText = ClassDriveContext().MessageText;
  static inline bool& AspiCommandEntry = ClassDriveContext().AspiCommandEntry;
  static inline uint8_t*& DataBuffer = ClassDriveContext().DataBuffer;
  static inline uint32_t& DataLength = ClassDriveContext().DataLength;
  static inline std::array<uint8_t, kInquiryDataSize>& InquiryData = ClassDriveContext().InquiryData;
  static inline std::array<uint8_t, kDefaultBufferSize>& DefaultBuffer = ClassDriveContext().DefaultBuffer;

  // The pass-through transport of the class-wide context, and the system's
  // command library path (none: the pass-through path is always taken).
  // Installed by the entry point or a test.
  static void SetTransport(platform::DriveTransport* transport);
  static platform::DriveTransport* GetTransport();
  static void SetCommandLibrary(platform::CommandLibraryPath* path);
  static platform::CommandLibraryPath* GetCommandLibrary();

  // The access method the next construction in the class-wide context works
  // with (DriveContext::NextUsesPassThrough).
  static bool NextUsesPassThrough();
  // Puts the class-wide state back to its program-start values (tests);
  // that includes the transport and the command library path, which are
  // none at program start.
  static void ResetClassState();

 private:
  bool LoadCommandLibrary();
  // One command by either path; `failed` is set when it failed, for
  // SendCommand to report (ReportError) once its answer is recorded.
  uint32_t SendPassThrough(const platform::Cdb& cdb, uint8_t DataIn, uint32_t Length, bool& failed);
  uint32_t SendAspi(const platform::Cdb& cdb, uint8_t DataIn, uint32_t Length, bool& failed);
  // The answer to the command just sent, as the transcript keeps it.
  void RecordAnswer(platform::Transcript& transcript, platform::Direction direction, const uint8_t* buffer,
                    uint32_t Length, uint64_t took) const;
  std::string InquiryPart() const;
  // The system's text for an error code, as the path that reported it has
  // it (errno texts, or Windows' message table with its line end).
  std::string SystemText(int code) const;
  // Opens the node given back by UnlockExclusive again; 0 when the drive
  // has its node, otherwise the open's error.
  int OpenAgain();

  bool Counted = false;           // counted in OpenCount (construction succeeded)
  bool LastTransportOk = false;   // the last command's transport call succeeded
  uint8_t LastScsiStatus = 0;     // the SCSI status byte of the last command
  int LastSystemError = 0;        // errno reported by the transport for the last command
  uint32_t LastResidual = 0;      // bytes of the last command's data phase not transferred
  bool LastTimedOut = false;      // the system's time-out ended the last command
  bool NodeGivenBack = false;     // the node is closed until the next command or hold
  bool FiltersWhenGivenBack = false;  // FiltersCommands of the node as it was given back
  DriveContext* context_;
};
