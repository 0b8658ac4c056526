// The SG_IO back-end's drive discovery and device opening, against a sysfs
// fixture tree built in a temporary directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

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
  // devices/, a link to it from bus/scsi/devices.
  fs::path AddDevice(const std::string& address, int type, const std::string& sg, const std::string& sr) {
    const fs::path dir = Sys() / "devices/pci0000:00/host" / address;
    fs::create_directories(dir);
    std::ofstream(dir / "type") << type << "\n";
    if (!sg.empty()) fs::create_directories(dir / "scsi_generic" / sg);
    if (!sr.empty()) fs::create_directories(dir / "block" / sr);
    fs::create_directory_symlink(dir, Sys() / "bus/scsi/devices" / address);
    return dir;
  }

  fs::path root_;
};

}  // namespace

TEST_F(SgSysfs, FindsOnlyOpticalDrivesInAddressOrder) {
  // Probe order (and so the node numbers) differs from address order, and
  // numbers sort as numbers: 10 after 2.
  AddDevice("10:0:0:0", 5, "sg4", "sr3");
  AddDevice("2:0:0:0", 5, "sg0", "sr0");
  AddDevice("0:0:1:0", 5, "sg2", "sr1");
  AddDevice("0:0:0:0", 0, "sg1", "");  // a disk
  AddDevice("2:0:1:0", 5, "sg3", "sr2");
  AddDevice("1:0:0:0", 1, "sg5", "");  // a tape
  fs::create_directories(Sys() / "bus/scsi/devices/host0");
  fs::create_directories(Sys() / "bus/scsi/devices/target0:0:0");

  const auto drives = ScanOpticalDrives(Sys().string(), "/dev");
  ASSERT_EQ(drives.size(), 4u);
  EXPECT_EQ(drives[0].info.node, "/dev/sg2");
  EXPECT_EQ(drives[0].info.host, 0);
  EXPECT_EQ(drives[0].info.target, 1);
  EXPECT_EQ(drives[1].info.node, "/dev/sg0");
  EXPECT_EQ(drives[1].info.host, 2);
  EXPECT_EQ(drives[2].info.node, "/dev/sg3");
  EXPECT_EQ(drives[2].info.target, 1);
  EXPECT_EQ(drives[3].info.node, "/dev/sg4");
  EXPECT_EQ(drives[3].info.host, 10);
  for (const auto& d : drives) EXPECT_FALSE(d.blockNode);
}

TEST_F(SgSysfs, WithoutTheSgModuleTheBlockNodeIsUsed) {
  AddDevice("0:0:0:0", 5, "", "sr0");
  AddDevice("0:0:1:0", 5, "sg1", "sr1");
  AddDevice("3:0:0:0", 5, "", "");  // neither node: cannot be opened
  const auto drives = ScanOpticalDrives(Sys().string(), Dev().string());
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
  EXPECT_TRUE(ScanOpticalDrives((root_ / "nowhere").string(), "/dev").empty());
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
