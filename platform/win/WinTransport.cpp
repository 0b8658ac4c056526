#include "platform/win/WinTransport.h"

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <vector>

namespace platform::win {

namespace {

// The request block of one pass-through command: the request, then the
// sense area the driver fills (SenseInfoOffset points at it).
struct PassThroughRequest {
  SCSI_PASS_THROUGH_DIRECT request;
  UCHAR sense[32];
};

constexpr UCHAR kSenseInfoLength = 24;
constexpr DWORD kDesiredAccess = GENERIC_READ | GENERIC_WRITE;  // 0xC0000000
constexpr DWORD kShareMode = FILE_SHARE_READ;                   // 1
// Enough for every drive letter: 26 roots of four characters and the end.
constexpr DWORD kRootsSize = 26 * 4 + 1;
// Data buffers are handed to the driver as they are when aligned like this;
// others go through an aligned copy.
constexpr uintptr_t kBufferAlignment = 16;

class PassThroughTransport final : public DriveTransport {
 public:
  ~PassThroughTransport() override {
    for (auto& [id, handle] : handles_) CloseHandle(handle);
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
    return drives;
  }

  int Open(const DeviceInfo& device, DeviceHandle& handle) override {
    handle = kNoHandle;
    const HANDLE file = CreateFileA(device.node.c_str(), kDesiredAccess, kShareMode, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    handle = nextId_++;
    handles_[handle] = file;
    return 0;
  }

  CommandOutcome Execute(DeviceHandle handle, const Cdb& cdb, Direction direction, uint8_t* buffer, uint32_t length,
                         unsigned timeoutSeconds) override {
    CommandOutcome outcome;
    auto it = handles_.find(handle);
    if (it == handles_.end()) {
      outcome.sysError = ERROR_INVALID_HANDLE;
      return outcome;
    }
    if (length > 0 && buffer == nullptr) {
      outcome.sysError = ERROR_INVALID_PARAMETER;
      return outcome;
    }

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
    const BOOL ok = DeviceIoControl(it->second, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block, sizeof block, &block,
                                    sizeof block, &returned, nullptr);
    outcome.transportOk = ok != FALSE;
    outcome.sysError = ok ? 0 : static_cast<int>(GetLastError());
    outcome.timedOut = !ok && outcome.sysError == ERROR_SEM_TIMEOUT;
    outcome.status = request.ScsiStatus;
    std::memcpy(outcome.sense.data(), block.sense, sizeof block.sense);
    // The driver leaves the count it transferred in DataTransferLength.
    if (ok && request.DataTransferLength < length) outcome.residual = length - request.DataTransferLength;
    if (!ok) outcome.residual = length;
    if (data != buffer && direction == Direction::In) {
      // The driver reports what it transferred; only that much is copied back.
      const uint32_t moved = request.DataTransferLength < length ? request.DataTransferLength : length;
      std::memcpy(buffer, data, moved);
    }
    return outcome;
  }

  // Pass-through takes every command from a handle that may write.
  bool FiltersCommands(DeviceHandle) const override { return false; }

  // The drive letter's device is opened so that others may only read it
  // (FILE_SHARE_READ): from its open on no other program can open it for
  // writing, and it does not open while one has it open so. That is the
  // hold; nothing more is taken for a flash.
  HoldOutcome LockExclusive(DeviceHandle handle) override {
    if (handles_.count(handle) == 0) return {ERROR_INVALID_HANDLE, false, ""};
    return {};
  }
  void UnlockExclusive(DeviceHandle) override {}

  void Close(DeviceHandle handle) override {
    auto it = handles_.find(handle);
    if (it == handles_.end()) return;
    CloseHandle(it->second);
    handles_.erase(it);
  }

  std::string ErrorText(int sysError) const override { return SystemErrorText(static_cast<uint32_t>(sysError)); }

 private:
  std::map<DeviceHandle, HANDLE> handles_;
  DeviceHandle nextId_ = 1;
  std::vector<uint8_t> bounce_;
};

}  // namespace

std::unique_ptr<DriveTransport> MakePassThroughTransport() { return std::make_unique<PassThroughTransport>(); }

std::string SystemErrorText(uint32_t code) {
  char text[80];
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
  return length == 0 ? std::string() : std::string(text, length);
}

}  // namespace platform::win
