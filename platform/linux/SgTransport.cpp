#include "platform/linux/SgTransport.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <scsi/sg_pt.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "platform/linux/SenseData.h"
#include "platform/linux/SysfsScan.h"

namespace platform::linux_sg {

namespace {

// Every node is opened without waiting: without O_NONBLOCK the open of an sg
// node that another program holds with O_EXCL (or of a device in error
// recovery) waits with no limit, and the cdrom layer checks the medium on
// the open of a block node, so that an empty drive would refuse to open.
// SG_IO itself stays blocking either way.
constexpr int kOpenFlags = O_RDWR | O_NONBLOCK | O_CLOEXEC;

bool NodeIsMissing(int error) { return error == ENOENT || error == ENXIO || error == ENODEV; }

bool ProcessHasRawIo() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  return (data[CAP_SYS_RAWIO / 32].effective & (1u << (CAP_SYS_RAWIO % 32))) != 0;
}

// One open drive: its descriptor with the pass-through object bound to it,
// and while it is held exclusively the descriptor that claims its block node.
struct OpenDrive {
  DeviceInfo device;
  bool blockNode = false;  // the descriptor is the block node's
  int fd = -1;
  sg_pt_base* object = nullptr;
  int openError = 0;       // why fd is -1, once a reopen failed
  bool exclusive = false;
  int blockHold = -1;
};

class SgTransport final : public DriveTransport {
 public:
  SgTransport(std::string sysfsRoot, std::string devRoot)
      : sysfsRoot_(std::move(sysfsRoot)), devRoot_(std::move(devRoot)) {}

  ~SgTransport() override {
    for (auto& [handle, drive] : drives_) Release(drive);
  }

  bool IsSimulated() const override { return false; }

  std::vector<DeviceInfo> EnumerateDrives() override {
    std::vector<DeviceInfo> infos;
    for (OpticalDrive& drive : ScanOpticalDrives(sysfsRoot_, devRoot_, &facts_)) {
      infos.push_back(std::move(drive.info));
    }
    return infos;
  }

  DiscoveryFacts Discovery() const override { return facts_; }

  std::string NodeGroup(const std::string& node) const override {
    struct stat info {};
    if (::stat(node.c_str(), &info) != 0) return {};
    std::vector<char> buffer(16384);
    struct group entry {};
    struct group* found = nullptr;
    if (::getgrgid_r(info.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
      return {};
    }
    return found->gr_name;
  }

  int Open(const DeviceInfo& device, DeviceHandle& handle) override {
    handle = kNoHandle;
    if (device.node.empty()) return ENODEV;
    OpenDrive drive;
    drive.device = device;
    drive.blockNode = device.node == device.blockDevice;
    if (const int error = Attach(drive, 0); error != 0) return error;
    const std::unique_lock<std::shared_mutex> lock(mutex_);
    handle = nextHandle_++;
    drives_[handle] = drive;
    return 0;
  }

  bool FiltersCommands(DeviceHandle handle) const override {
    const OpenDrive* drive = Find(handle);
    // The block layer's command filter lets WRITE BUFFER and vendor commands
    // through only for a process with CAP_SYS_RAWIO; the sg driver has none.
    return drive != nullptr && drive->blockNode && !ProcessHasRawIo();
  }

  HoldOutcome LockExclusive(DeviceHandle handle) override {
    OpenDrive* found = Find(handle);
    if (found == nullptr) return Refusal(EBADF, "");
    OpenDrive& drive = *found;
    if (drive.exclusive) return {};
    if (!drive.blockNode) {
      // An exclusive open of an sg node fails while any descriptor of it is
      // open, this program's own included: ours is closed first and opened
      // again.
      Detach(drive);
      if (const int error = Attach(drive, O_EXCL); error != 0) {
        Attach(drive, 0);
        return Refusal(error, drive.device.node);
      }
    }
    if (!drive.device.blockDevice.empty()) {
      // Claiming the block node keeps a disc from being mounted and fails
      // while one is. Claimed for writing, it also stops the kernel's polling
      // for media changes until it is let go, as burning programs have it;
      // a user who may only read the node still claims it. The claim is a
      // descriptor of its own: a block node's own descriptor stays as it is.
      int hold = ::open(drive.device.blockDevice.c_str(), kOpenFlags | O_EXCL);
      if (hold < 0 && (errno == EACCES || errno == EROFS)) {
        hold = ::open(drive.device.blockDevice.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_EXCL);
      }
      if (hold < 0 && !NodeIsMissing(errno)) {
        const int error = errno;
        if (!drive.blockNode) {
          Detach(drive);
          Attach(drive, 0);
        }
        return Refusal(error, drive.device.blockDevice);
      }
      drive.blockHold = hold;
    }
    drive.exclusive = true;
    return {};
  }

  void UnlockExclusive(DeviceHandle handle) override {
    OpenDrive* found = Find(handle);
    if (found == nullptr || !found->exclusive) return;
    OpenDrive& drive = *found;
    if (drive.blockHold >= 0) ::close(drive.blockHold);
    drive.blockHold = -1;
    drive.exclusive = false;
    if (drive.blockNode) return;
    Detach(drive);
    Attach(drive, 0);
  }

  CommandOutcome Execute(DeviceHandle handle, const Cdb& cdb, Direction direction, uint8_t* buffer,
                         uint32_t length, unsigned timeoutSeconds) override {
    CommandOutcome refused;
    refused.residual = length;
    const OpenDrive* drive = Find(handle);
    if (drive == nullptr || drive->object == nullptr) {
      refused.sysError = drive == nullptr || drive->openError == 0 ? EBADF : drive->openError;
      return refused;
    }
    if ((length > 0 && buffer == nullptr) || length > static_cast<uint32_t>(INT_MAX) ||
        timeoutSeconds > static_cast<unsigned>(INT_MAX / 1000)) {
      refused.sysError = EINVAL;
      return refused;
    }

    sg_pt_base* object = drive->object;
    clear_scsi_pt_obj(object);  // keeps the descriptor, forgets the last command
    Cdb block = cdb;
    SenseArea sense{};
    set_scsi_pt_cdb(object, block.data(), static_cast<int>(block.size()));
    set_scsi_pt_sense(object, sense.data(), static_cast<int>(sense.size()));
    // A command without data goes out with no data phase at all.
    if (length > 0) {
      if (direction == Direction::In) {
        set_scsi_pt_data_in(object, buffer, static_cast<int>(length));
      } else {
        set_scsi_pt_data_out(object, buffer, static_cast<int>(length));
      }
    }

    RawResult raw;
    raw.length = length;
    raw.doResult = do_scsi_pt(object, -1, static_cast<int>(timeoutSeconds), 0);
    if (raw.doResult == 0) {
      raw.category = get_scsi_pt_result_category(object);
      raw.osError = get_scsi_pt_os_err(object);
      raw.hostStatus = get_scsi_pt_transport_err(object);
      raw.scsiStatus = get_scsi_pt_status_response(object);
      raw.sense = sense.data();
      raw.senseLength = static_cast<size_t>(std::clamp(get_scsi_pt_sense_len(object), 0,
                                                       static_cast<int>(sense.size())));
      raw.residual = get_scsi_pt_resid(object);
    }
    return ClassifyOutcome(raw);
  }

  void Close(DeviceHandle handle) override {
    const std::unique_lock<std::shared_mutex> lock(mutex_);
    auto it = drives_.find(handle);
    if (it == drives_.end()) return;
    Release(it->second);
    drives_.erase(it);
  }

 private:
  // The open drive of a handle, or null. Flashes that run side by side use
  // the transport from threads of their own, each its own handles: the map
  // is shared, its entries stay where they are while others come and go,
  // and a command runs without the lock, so that a drive that takes its
  // time keeps no other waiting.
  OpenDrive* Find(DeviceHandle handle) {
    const std::shared_lock<std::shared_mutex> lock(mutex_);
    auto it = drives_.find(handle);
    return it == drives_.end() ? nullptr : &it->second;
  }
  const OpenDrive* Find(DeviceHandle handle) const {
    const std::shared_lock<std::shared_mutex> lock(mutex_);
    auto it = drives_.find(handle);
    return it == drives_.end() ? nullptr : &it->second;
  }

  // Opens the drive's node (with `extra` flags) and binds a pass-through
  // object to it; returns 0 or the errno, leaving the drive detached.
  static int Attach(OpenDrive& drive, int extra) {
    const int fd = ::open(drive.device.node.c_str(), kOpenFlags | extra);
    if (fd < 0) return drive.openError = errno;
    sg_pt_base* object = construct_scsi_pt_obj_with_fd(fd, 0);
    int error = object == nullptr ? ENOMEM : get_scsi_pt_os_err(object);
    if (error != 0) {
      if (object != nullptr) destruct_scsi_pt_obj(object);
      ::close(fd);
      return drive.openError = error;
    }
    drive.fd = fd;
    drive.object = object;
    drive.openError = 0;
    return 0;
  }

  static void Detach(OpenDrive& drive) {
    if (drive.object != nullptr) destruct_scsi_pt_obj(drive.object);
    if (drive.fd >= 0) ::close(drive.fd);
    drive.object = nullptr;
    drive.fd = -1;
  }

  static HoldOutcome Refusal(int error, const std::string& node) { return {error, error == EBUSY, node}; }

  static void Release(OpenDrive& drive) {
    if (drive.blockHold >= 0) ::close(drive.blockHold);
    drive.blockHold = -1;
    Detach(drive);
  }

  std::string sysfsRoot_;
  std::string devRoot_;
  mutable std::shared_mutex mutex_;
  std::map<DeviceHandle, OpenDrive> drives_;
  DiscoveryFacts facts_;
  DeviceHandle nextHandle_ = 1;
};

}  // namespace

std::unique_ptr<DriveTransport> MakeSgTransport(const std::string& sysfsRoot, const std::string& devRoot) {
  return std::make_unique<SgTransport>(sysfsRoot, devRoot);
}

}  // namespace platform::linux_sg
