// The SG_IO back-end's drive discovery and device opening, against a sysfs
// fixture tree built in a temporary directory.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/linux/SgTransport.h"
#include "platform/linux/SysfsScan.h"

namespace fs = std::filesystem;
using platform::linux_sg::ScanOpticalDrives;

namespace {

class SgSysfs : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fu-sysfs-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::create_directories(Sys() / "bus/scsi/devices");
    fs::create_directories(Dev());
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path Sys() const { return root_ / "sys"; }
  fs::path Dev() const { return root_ / "dev"; }

  // A SCSI device as the kernel lays it out: the real directory under
  // devices/ (below `parent`), a link to it from bus/scsi/devices.
  fs::path AddDevice(const std::string& address, int type, const std::string& sg, const std::string& sr,
                     const std::string& parent = "pci0000:00/host") {
    const fs::path dir = Sys() / "devices" / parent / address;
    fs::create_directories(dir);
    std::ofstream(dir / "type") << type << "\n";
    if (!sg.empty()) fs::create_directories(dir / "scsi_generic" / sg);
    if (!sr.empty()) fs::create_directories(dir / "block" / sr);
    fs::create_directory_symlink(dir, Sys() / "bus/scsi/devices" / address);
    return dir;
  }

  fs::path root_;
};

// This process's open descriptors by the file they name, with their open flags.
std::multimap<std::string, int> OpenFiles() {
  std::multimap<std::string, int> files;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(entry.path(), ec);
    if (ec) continue;
    std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
    std::string key;
    int flags = 0;
    while (info >> key) {
      if (key == "flags:") {
        info >> std::oct >> flags;
        break;
      }
    }
    files.emplace(target.string(), flags);
  }
  return files;
}

// Sets whether CAP_SYS_RAWIO is in this process's effective set; false when
// it is not permitted at all.
bool SetRawIo(bool on) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  const uint32_t bit = 1u << (CAP_SYS_RAWIO % 32);
  if ((data[CAP_SYS_RAWIO / 32].permitted & bit) == 0) return false;
  if (on) data[CAP_SYS_RAWIO / 32].effective |= bit;
  else data[CAP_SYS_RAWIO / 32].effective &= ~bit;
  return ::syscall(SYS_capset, &header, data) == 0;
}

}  // namespace

TEST_F(SgSysfs, FindsOnlyOpticalDrivesInAddressOrder) {
  // Probe order (and so the node numbers) differs from address order, and
  // numbers sort as numbers: 10 after 2.
  AddDevice("10:0:0:0", 5, "sg4", "sr3");
  AddDevice("2:0:0:0", 5, "sg0", "sr0");
  AddDevice("0:0:1:0", 5, "sg2", "sr1");
  AddDevice("0:0:0:0", 0, "sg1", "");  // a disk
  AddDevice("2:0:1:0", 5, "sg3", "sr2");
  AddDevice("2:1:0:0", 5, "sg6", "sr4");  // differs from 2:0:0:0 only in the channel
  AddDevice("1:0:0:0", 1, "sg5", "");  // a tape
  fs::create_directories(Sys() / "bus/scsi/devices/host0");
  fs::create_directories(Sys() / "bus/scsi/devices/target0:0:0");

  const auto drives = ScanOpticalDrives(Sys().string(), "/dev");
  ASSERT_EQ(drives.size(), 5u);
  EXPECT_EQ(drives[0].info.node, "/dev/sg2");
  EXPECT_EQ(drives[0].info.host, 0);
  EXPECT_EQ(drives[0].info.target, 1);
  EXPECT_EQ(drives[1].info.node, "/dev/sg0");
  EXPECT_EQ(drives[1].info.host, 2);
  EXPECT_EQ(drives[1].info.channel, 0);
  EXPECT_EQ(drives[2].info.node, "/dev/sg3");
  EXPECT_EQ(drives[2].info.target, 1);
  EXPECT_EQ(drives[3].info.node, "/dev/sg6");
  EXPECT_EQ(drives[3].info.host, 2);
  EXPECT_EQ(drives[3].info.channel, 1);
  EXPECT_EQ(drives[3].info.target, 0);
  EXPECT_EQ(drives[3].info.blockDevice, "/dev/sr4");
  EXPECT_EQ(drives[4].info.node, "/dev/sg4");
  EXPECT_EQ(drives[4].info.host, 10);
  for (const auto& d : drives) EXPECT_FALSE(d.blockNode);
}

// Where each drive of a tower sits: its /dev/disk/by-path link, or the PCI
// function of its host adapter where udev made no link; nothing without either.
TEST_F(SgSysfs, PhysicalPathIsTheByPathLinkOrTheHostAdaptersPciFunction) {
  AddDevice("3:0:0:0", 5, "sg1", "sr0", "pci0000:00/0000:00:1f.2/ata4/host3/target3:0:0");
  AddDevice("4:0:0:0", 5, "sg2", "sr1", "pci0000:00/0000:00:1c.0/0000:02:00.0/host4/target4:0:0");
  AddDevice("5:0:0:0", 5, "sg3", "sr2", "platform/host5");
  fs::create_directories(Dev() / "disk/by-path");
  fs::create_symlink("../../sr0", Dev() / "disk/by-path/pci-0000:00:1f.2-ata-4");
  fs::create_symlink("../../sda", Dev() / "disk/by-path/pci-0000:00:1f.2-ata-1");

  const auto drives = ScanOpticalDrives(Sys().string(), Dev().string());
  ASSERT_EQ(drives.size(), 3u);
  EXPECT_EQ(drives[0].info.physicalPath, (Dev() / "disk/by-path/pci-0000:00:1f.2-ata-4").string());
  // Behind a PCI bridge: the function nearest the drive.
  EXPECT_EQ(drives[1].info.physicalPath, "pci-0000:02:00.0");
  EXPECT_EQ(drives[2].info.physicalPath, "");
}

TEST_F(SgSysfs, WithoutTheSgModuleTheBlockNodeIsUsed) {
  AddDevice("0:0:0:0", 5, "", "sr0");
  AddDevice("0:0:1:0", 5, "sg1", "sr1");
  AddDevice("3:0:0:0", 5, "", "");  // neither node: cannot be opened
  AddDevice("4:0:0:0", 0, "", "");  // a disk
  fs::create_directories(Sys() / "class/scsi_device");
  platform::DiscoveryFacts facts;
  const auto drives = ScanOpticalDrives(Sys().string(), Dev().string(), &facts);
  EXPECT_TRUE(facts.known);
  EXPECT_EQ(facts.opticalDevices, 3u);
  EXPECT_EQ(facts.withoutNode, 1u);
  EXPECT_FALSE(facts.genericDriver);  // neither its sysfs class nor an sgN node
  ASSERT_EQ(drives.size(), 2u);
  EXPECT_EQ(drives[0].info.node, (Dev() / "sr0").string());
  EXPECT_EQ(drives[0].info.blockDevice, drives[0].info.node);
  EXPECT_TRUE(drives[0].blockNode);
  EXPECT_EQ(drives[1].info.node, (Dev() / "sg1").string());
  EXPECT_FALSE(drives[1].blockNode);
}

TEST_F(SgSysfs, OlderKernelLayoutsAndOddEntries) {
  // "generic" link of older kernels.
  const fs::path dir = AddDevice("0:0:0:0", 5, "", "sr0");
  fs::create_directory_symlink("../../../class/scsi_generic/sg7", dir / "generic");
  // Deprecated "<class>:<node>" entries.
  const fs::path old = AddDevice("0:0:1:0", 5, "", "");
  fs::create_directories(old / "scsi_generic:sg9");
  // Addresses the drive layer cannot carry, and names that are no address.
  AddDevice("256:0:0:0", 5, "sg8", "sr8");
  AddDevice("1:0:0", 5, "sg10", "sr10");
  AddDevice("1:0:0:0:0", 5, "sg11", "sr11");
  AddDevice("1:x:0:0", 5, "sg12", "sr12");
  // A type file that is not a number.
  const fs::path bad = AddDevice("4:0:0:0", 5, "sg13", "sr13");
  std::ofstream(bad / "type") << "cdrom\n";

  const auto drives = ScanOpticalDrives(Sys().string(), "/dev");
  ASSERT_EQ(drives.size(), 2u);
  EXPECT_EQ(drives[0].info.node, "/dev/sg7");
  EXPECT_EQ(drives[1].info.node, "/dev/sg9");
}

TEST_F(SgSysfs, MissingTreeFindsNothing) {
  platform::DiscoveryFacts facts;
  facts.known = true;
  EXPECT_TRUE(ScanOpticalDrives((root_ / "nowhere").string(), "/dev", &facts).empty());
  EXPECT_FALSE(facts.known);
}

// What discovery tells about the system: sysfs there without SCSI devices
// (no optical drive), and the sg module told by its sysfs class or by a node.
TEST_F(SgSysfs, DiscoveryFactsTellWhyNothingWasFound) {
  struct Case {
    const char* what;
    std::vector<const char*> dirs;  // made under the root
    bool known, genericDriver;
  };
  const Case cases[] = {
      {"no sysfs classes", {}, false, false},
      {"classes, no sg", {"sys/class/block"}, true, false},
      {"sg class", {"sys/class/scsi_generic"}, true, true},
      {"sg node only", {"sys/class", "dev/sg3"}, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(Sys() / "class");
    fs::remove_all(Dev());
    fs::create_directories(Dev());
    for (const char* dir : c.dirs) fs::create_directories(root_ / dir);
    platform::DiscoveryFacts facts;
    EXPECT_TRUE(ScanOpticalDrives(Sys().string(), Dev().string(), &facts).empty());
    EXPECT_EQ(facts.known, c.known);
    EXPECT_EQ(facts.genericDriver, c.genericDriver);
    EXPECT_EQ(facts.opticalDevices, 0u);
    auto transport = platform::linux_sg::MakeSgTransport(Sys().string(), Dev().string());
    transport->EnumerateDrives();
    EXPECT_EQ(transport->Discovery().known, c.known);
    EXPECT_EQ(transport->Discovery().genericDriver, c.genericDriver);
  }
  // The group a node belongs to, by its name; none for a missing node.
  std::ofstream(Dev() / "sg0") << "x";
  auto transport = platform::linux_sg::MakeSgTransport(Sys().string(), Dev().string());
  const group* own = getgrgid(getegid());
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(transport->NodeGroup((Dev() / "sg0").string()), own->gr_name);
  EXPECT_EQ(transport->NodeGroup((Dev() / "sg9").string()), "");
}

TEST_F(SgSysfs, TransportOpensTheEnumeratedNodeAndReportsErrno) {
  AddDevice("0:0:0:0", 5, "sg0", "sr0");
  AddDevice("1:0:0:0", 5, "sg1", "sr1");
  std::ofstream(Dev() / "sg0") << "not a device";  // opens, but SG_IO fails on it
  auto transport = platform::linux_sg::MakeSgTransport(Sys().string(), Dev().string());
  EXPECT_FALSE(transport->IsSimulated());

  const auto infos = transport->EnumerateDrives();
  ASSERT_EQ(infos.size(), 2u);
  EXPECT_EQ(infos[1].node, (Dev() / "sg1").string());
  EXPECT_EQ(infos[1].blockDevice, (Dev() / "sr1").string());

  platform::DeviceHandle handle = platform::kNoHandle;
  EXPECT_EQ(transport->Open(infos[1], handle), ENOENT);  // node missing
  EXPECT_EQ(handle, platform::kNoHandle);
  EXPECT_EQ(transport->Open(platform::DeviceInfo{}, handle), ENODEV);  // no node at all

  ASSERT_EQ(transport->Open(infos[0], handle), 0);
  ASSERT_NE(handle, platform::kNoHandle);
  const std::array<uint8_t, 12> tur{};
  auto outcome = transport->Execute(handle, tur, platform::Direction::In, nullptr, 0, 60);
  EXPECT_FALSE(outcome.transportOk);
  EXPECT_EQ(outcome.sysError, ENOTTY);
  EXPECT_EQ(outcome.sense, (std::array<uint8_t, 32>{}));

  // Data length without a buffer is refused before anything is sent.
  outcome = transport->Execute(handle, tur, platform::Direction::In, nullptr, 16, 60);
  EXPECT_FALSE(outcome.transportOk);
  EXPECT_EQ(outcome.sysError, EINVAL);
  transport->Close(handle);
  // A closed handle is no longer usable.
  EXPECT_EQ(transport->Execute(handle, tur, platform::Direction::In, nullptr, 0, 60).sysError, EBADF);
}

// Two drives that differ only in their channel: each entry opens its own
// node, without waiting, and nothing else.
TEST_F(SgSysfs, EachDriveOpensExactlyItsOwnNodeWithoutWaiting) {
  AddDevice("0:0:0:0", 5, "sg0", "sr0");
  AddDevice("0:1:0:0", 5, "sg1", "sr1");
  for (const char* node : {"sg0", "sg1", "sr0", "sr1"}) std::ofstream(Dev() / node) << node;
  auto transport = platform::linux_sg::MakeSgTransport(Sys().string(), Dev().string());
  const auto infos = transport->EnumerateDrives();
  ASSERT_EQ(infos.size(), 2u);
  for (size_t i = 0; i < infos.size(); ++i) {
    SCOPED_TRACE(i);
    const std::string mine = (Dev() / ("sg" + std::to_string(i))).string();
    platform::DeviceHandle handle = platform::kNoHandle;
    ASSERT_EQ(transport->Open(infos[i], handle), 0);
    const auto files = OpenFiles();
    ASSERT_EQ(files.count(mine), 1u);
    EXPECT_NE(files.find(mine)->second & O_NONBLOCK, 0);
    EXPECT_EQ((files.find(mine)->second & O_ACCMODE), O_RDWR);
    for (const char* other : {"sg0", "sg1", "sr0", "sr1"}) {
      if ((Dev() / other).string() != mine) {
        EXPECT_EQ(files.count((Dev() / other).string()), 0u) << other;
      }
    }
    transport->Close(handle);
    EXPECT_EQ(OpenFiles().count(mine), 0u);
  }
}

// Held exclusively, a drive also holds its block node (where there is one),
// and lets it go again with its own node still usable; a block node that
// cannot be opened is named, and the drive stays as it was.
TEST_F(SgSysfs, ExclusiveAccessHoldsTheBlockNodeToo) {
  AddDevice("0:0:0:0", 5, "sg0", "sr0");
  AddDevice("1:0:0:0", 5, "sg1", "sr1");
  AddDevice("2:0:0:0", 5, "sg2", "sr2");
  for (const char* node : {"sg0", "sg1", "sr0", "sg2"}) std::ofstream(Dev() / node) << node;
  fs::create_directories(Dev() / "sr1");  // not a node that can be claimed
  // sr2 is missing: nothing to claim
  auto transport = platform::linux_sg::MakeSgTransport(Sys().string(), Dev().string());
  const auto infos = transport->EnumerateDrives();
  ASSERT_EQ(infos.size(), 3u);
  const std::array<uint8_t, 12> tur{};
  const std::string sr0 = (Dev() / "sr0").string();

  platform::DeviceHandle handle = platform::kNoHandle;
  ASSERT_EQ(transport->Open(infos[0], handle), 0);
  ASSERT_EQ(transport->LockExclusive(handle).sysError, 0);
  ASSERT_EQ(OpenFiles().count(sr0), 1u);
  EXPECT_EQ(OpenFiles().find(sr0)->second & O_ACCMODE, O_RDWR);  // claimed for writing
  EXPECT_EQ(transport->LockExclusive(handle).sysError, 0);  // already held
  EXPECT_EQ(OpenFiles().count(sr0), 1u);
  // The drive's own node was opened anew and takes commands (a plain file answers ENOTTY).
  EXPECT_EQ(transport->Execute(handle, tur, platform::Direction::In, nullptr, 0, 60).sysError, ENOTTY);
  transport->UnlockExclusive(handle);
  EXPECT_EQ(OpenFiles().count(sr0), 0u);
  EXPECT_EQ(transport->Execute(handle, tur, platform::Direction::In, nullptr, 0, 60).sysError, ENOTTY);
  transport->Close(handle);

  ASSERT_EQ(transport->Open(infos[1], handle), 0);
  const platform::HoldOutcome refused = transport->LockExclusive(handle);
  EXPECT_EQ(refused.sysError, EISDIR);
  EXPECT_FALSE(refused.inUse);
  EXPECT_EQ(refused.node, (Dev() / "sr1").string());
  EXPECT_EQ(transport->Execute(handle, tur, platform::Direction::In, nullptr, 0, 60).sysError, ENOTTY);
  transport->Close(handle);

  ASSERT_EQ(transport->Open(infos[2], handle), 0);
  EXPECT_EQ(transport->LockExclusive(handle).sysError, 0);
  transport->Close(handle);
  EXPECT_EQ(OpenFiles().count((Dev() / "sg2").string()), 0u);

  // Reached through its block node, the drive keeps its descriptor and
  // claims the node with one more.
  platform::DeviceInfo block = infos[0];
  block.node = block.blockDevice;
  ASSERT_EQ(transport->Open(block, handle), 0);
  ASSERT_EQ(transport->LockExclusive(handle).sysError, 0);
  EXPECT_EQ(OpenFiles().count(sr0), 2u);
  EXPECT_EQ(OpenFiles().count((Dev() / "sg0").string()), 0u);
  transport->UnlockExclusive(handle);
  EXPECT_EQ(OpenFiles().count(sr0), 1u);
  EXPECT_EQ(transport->Execute(handle, tur, platform::Direction::In, nullptr, 0, 60).sysError, ENOTTY);
  transport->Close(handle);
  EXPECT_EQ(OpenFiles().count(sr0), 0u);
}

// The block layer passes a flash's commands only to a process with
// CAP_SYS_RAWIO; the sg driver filters none.
TEST_F(SgSysfs, BlockNodeFiltersCommandsWithoutRawIo) {
  AddDevice("0:0:0:0", 5, "sg0", "sr0");
  for (const char* node : {"sg0", "sr0"}) std::ofstream(Dev() / node) << node;
  auto transport = platform::linux_sg::MakeSgTransport(Sys().string(), Dev().string());
  platform::DeviceInfo generic = transport->EnumerateDrives().at(0);
  platform::DeviceInfo block = generic;
  block.node = block.blockDevice;
  platform::DeviceHandle viaGeneric = platform::kNoHandle, viaBlock = platform::kNoHandle;
  ASSERT_EQ(transport->Open(generic, viaGeneric), 0);
  ASSERT_EQ(transport->Open(block, viaBlock), 0);
  if (!SetRawIo(false)) GTEST_SKIP() << "CAP_SYS_RAWIO is not permitted to this process";
  EXPECT_TRUE(transport->FiltersCommands(viaBlock));
  EXPECT_FALSE(transport->FiltersCommands(viaGeneric));
  ASSERT_TRUE(SetRawIo(true));
  EXPECT_FALSE(transport->FiltersCommands(viaBlock));
  EXPECT_FALSE(transport->FiltersCommands(viaGeneric));
}

TEST_F(SgSysfs, TransportOpensTheNodeItIsGivenWithoutWalkingAgain) {
  auto transport = platform::linux_sg::MakeSgTransport(Sys().string(), Dev().string());
  EXPECT_TRUE(transport->EnumerateDrives().empty());
  std::ofstream(Dev() / "sg0") << "x";
  platform::DeviceInfo device;
  device.host = 9;  // an address no walk has seen: only the node counts
  device.node = (Dev() / "sg0").string();
  platform::DeviceHandle handle = platform::kNoHandle;
  ASSERT_EQ(transport->Open(device, handle), 0);
  transport->Close(handle);
}
