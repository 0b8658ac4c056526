#include "drive/CDDrive.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "platform/Services.h"
#include "platform/Transcript.h"

namespace {

constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kInquiryLength = 128;
// The identification ends with the revision in bytes 32 to 35.
constexpr uint32_t kInquiryIdentificationEnd = 36;

// Errors of a node that is not there or may not be opened, after which the
// drive's other node is worth a try. A busy node is not: another program
// holds the drive.
bool WorthTheOtherNode(int error) {
  return error == ENOENT || error == ENXIO || error == ENODEV || error == EACCES || error == EPERM;
}

bool NodeIsMissing(int error) { return error == ENOENT || error == ENXIO || error == ENODEV; }

// INQUIRY of the standard data, 128 bytes.
platform::Cdb InquiryBlock() {
  return {kInquiry, 0x00, 0x00, 0x00, kInquiryLength, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
}

constexpr const char* kAspiLibraryName = "WNASPI32.DLL";
constexpr const char* kAspiDownload = "http://www.adaptec.com/support/aspi";

// printf's "%W.Ps" on a byte string: at most P bytes, stopping at a zero
// byte, padded on the left with blanks to W.
std::string FormatField(const uint8_t* text, size_t available, size_t width) {
  std::string field;
  for (size_t i = 0; i < available && i < width && text[i] != 0; ++i) {
    field.push_back(static_cast<char>(text[i]));
  }
  return std::string(width - field.size(), ' ') + field;
}

std::string FormatField(const std::string& text, size_t width) {
  return FormatField(reinterpret_cast<const uint8_t*>(text.data()), text.size(), width);
}

}  // namespace

CDDrive::CDDrive(uint8_t DriveLetter_, uint8_t HostAdapter_, uint8_t Target_, uint8_t Lun_)
    : CDDrive(platform::DeviceInfo{DriveLetter_, HostAdapter_, 0, Target_, Lun_, {}, {}, {}}) {}

CDDrive::CDDrive(const platform::DeviceInfo& Device_, DriveContext& context) : context_(&context) {
  Identity.clear();
  DriveLetter = Device_.driveLetter;
  HostAdapter = Device_.host;
  Target = Device_.target;
  Lun = Device_.lun;
  Device = Device_;

  if (context_->Transport == nullptr && context_->LibraryPath == nullptr) {
    context_->OpenResult = kOpenFailed;
    return;
  }

  // The access method, the library and the default buffer are settled only
  // while no drive is open; an open drive keeps them as they are.
  if (context_->OpenCount == 0) {
    context_->NtMode = context_->NextUsesPassThrough();
    if (!context_->NtMode && !LoadCommandLibrary()) return;
    context_->DataBuffer = context_->DefaultBuffer.data();
    context_->DataLength = kDefaultBufferSize;
  }

  ShareMode = 1;
  DesiredAccess = 0xC0000000;
  Handle = platform::kNoHandle;

  if (Open()) {
    context_->OpenResult = kOpened;
    ++context_->OpenCount;
    Counted = true;
  } else {
    context_->OpenResult = kOpenFailed;
  }
}

// Loads the command library and checks its entry points; on failure sets
// OpenResult and leaves no library loaded.
bool CDDrive::LoadCommandLibrary() {
  std::unique_ptr<platform::AspiLibrary> library =
      context_->LibraryPath != nullptr ? context_->LibraryPath->LoadAspiLibrary(kAspiLibraryName) : nullptr;
  context_->AspiCommandEntry = false;
  if (!library) {
    context_->MessageText = std::string("Unable to load WNASPI32.DLL !\nYou can down the DLL from ") + kAspiDownload +
                  "\n and copy the DLL to system directory.\n\n";
    platform::ShowError(context_->Platform(), context_->MessageText);
    context_->OpenResult = kLoadFailed;
    context_->AspiLibrary.reset();
    return false;
  }
  context_->AspiLibrary = std::move(library);
  if (!context_->AspiLibrary->HasEntry("GetASPI32SupportInfo")) {
    context_->OpenResult = kMissingEntry;
  } else if (((context_->AspiLibrary->GetSupportInfo() >> 8) & 0xFF) != platform::kSrbCompleted) {
    context_->OpenResult = kBadSupportStatus;
  } else if (!(context_->AspiCommandEntry = context_->AspiLibrary->HasEntry("SendASPI32Command"))) {
    context_->OpenResult = kMissingEntry;
  } else {
    return true;
  }
  context_->AspiLibrary.reset();
  return false;
}

CDDrive::~CDDrive() {
  // A drive whose construction failed was never counted: it must neither
  // lower OpenCount nor release the library that open drives still use.
  if (context_->NtMode) {
    if (Handle != platform::kNoHandle && context_->Transport != nullptr) context_->Transport->Close(Handle);
    Handle = platform::kNoHandle;
    // A drive that gave its node back is still counted.
    if (Counted && context_->OpenCount > 0) --context_->OpenCount;
  } else if (Counted) {
    if (context_->AspiLibrary && context_->OpenCount == 0) {
      context_->AspiLibrary.reset();
      context_->AspiCommandEntry = false;
    } else if (context_->OpenCount > 0) {
      --context_->OpenCount;
    }
  }
  Counted = false;
  Identity.clear();
}

bool CDDrive::Open() {
  if (context_->NtMode) {
    std::string path = Device.Name();
    // The device path goes into the data buffer, as on Windows, where the
    // open call reads it from there; the transport here opens the device
    // that discovery returned.
    if (context_->DataBuffer != nullptr && path.size() < context_->DataLength) {
      std::memcpy(context_->DataBuffer, path.c_str(), path.size() + 1);
    }
    int error = context_->Transport != nullptr ? context_->Transport->Open(Device, Handle) : ENODEV;
    if (error != 0 && WorthTheOtherNode(error) && !Device.blockDevice.empty() && Device.blockDevice != Device.node) {
      platform::DeviceInfo block = Device;
      block.node = Device.blockDevice;
      const int blockError = context_->Transport->Open(block, Handle);
      if (blockError == 0) {
        Device = block;
        error = 0;
      } else if (NodeIsMissing(error)) {
        // Only the block node is there: its error is the one to report.
        error = blockError;
        path = block.node;
      }
    }
    if (error != 0) {
      Handle = platform::kNoHandle;
      LastSystemError = error;
      OpenError = error;
      OpenErrorNode = path;
      char text[512];
      std::snprintf(text, sizeof text, "Error opening: %d, Drive: %s", error, path.c_str());
      context_->MessageText = text;
      // What the user can do about it, on a line of its own below.
      if (context_->Transport != nullptr) {
        const std::string remedy = context_->Transport->OpenRemedy(error);
        if (!remedy.empty()) context_->MessageText += "\n" + remedy;
      }
      platform::ShowMessage(context_->Platform(), context_->MessageText);
      context_->ReportErrors = true;
      ReportError();
      return false;
    }
  }
  if (Identify()) return true;
  if (context_->NtMode && Handle != platform::kNoHandle) {
    context_->Transport->Close(Handle);
    Handle = platform::kNoHandle;
  }
  return false;
}

bool CDDrive::Identify() {
  context_->UseInquiryBuffer = true;
  const uint32_t result = SendCommand(InquiryBlock(), 1, kInquiryLength);
  context_->UseInquiryBuffer = false;
  // A command that came back without sense but not GOOD (BUSY, for one)
  // brought no INQUIRY data, and a short one not all of it: the buffer still
  // holds an earlier answer, maybe another drive's, which must not become
  // this drive's identity.
  if (result == 0 || !LastCommandSucceeded() || kInquiryLength - LastResidual < kInquiryIdentificationEnd) {
    Identity = "0";
    return false;
  }
  char address[64];
  std::snprintf(address, sizeof address, "%d-%d-%d ", HostAdapter, Target, Lun);
  Identity = address;
  if (DriveLetter != 0) Identity.push_back(static_cast<char>(DriveLetter));
  Identity += ": ";
  Identity += FormatField(context_->InquiryData.data() + 8, context_->InquiryData.size() - 8, 28);
  FoundIdentity = Identity;
  return true;
}

uint32_t CDDrive::SendCommand(const platform::Cdb& Cdb, uint8_t DataIn, uint32_t Length) {
  platform::Transcript* transcript = context_->Platform().ActiveTranscript();
  // The request is in the transcript before the drive has it, so that a
  // command the program never came back from is there too.
  uint8_t* buffer = context_->UseInquiryBuffer ? context_->InquiryData.data() : context_->DataBuffer;
  const platform::Direction direction = DataIn == 1 ? platform::Direction::In : platform::Direction::Out;
  if (transcript != nullptr) transcript->Request(Cdb, direction, Length, context_->TimeOut, buffer);
  const uint64_t start = platform::MonotonicMicroseconds();
  bool failed = false;
  const uint32_t result =
      context_->NtMode ? SendPassThrough(Cdb, DataIn, Length, failed) : SendAspi(Cdb, DataIn, Length, failed);
  if (transcript != nullptr) {
    RecordAnswer(*transcript, direction, buffer, Length, platform::MonotonicMicroseconds() - start);
  }
  // A failure's message comes after the drive's answer, in the transcript as on the screen.
  if (failed) ReportError();
  return result;
}

void CDDrive::RecordAnswer(platform::Transcript& transcript, platform::Direction direction, const uint8_t* buffer,
                           uint32_t Length, uint64_t took) const {
  platform::CommandOutcome outcome;
  outcome.transportOk = LastTransportOk;
  outcome.timedOut = LastTimedOut;
  outcome.status = LastScsiStatus;
  outcome.sysError = LastSystemError;
  outcome.residual = LastResidual;
  if (context_->NtMode) {
    outcome.sense = PassThroughSense;
  } else {
    std::copy_n(AspiRequest.senseArea.begin(), std::min(AspiRequest.senseArea.size(), outcome.sense.size()),
                outcome.sense.begin());
  }
  // The bytes that arrived: none when the call itself failed.
  const uint32_t arrived = direction == platform::Direction::In && LastTransportOk && buffer != nullptr
                               ? Length - std::min(LastResidual, Length)
                               : 0;
  // The command library's own status, which its messages show.
  std::optional<platform::LibraryStatus> library;
  if (!context_->NtMode) library = platform::LibraryStatus{AspiRequest.status, AspiRequest.hostStatus};
  transcript.Answer(outcome, took, buffer, arrived, library);
}

uint32_t CDDrive::SendCommand(uint8_t Cdb0, uint8_t Cdb1, uint8_t Cdb2, uint8_t Cdb3, uint8_t Cdb4,
                              uint8_t Cdb5, uint8_t Cdb6, uint8_t Cdb7, uint8_t Cdb8, uint8_t Cdb9,
                              uint8_t Cdb10, uint8_t Cdb11, uint8_t DataIn, uint32_t Length) {
  return SendCommand(platform::Cdb{Cdb0, Cdb1, Cdb2, Cdb3, Cdb4, Cdb5, Cdb6, Cdb7, Cdb8, Cdb9, Cdb10, Cdb11},
                     DataIn, Length);
}

uint32_t CDDrive::SendPassThrough(const platform::Cdb& cdb, uint8_t DataIn, uint32_t Length, bool& failed) {
  PassThroughSense.fill(0);
  RequestSize = 80;
  uint8_t* buffer = context_->UseInquiryBuffer ? context_->InquiryData.data() : context_->DataBuffer;

  platform::CommandOutcome outcome;
  if (context_->Transport == nullptr) {
    outcome.sysError = ENODEV;
  } else if (buffer == nullptr && Length > 0) {
    outcome.sysError = EFAULT;  // no buffer installed: nothing may be transferred
  } else if (const int error = OpenAgain(); error != 0) {
    outcome.sysError = error;  // the node given back did not open again
    outcome.residual = Length;
  } else {
    // The drive may take up to the time-out to answer: the window stays alive meanwhile.
    platform::RunBlocking(context_->Platform(), [&] {
      outcome = context_->Transport->Execute(Handle, cdb,
                                   DataIn == 1 ? platform::Direction::In : platform::Direction::Out,
                                   buffer, Length, context_->TimeOut);
    });
  }

  IoctlSucceeded = outcome.transportOk;
  BytesReturned = outcome.transportOk ? RequestSize : 0;
  LastError = 0;
  LastTransportOk = outcome.transportOk;
  LastScsiStatus = outcome.status;
  LastSystemError = outcome.sysError;
  LastResidual = std::min(outcome.residual, Length);
  LastTimedOut = outcome.timedOut;
  Status = outcome.status;
  PassThroughSense = outcome.sense;
  SenseKey = PassThroughSense[2];
  Asc = PassThroughSense[12];
  Ascq = PassThroughSense[13];

  if (IoctlSucceeded && SenseKey == 0) return 1;
  failed = true;
  return 0;
}

uint32_t CDDrive::SendAspi(const platform::Cdb& cdb, uint8_t DataIn, uint32_t Length, bool& failed) {
  AspiRequest = platform::AspiRequest{};
  AspiRequest.command = 2;
  AspiRequest.hostAdapter = HostAdapter;
  AspiRequest.target = Target;
  AspiRequest.lun = 0;
  AspiRequest.flags =
      static_cast<uint8_t>((DataIn == 1 ? platform::kSrbDirIn : platform::kSrbDirOut) |
                           platform::kSrbEventNotify);
  AspiRequest.bufferLength = Length;
  AspiRequest.buffer = context_->UseInquiryBuffer ? context_->InquiryData.data() : context_->DataBuffer;
  AspiRequest.senseLength = 14;
  AspiRequest.cdbLength = 12;
  std::copy(cdb.begin(), cdb.end(), AspiRequest.cdb.begin());

  errno = 0;
  if (context_->AspiLibrary && context_->AspiCommandEntry && (AspiRequest.buffer != nullptr || Length == 0)) {
    // The system's last error code is kept per thread: it is read on the
    // thread that sent the command.
    platform::RunBlocking(context_->Platform(), [&] {
      errno = 0;
      context_->AspiLibrary->SendCommand(AspiRequest);
      if (AspiRequest.status == platform::kSrbPending) {
        context_->AspiLibrary->WaitForCompletion(AspiRequest, uint32_t{context_->TimeOut} * 1000u);
      }
      // Whatever code the system last recorded.
      LastSystemError = context_->AspiLibrary->SystemError();
    });
  } else {
    LastSystemError = context_->AspiLibrary ? EFAULT : ENODEV;  // the request never left: it stays pending
  }
  LastResidual = 0;
  LastTimedOut = false;

  LastError = 0;
  Status = AspiRequest.status;
  SenseKey = AspiRequest.senseArea[2];
  Asc = AspiRequest.senseArea[12];
  Ascq = AspiRequest.senseArea[13];
  LastTransportOk = Status == platform::kSrbCompleted && AspiRequest.hostStatus == 0;
  LastScsiStatus = AspiRequest.targetStatus;

  if (Status == platform::kSrbCompleted && SenseKey == 0) return Length;
  failed = true;
  return 0;
}

void CDDrive::ReportError() {
  LastError = static_cast<uint32_t>(LastSystemError);
  if (!context_->ReportErrors) return;
  const int code = static_cast<int>(LastError);
  const std::string systemText = SystemText(code);
  char text[512];
  std::snprintf(text, sizeof text, "SenseCode: %02X %02X %02X, %02X, Error: %d, %s", SenseKey, Asc,
                Ascq, Status, code, systemText.empty() ? "Format message failed." : systemText.c_str());
  context_->MessageText = text;
  platform::ShowMessage(context_->Platform(), context_->MessageText);
}

std::string CDDrive::GetIdentity() {
  if (Identify()) return Identity;
  return "0";
}

std::string CDDrive::InquiryPart() const {
  const size_t separator = Identity.find(": ");
  if (separator == std::string::npos) return {};
  return Identity.substr(separator + 2);
}

std::string CDDrive::GetVendorProduct() const { return FormatField(InquiryPart(), 24); }

std::string CDDrive::GetRevision() const {
  const std::string part = InquiryPart();
  return FormatField(part.size() > 24 ? part.substr(24) : std::string(), 4);
}

bool CDDrive::CheckSense(uint8_t Key, uint8_t AscValue, uint8_t AscqValue) const {
  return SenseKey == Key && Asc == AscValue && Ascq == AscqValue;
}

std::string CDDrive::GetErrorText() const {
  char text[64];
  std::snprintf(text, sizeof text, "%02X %02X %02X. %02X, %04X", SenseKey, Asc, Ascq, Status,
                static_cast<unsigned>(LastError));
  return text;
}

std::string CDDrive::GetSystemErrorText(int code) const {
  std::string text = SystemText(code);
  // A message table's text ends with its own line end.
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

std::string CDDrive::SystemText(int code) const {
  // The text comes from the path that reported the code: the system's
  // message table on Windows, errno texts elsewhere.
  if (context_->NtMode && context_->Transport != nullptr) return context_->Transport->ErrorText(code);
  if (!context_->NtMode && context_->AspiLibrary) return context_->AspiLibrary->ErrorText(code);
  return std::strerror(code);
}

bool CDDrive::FiltersCommands() const {
  if (NodeGivenBack) return context_->NtMode && FiltersWhenGivenBack;
  return context_->NtMode && context_->Transport != nullptr && Handle != platform::kNoHandle &&
         context_->Transport->FiltersCommands(Handle);
}

platform::HoldOutcome CDDrive::LockExclusive() {
  if (!context_->NtMode) return {};  // the command library has no exclusive access
  platform::HoldOutcome outcome;
  if (context_->Transport == nullptr) {
    outcome = {EBADF, false, Device.Name()};
  } else if (const int error = OpenAgain(); error != 0) {
    outcome = {error, error == EBUSY, Device.Name()};
  } else if (Handle == platform::kNoHandle) {
    outcome = {EBADF, false, Device.Name()};
  } else {
    outcome = context_->Transport->LockExclusive(Handle);
  }
  if (platform::Transcript* transcript = context_->Platform().ActiveTranscript()) transcript->Hold(outcome);
  return outcome;
}

void CDDrive::UnlockExclusive() {
  if (!context_->NtMode || context_->Transport == nullptr || Handle == platform::kNoHandle) return;
  context_->Transport->UnlockExclusive(Handle);
  // A drive reached through its block node keeps it: a plain descriptor of
  // a block node keeps no other program out, and its last close would make
  // the kernel unlock the tray and look at the drive again.
  if (!Device.blockDevice.empty() && Device.node == Device.blockDevice) return;
  // Nothing of this program keeps the node open while it waits on the user:
  // another program may open it, exclusively too (a burning program, or
  // this program started again).
  FiltersWhenGivenBack = context_->Transport->FiltersCommands(Handle);
  context_->Transport->Close(Handle);
  Handle = platform::kNoHandle;
  NodeGivenBack = true;
}

int CDDrive::OpenAgain() {
  if (!NodeGivenBack) return 0;
  if (context_->Transport == nullptr) return ENODEV;
  const int error = context_->Transport->Open(Device, Handle);
  if (error != 0) {
    Handle = platform::kNoHandle;
    return error;
  }
  NodeGivenBack = false;
  return 0;
}

bool CDDrive::LastCommandSucceeded() const {
  const bool noSense = SenseKey == 0 && Asc == 0 && Ascq == 0;
  if (context_->NtMode) return LastTransportOk && LastScsiStatus == 0 && noSense;
  return Status == platform::kSrbCompleted && LastTransportOk && LastScsiStatus == 0 && noSense;
}

void CDDrive::MoveToContext(DriveContext& context) {
  if (&context == context_) return;
  if (Counted) {
    if (context_->OpenCount > 0) --context_->OpenCount;
    ++context.OpenCount;
  }
  context_ = &context;
}

void CDDrive::SetTimeOut(uint16_t Seconds) { ClassDriveContext().SetTimeOut(Seconds); }

uint8_t CDDrive::GetOpenResult() { return ClassDriveContext().OpenResult; }

void CDDrive::SetDataBuffer(uint8_t* Buffer, uint32_t Length) { ClassDriveContext().SetDataBuffer(Buffer, Length); }

uint8_t* CDDrive::GetDataBuffer() { return ClassDriveContext().DataBuffer; }

void CDDrive::SetTransport(platform::DriveTransport* transport) { ClassDriveContext().Transport = transport; }

platform::DriveTransport* CDDrive::GetTransport() { return ClassDriveContext().Transport; }

void CDDrive::SetCommandLibrary(platform::CommandLibraryPath* path) { ClassDriveContext().LibraryPath = path; }

platform::CommandLibraryPath* CDDrive::GetCommandLibrary() { return ClassDriveContext().LibraryPath; }

bool CDDrive::NextUsesPassThrough() { return ClassDriveContext().NextUsesPassThrough(); }

void CDDrive::ResetClassState() { ClassDriveContext().Reset(); }

// --- DriveContext ----------------------------------------------------------------

DriveContext& ClassDriveContext() {
  static DriveContext context;
  return context;
}

void DriveContext::SetDataBuffer(uint8_t* buffer, uint32_t length) {
  if (buffer != nullptr) {
    DataBuffer = buffer;
    DataLength = length;
  } else {
    DataBuffer = DefaultBuffer.data();
    DataLength = kDefaultBufferSize;
  }
}

bool DriveContext::NextUsesPassThrough() const {
  if (OpenCount != 0) return NtMode;
  // A system without a command library has only the pass-through path.
  return LibraryPath == nullptr || LibraryPath->UsesPassThrough();
}

void DriveContext::TakeAccessFrom(const DriveContext& list) {
  NtMode = list.NtMode;
  ReportErrors = list.ReportErrors;
  AspiLibrary = list.AspiLibrary;
  AspiCommandEntry = list.AspiCommandEntry;
  Transport = list.Transport;
  LibraryPath = list.LibraryPath;
  OpenResult = list.OpenResult;
  SetDataBuffer(nullptr, 0);
}

void DriveContext::Reset() {
  NtMode = false;
  ReportErrors = false;
  UseInquiryBuffer = false;
  OpenCount = 0;
  TimeOut = 60;
  OpenResult = kOpenFailed;
  AspiLibrary.reset();
  MessageText.clear();
  AspiCommandEntry = false;
  DataBuffer = nullptr;
  DataLength = 0;
  InquiryData.fill(0);
  DefaultBuffer.fill(0);
  Transport = nullptr;
  LibraryPath = nullptr;
}
