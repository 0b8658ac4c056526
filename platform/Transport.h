// What the drive layer needs of a transport. Two kinds of access exist, as
// on the system this program was first written for: a pass-through path that
// opens each drive's device node and sends commands through it (the Linux
// SG_IO back-end, and simulated drives), and a loadable command library that
// addresses drives by host adapter and target (only the simulated back-end
// offers it). The drive layer decides which one to use while no drive is open.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// A drive that discovery found on the pass-through path.
struct DeviceInfo {
  uint8_t host = 0;
  uint8_t channel = 0;
  uint8_t target = 0;
  uint8_t lun = 0;
  std::string node;  // device node that will be opened, e.g. "/dev/sg1"
};

enum class Direction : uint8_t { In, Out };

// Outcome of one command on the pass-through path. Sense data is always in
// fixed-format positions (key in byte 2, ASC in 12, ASCQ in 13); back-ends
// normalise descriptor-format sense before they report it.
struct CommandOutcome {
  bool transportOk = false;  // the call went through: no OS, host, driver or time-out error
  bool timedOut = false;
  uint8_t status = 0;  // SCSI status byte (0 GOOD, 2 CHECK CONDITION, 8 BUSY, ...)
  std::array<uint8_t, 32> sense{};  // zero when no sense data came back
  int sysError = 0;                 // errno of the failed call, 0 otherwise
};

using DeviceHandle = int;
constexpr DeviceHandle kNoHandle = -1;

// --- The command library path (stands for the ASPI library) ---------------

// SRB status codes.
constexpr uint8_t kSrbPending = 0x00;
constexpr uint8_t kSrbCompleted = 0x01;
constexpr uint8_t kSrbAborted = 0x02;
constexpr uint8_t kSrbError = 0x04;

constexpr uint8_t kSrbDirIn = 0x08;
constexpr uint8_t kSrbDirOut = 0x10;
constexpr uint8_t kSrbEventNotify = 0x40;

// An execute-command request of the library: header, command block and sense area.
struct AspiRequest {
  uint8_t command = 0;  // 2 = execute SCSI command
  uint8_t status = kSrbPending;
  uint8_t hostAdapter = 0;
  uint8_t flags = 0;
  uint8_t target = 0;
  uint8_t lun = 0;
  uint32_t bufferLength = 0;
  uint8_t* buffer = nullptr;
  uint8_t senseLength = 0;
  uint8_t cdbLength = 0;
  uint8_t hostStatus = 0;
  uint8_t targetStatus = 0;
  std::array<uint8_t, 16> cdb{};
  std::array<uint8_t, 16> senseArea{};
};

class AspiLibrary {
 public:
  virtual ~AspiLibrary() = default;
  // Whether the library exports the named entry point.
  virtual bool HasEntry(const std::string& name) = 0;
  // Status in bits 8 to 15, number of host adapters in bits 0 to 7.
  virtual uint32_t GetSupportInfo() = 0;
  // Submits a request. The library may complete it at once or leave it pending.
  virtual void SendCommand(AspiRequest& request) = 0;
  // Waits for a pending request's completion event; false when the wait timed out.
  // A request whose wait timed out is abandoned: it never completes afterwards.
  virtual bool WaitForCompletion(AspiRequest& request, uint32_t milliseconds) = 0;
};

// --- The transport ----------------------------------------------------------

class DriveTransport {
 public:
  virtual ~DriveTransport() = default;

  // True for the pass-through path, false for the command library path.
  // Asked only while no drive is open.
  virtual bool UsesPassThrough() = 0;

  // Whether the drives behind this transport are simulated.
  virtual bool IsSimulated() const = 0;

  // Pass-through discovery: the optical drives, in ascending SCSI address order.
  virtual std::vector<DeviceInfo> EnumerateDrives() = 0;

  // The device node that Open would use for this address (for messages).
  virtual std::string DevicePath(uint8_t driveLetter, uint8_t host, uint8_t target,
                                 uint8_t lun) = 0;

  // Opens the drive for reading and writing. Returns 0 and sets handle, or an errno.
  virtual int Open(uint8_t driveLetter, uint8_t host, uint8_t target, uint8_t lun,
                   DeviceHandle& handle) = 0;

  // Executes one command. `buffer` holds `length` bytes (may be null when length is 0).
  virtual CommandOutcome Execute(DeviceHandle handle, const std::array<uint8_t, 12>& cdb,
                                 Direction direction, uint8_t* buffer, uint32_t length,
                                 unsigned timeoutSeconds) = 0;

  virtual void Close(DeviceHandle handle) = 0;

  // Command library path: loads the library; null when loading failed.
  // errno is left set on failure.
  virtual std::unique_ptr<AspiLibrary> LoadAspiLibrary(const std::string& name) = 0;
};

}  // namespace platform
