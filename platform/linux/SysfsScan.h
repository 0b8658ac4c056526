// Finding the optical drives of a Linux machine in sysfs. Kept apart from the
// device I/O so that it runs against a fixture tree in tests.
#pragma once

#include <string>
#include <vector>

#include "platform/Transport.h"

namespace platform::linux_sg {

// SCSI peripheral device type of CD/DVD drives.
constexpr int kOpticalDeviceType = 5;

struct OpticalDrive {
  DeviceInfo info;         // SCSI address, the node to open and the block node
  bool blockNode = false;  // the node to open is /dev/srN (no SCSI generic node exists)
};

// The optical drives under `sysfsRoot` (normally "/sys"), in ascending
// host:channel:target:lun order. Each drive's node is its SCSI generic node
// ("<devRoot>/sgN") or, when it has none (the sg module is not loaded), its
// block node ("<devRoot>/srN"); a drive with neither is left out, and so is
// one whose address does not fit the 8-bit fields of DeviceInfo. Its
// physical path is the link under "<devRoot>/disk/by-path" that names its
// block node, or where there is none "pci-" and the PCI function of the
// host adapter above it in sysfs ("pci-0000:00:1f.2").
// With `facts`, also what the scan saw: whether sysfs is there, how many
// optical devices it lists (those left out included) and how many of them
// have no node, and whether the sg module is loaded (sysfs has its class
// scsi_generic, or the device folder holds an sgN node).
std::vector<OpticalDrive> ScanOpticalDrives(const std::string& sysfsRoot, const std::string& devRoot,
                                            DiscoveryFacts* facts = nullptr);

}  // namespace platform::linux_sg
