#include "platform/linux/SgTransport.h"

#include <fcntl.h>
#include <scsi/sg_pt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <map>

#include "platform/linux/SenseData.h"
#include "platform/linux/SysfsScan.h"

namespace platform::linux_sg {

namespace {

class SgTransport final : public DriveTransport {
 public:
  SgTransport(std::string sysfsRoot, std::string devRoot)
      : sysfsRoot_(std::move(sysfsRoot)), devRoot_(std::move(devRoot)) {}

  ~SgTransport() override {
    for (auto& [fd, object] : objects_) {
      destruct_scsi_pt_obj(object);
      ::close(fd);
    }
  }

  bool IsSimulated() const override { return false; }

  std::vector<DeviceInfo> EnumerateDrives() override {
    std::vector<DeviceInfo> infos;
    for (OpticalDrive& drive : ScanOpticalDrives(sysfsRoot_, devRoot_)) infos.push_back(std::move(drive.info));
    return infos;
  }

  int Open(const DeviceInfo& device, DeviceHandle& handle) override {
    handle = kNoHandle;
    if (device.node.empty()) return ENODEV;

    // The sg driver filters no command on a read-write descriptor. The block
    // node needs O_NONBLOCK, or the cdrom layer checks the medium on open and
    // an empty drive refuses to open; SG_IO stays blocking either way.
    int flags = O_RDWR | O_CLOEXEC;
    if (device.node == device.blockDevice) flags |= O_NONBLOCK;
    const int fd = ::open(device.node.c_str(), flags);
    if (fd < 0) return errno;

    sg_pt_base* object = construct_scsi_pt_obj_with_fd(fd, 0);
    if (object == nullptr) {
      ::close(fd);
      return ENOMEM;
    }
    if (const int error = get_scsi_pt_os_err(object); error != 0) {
      destruct_scsi_pt_obj(object);
      ::close(fd);
      return error;
    }
    objects_[fd] = object;
    handle = fd;
    return 0;
  }

  CommandOutcome Execute(DeviceHandle handle, const Cdb& cdb, Direction direction, uint8_t* buffer,
                         uint32_t length, unsigned timeoutSeconds) override {
    CommandOutcome refused;
    auto it = objects_.find(handle);
    if (it == objects_.end()) {
      refused.sysError = EBADF;
      return refused;
    }
    if ((length > 0 && buffer == nullptr) || length > static_cast<uint32_t>(INT_MAX) ||
        timeoutSeconds > static_cast<unsigned>(INT_MAX / 1000)) {
      refused.sysError = EINVAL;
      return refused;
    }

    sg_pt_base* object = it->second;
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
    raw.doResult = do_scsi_pt(object, -1, static_cast<int>(timeoutSeconds), 0);
    if (raw.doResult == 0) {
      raw.category = get_scsi_pt_result_category(object);
      raw.osError = get_scsi_pt_os_err(object);
      raw.hostStatus = get_scsi_pt_transport_err(object);
      raw.scsiStatus = get_scsi_pt_status_response(object);
      raw.sense = sense.data();
      raw.senseLength = static_cast<size_t>(std::clamp(get_scsi_pt_sense_len(object), 0,
                                                       static_cast<int>(sense.size())));
    }
    return ClassifyOutcome(raw);
  }

  void Close(DeviceHandle handle) override {
    auto it = objects_.find(handle);
    if (it == objects_.end()) return;
    destruct_scsi_pt_obj(it->second);
    objects_.erase(it);
    ::close(handle);
  }


 private:
  std::string sysfsRoot_;
  std::string devRoot_;
  std::map<int, sg_pt_base*> objects_;  // one pass-through object per open descriptor
};

}  // namespace

std::unique_ptr<DriveTransport> MakeSgTransport(const std::string& sysfsRoot, const std::string& devRoot) {
  return std::make_unique<SgTransport>(sysfsRoot, devRoot);
}

}  // namespace platform::linux_sg
