// The pass-through path to the drives: discovery returns each optical drive
// as a DeviceInfo, and that same DeviceInfo is opened, takes commands and is
// closed again. Back-ends: Linux SG_IO (platform/linux), Windows SCSI pass-through
// (platform/win) and simulated drives (platform/sim). The command library path is another interface
// (platform/CommandLibrary.h); the drive layer decides between the two.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// A 12-byte SCSI command descriptor block, byte 0 first.
using Cdb = std::array<uint8_t, 12>;

// A drive as discovery found it. Open takes it as it stands: nothing is
// looked up again by its address.
struct DeviceInfo {
  uint8_t driveLetter = ' ';  // the drive's letter where the system has drive letters
  uint8_t host = 0;
  uint8_t channel = 0;
  uint8_t target = 0;
  uint8_t lun = 0;
  std::string node;         // the device node that Open opens, e.g. "/dev/sg1"
  std::string blockDevice;  // the drive's block device node ("/dev/sr0"), empty when it has none;
                            // equal to `node` when the drive has no SCSI generic node
  // Where the drive sits, so that a person can find it among others (slot
  // 3 of a tower): its /dev/disk/by-path name, or the PCI path of its host
  // adapter; empty where the system does not tell.
  std::string physicalPath;

  // The node, or the address "host:channel:target:lun" of a device without one (for messages).
  std::string Name() const;
};

enum class Direction : uint8_t { In, Out };

// Outcome of one command. Sense data is always in fixed-format positions
// (key in byte 2, ASC in 12, ASCQ in 13); back-ends normalise
// descriptor-format sense before they report it.
struct CommandOutcome {
  bool transportOk = false;  // the call went through: no OS, host, driver or time-out error
  bool timedOut = false;
  uint8_t status = 0;  // SCSI status byte (0 GOOD, 2 CHECK CONDITION, 8 BUSY, ...)
  std::array<uint8_t, 32> sense{};  // zero when no sense data came back
  int sysError = 0;                 // the system's error code of the failed call, 0 otherwise
  // Bytes of the data phase that the device did not transfer (0 when it
  // moved them all, or when the system cannot tell). On Linux the part of a
  // data-in buffer that was not transferred is not cleared: it may hold an
  // earlier command's data, so only the residual tells a short transfer
  // from a full one.
  uint32_t residual = 0;
};

// What LockExclusive reports.
struct HoldOutcome {
  int sysError = 0;    // the system's error code; 0 when the drive is held
  bool inUse = false;  // another program uses the drive (EBUSY on Linux; on Windows a sharing
                       // violation, or a volume that cannot be locked while a file of it is open)
  std::string node;    // the node that could not be held
};

// What the system showed discovery beyond the drives it returned: enough to
// tell why no drive could be listed.
struct DiscoveryFacts {
  bool known = false;           // the system could be looked at (on Linux: sysfs is there)
  unsigned opticalDevices = 0;  // optical devices the system knows, returned or not
  unsigned withoutNode = 0;     // of those, the ones left out for having no node to open
  bool genericDriver = true;    // the SCSI generic driver is loaded (on Linux: the sg module)
};

using DeviceHandle = int;
constexpr DeviceHandle kNoHandle = -1;

class DriveTransport {
 public:
  virtual ~DriveTransport() = default;

  // Whether the drives behind this transport are simulated.
  virtual bool IsSimulated() const = 0;

  // The optical drives, in ascending SCSI address order.
  virtual std::vector<DeviceInfo> EnumerateDrives() = 0;
  // What the last EnumerateDrives saw; not known where the system does not tell.
  virtual DiscoveryFacts Discovery() const { return {}; }
  // The name of the group that owns a device node; empty when there is none
  // or it is not known.
  virtual std::string NodeGroup(const std::string& node) const;

  // Opens the node `device.node` of a drive that EnumerateDrives returned,
  // for reading and writing. Never waits: a node that another program holds
  // exclusively, or one in error recovery, fails at once (EBUSY).
  // Returns 0 and sets handle, or an errno.
  virtual int Open(const DeviceInfo& device, DeviceHandle& handle) = 0;

  // True when the system lets only its "safe" commands through on this
  // handle (reading, identification, start and stop) and refuses WRITE
  // BUFFER and vendor commands before they reach the drive: on Linux, a
  // drive reached through its block node by a process without
  // CAP_SYS_RAWIO.
  virtual bool FiltersCommands(DeviceHandle handle) const = 0;

  // Holds the drive exclusively: until UnlockExclusive no other program can
  // open the node it takes commands through (on Linux its sg node) or claim
  // it, and no disc of it can be mounted. Fails when another program already
  // uses it (a mounted disc, a burning program, a player), or with another
  // error of the system, naming the node that could not be held; the handle
  // then stays as it was. Where holding means opening the node again and
  // the system refuses even the plain open, the handle is left with no node:
  // its commands fail with that open's error code, and the next
  // LockExclusive opens it again.
  virtual HoldOutcome LockExclusive(DeviceHandle handle) = 0;
  // Lets other programs at the drive again; the handle stays usable (or,
  // as above, fails its commands when its node cannot be opened again).
  virtual void UnlockExclusive(DeviceHandle handle) = 0;

  // Executes one command. `buffer` holds `length` bytes (may be null when length is 0).
  virtual CommandOutcome Execute(DeviceHandle handle, const Cdb& cdb, Direction direction,
                                 uint8_t* buffer, uint32_t length, unsigned timeoutSeconds) = 0;

  virtual void Close(DeviceHandle handle) = 0;

  // The system's text for an error code this transport reported; empty when
  // the system has none. (errno texts here; Windows' message table there.)
  virtual std::string ErrorText(int sysError) const;

  // What the user can do about an Open that failed with this code, as one
  // line for below the open failure's message; empty when nothing (here).
  // On Windows only an administrator may open a drive letter's device for
  // reading and writing.
  virtual std::string OpenRemedy(int sysError) const;
};

}  // namespace platform
