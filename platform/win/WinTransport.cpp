#include "platform/win/WinTransport.h"

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>
#include <cstring>
#include <algorithm>
#include <map>
#include <vector>

#include "platform/Sense.h"

namespace platform::win {

namespace {

// The request block of one pass-through command: the request, a filler that
// puts the sense area on an 8-byte boundary, then the sense area the driver
// fills (SenseInfoOffset points at it). In the 32-bit program: 44 + 4 + 32 =
// 80 bytes, the sense area at 48.
struct PassThroughRequest {
  SCSI_PASS_THROUGH_DIRECT request;
  ULONG filler;
  UCHAR sense[32];
};
static_assert(sizeof(void*) == 4, "the Windows program is a 32-bit one");
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44, "pass-through request");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 20 &&
                  offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 24 &&
                  offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 28,
              "pass-through request fields");
static_assert(offsetof(PassThroughRequest, sense) == 48 && sizeof(PassThroughRequest) == 80, "request block");

constexpr UCHAR kSenseInfoLength = 24;
constexpr DWORD kDesiredAccess = GENERIC_READ | GENERIC_WRITE;  // 0xC0000000
constexpr DWORD kShareMode = FILE_SHARE_READ;                   // 1
// While a flash holds the drive nobody else may open it at all.
constexpr DWORD kExclusiveShareMode = 0;
constexpr char kRunAsAdministrator[] =
    "Run the program as administrator (right-click it, then \"Run as administrator\").";
// Enough for every drive letter: 26 roots of four characters and the end.
constexpr DWORD kRootsSize = 26 * 4 + 1;
// Data buffers are handed to the driver as they are when aligned like this;
// others go through an aligned copy.
constexpr uintptr_t kBufferAlignment = 16;

// One open drive letter: its handle, and how it is held.
struct OpenDrive {
  std::string node;
  HANDLE file = INVALID_HANDLE_VALUE;
  DWORD openError = 0;  // why `file` is invalid, once an open again failed
  bool exclusive = false;
  bool volumeLocked = false;  // FSCTL_LOCK_VOLUME took the volume on `file`
};

class PassThroughTransport final : public DriveTransport {
 public:
  ~PassThroughTransport() override {
    for (auto& [id, drive] : drives_) Detach(drive);
  }

  bool IsSimulated() const override { return false; }

  // The CD-ROM roots, in the order the system gives them.
  std::vector<DeviceInfo> EnumerateDrives() override {
    std::vector<DeviceInfo> drives;
    char roots[kRootsSize] = {};
    const DWORD length = GetLogicalDriveStringsA(sizeof roots, roots);
    if (length == 0 || length >= sizeof roots) return drives;
    for (const char* root = roots; root < roots + length && root[0] != '\0'; root += 4) {
      if (GetDriveTypeA(root) != DRIVE_CDROM) continue;
      DeviceInfo device;
      device.driveLetter = static_cast<uint8_t>(root[0]);
      device.node = std::string("\\\\.\\") + root[0] + ":";
      drives.push_back(device);
    }
    // Every CD-ROM drive letter is an optical drive this path can open.
    facts_ = DiscoveryFacts{true, static_cast<unsigned>(drives.size()), 0, true};
    return drives;
  }
  DiscoveryFacts Discovery() const override { return facts_; }

  int Open(const DeviceInfo& device, DeviceHandle& handle) override {
    handle = kNoHandle;
    OpenDrive drive;
    drive.node = device.node;
    if (const DWORD error = Attach(drive, kShareMode); error != 0) return static_cast<int>(error);
    handle = nextId_++;
    drives_[handle] = drive;
    return 0;
  }

  CommandOutcome Execute(DeviceHandle handle, const Cdb& cdb, Direction direction, uint8_t* buffer, uint32_t length,
                         unsigned timeoutSeconds) override {
    CommandOutcome outcome;
    outcome.residual = length;
    auto it = drives_.find(handle);
    if (it == drives_.end() || it->second.file == INVALID_HANDLE_VALUE) {
      // A drive whose handle could not be opened again has none: nothing is sent.
      outcome.sysError = static_cast<int>(it == drives_.end() ? ERROR_INVALID_HANDLE : it->second.openError);
      return outcome;
    }
    if (length > 0 && buffer == nullptr) {
      outcome.sysError = ERROR_INVALID_PARAMETER;
      return outcome;
    }
    outcome.residual = 0;

    // A buffer the driver may refuse for its alignment travels through an aligned copy.
    uint8_t* data = buffer;
    if (length > 0 && (reinterpret_cast<uintptr_t>(buffer) % kBufferAlignment) != 0) {
      bounce_.assign(length + kBufferAlignment, 0);
      const uintptr_t base = reinterpret_cast<uintptr_t>(bounce_.data());
      data = bounce_.data() + (kBufferAlignment - base % kBufferAlignment) % kBufferAlignment;
      if (direction == Direction::Out) std::memcpy(data, buffer, length);
    }

    PassThroughRequest block;
    std::memset(&block, 0, sizeof block);
    SCSI_PASS_THROUGH_DIRECT& request = block.request;
    request.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    request.CdbLength = static_cast<UCHAR>(cdb.size());
    request.SenseInfoLength = kSenseInfoLength;
    request.DataIn = direction == Direction::In ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT;
    request.DataTransferLength = length;
    request.TimeOutValue = timeoutSeconds;
    request.DataBuffer = length > 0 ? data : nullptr;
    request.SenseInfoOffset = offsetof(PassThroughRequest, sense);
    std::memcpy(request.Cdb, cdb.data(), cdb.size());

    DWORD returned = 0;
    SetLastError(0);
    const BOOL ok = DeviceIoControl(it->second.file, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, &block,
                                    sizeof block, &returned, nullptr);
    const DWORD error = ok ? 0 : GetLastError();
    // The driver leaves the count of sense bytes it filled in SenseInfoLength.
    outcome = PassThroughOutcome(ok != FALSE, error, request.ScsiStatus, block.sense,
                                 std::min<size_t>(request.SenseInfoLength, sizeof block.sense), length,
                                 request.DataTransferLength);
    if (data != buffer && direction == Direction::In) {
      // The driver reports what it transferred; only that much is copied back.
      const uint32_t moved = request.DataTransferLength < length ? request.DataTransferLength : length;
      std::memcpy(buffer, data, moved);
    }
    return outcome;
  }

  // Pass-through takes every command from a handle that may write.
  bool FiltersCommands(DeviceHandle) const override { return false; }

  // From detection on, the drive letter's device is open so that others may
  // only read it. For a flash it is opened again so that nobody else may
  // open it at all; the system refuses that while another program has it
  // open (and the CD file systems, which take such an open as a lock of the
  // volume, while a file of the disc is open). Then its volume is locked,
  // which fails while a file of the disc is open; a device with no file
  // system to lock (no disc, a blank or an audio disc) is held by its handle
  // alone. On a refusal the drive gets its handle back as it was.
  HoldOutcome LockExclusive(DeviceHandle handle) override {
    auto it = drives_.find(handle);
    if (it == drives_.end()) return {ERROR_INVALID_HANDLE, false, ""};
    OpenDrive& drive = it->second;
    if (drive.exclusive) return {};
    Detach(drive);
    if (const DWORD error = Attach(drive, kExclusiveShareMode); error != 0) {
      Attach(drive, kShareMode);
      return {static_cast<int>(error), MeansInUse(error), drive.node};
    }
    DWORD returned = 0;
    if (DeviceIoControl(drive.file, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr)) {
      drive.volumeLocked = true;
    } else if (const DWORD error = GetLastError(); !NothingToLock(error)) {
      Detach(drive);
      Attach(drive, kShareMode);
      return {static_cast<int>(error), MeansInUse(error), drive.node};
    }
    drive.exclusive = true;
    return {};
  }

  void UnlockExclusive(DeviceHandle handle) override {
    auto it = drives_.find(handle);
    if (it == drives_.end() || !it->second.exclusive) return;
    OpenDrive& drive = it->second;
    drive.exclusive = false;
    Detach(drive);
    Attach(drive, kShareMode);
  }

  void Close(DeviceHandle handle) override {
    auto it = drives_.find(handle);
    if (it == drives_.end()) return;
    Detach(it->second);
    drives_.erase(it);
  }

  std::string ErrorText(int sysError) const override { return SystemErrorText(static_cast<uint32_t>(sysError)); }

  // Only an administrator opens a drive letter's device for reading and
  // writing; the program asks for the rights in its manifest, which a user
  // can decline and a system without the user account control ignores.
  std::string OpenRemedy(int sysError) const override {
    if (sysError == ERROR_ACCESS_DENIED) return kRunAsAdministrator;
    return {};
  }

 private:
  // Opens the drive's device with `shareMode`; returns 0 or the system's
  // error code, and then the drive has no handle, and its commands fail
  // with that code.
  static DWORD Attach(OpenDrive& drive, DWORD shareMode) {
    drive.file = CreateFileA(drive.node.c_str(), kDesiredAccess, shareMode, nullptr, OPEN_EXISTING, 0, nullptr);
    drive.openError = drive.file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (drive.file == INVALID_HANDLE_VALUE && drive.openError == 0) drive.openError = ERROR_INVALID_HANDLE;
    return drive.openError;
  }

  // Lets go of the volume's lock and closes the handle.
  static void Detach(OpenDrive& drive) {
    if (drive.file == INVALID_HANDLE_VALUE) return;
    if (drive.volumeLocked) {
      DWORD returned = 0;
      DeviceIoControl(drive.file, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
      drive.volumeLocked = false;
    }
    CloseHandle(drive.file);
    drive.file = INVALID_HANDLE_VALUE;
  }

  std::map<DeviceHandle, OpenDrive> drives_;
  DiscoveryFacts facts_;
  DeviceHandle nextId_ = 1;
  std::vector<uint8_t> bounce_;
};

}  // namespace

CommandOutcome PassThroughOutcome(bool ok, uint32_t error, uint8_t scsiStatus, const uint8_t* sense,
                                  size_t senseLength, uint32_t length, uint32_t transferred) {
  CommandOutcome outcome;
  outcome.transportOk = ok;
  outcome.sysError = ok ? 0 : static_cast<int>(error);
  outcome.timedOut = !ok && error == ERROR_SEM_TIMEOUT;
  outcome.status = scsiStatus;
  outcome.sense = NormaliseSense(sense, senseLength);
  // The driver reports the count it transferred; a failed call moved nothing.
  outcome.residual = !ok ? length : transferred < length ? length - transferred : 0;
  return outcome;
}

bool MeansInUse(uint32_t error) {
  switch (error) {
    case ERROR_SHARING_VIOLATION:  // another program has the device open
    case ERROR_ACCESS_DENIED:      // a file of the disc is open, or another program locked the volume
    case ERROR_LOCK_VIOLATION:
      return true;
    default:
      return false;
  }
}

bool NothingToLock(uint32_t error) {
  switch (error) {
    case ERROR_INVALID_FUNCTION:  // no file system: the request reaches the drive's own driver
    case ERROR_NOT_SUPPORTED:
    case ERROR_NOT_READY:  // no disc
    case ERROR_UNRECOGNIZED_VOLUME:
      return true;
    default:
      return false;
  }
}

std::unique_ptr<DriveTransport> MakePassThroughTransport() { return std::make_unique<PassThroughTransport>(); }

std::string SystemErrorText(uint32_t code) {
  char text[80];
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
  return length == 0 ? std::string() : std::string(text, length);
}

}  // namespace platform::win
