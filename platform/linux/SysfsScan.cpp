#include "platform/linux/SysfsScan.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>
#include <tuple>

namespace platform::linux_sg {

namespace fs = std::filesystem;

namespace {

struct Address {
  unsigned host = 0, channel = 0, target = 0, lun = 0;
  auto Key() const { return std::tie(host, channel, target, lun); }
};

bool ParseNumber(std::string_view text, unsigned& value) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end;
}

// "H:C:T:L" with four decimal numbers; the directory name of a SCSI device.
std::optional<Address> ParseAddress(const std::string& name) {
  unsigned parts[4];
  size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    const size_t colon = name.find(':', start);
    const bool last = i == 3;
    if (last != (colon == std::string::npos)) return std::nullopt;
    const size_t stop = last ? name.size() : colon;
    if (!ParseNumber(std::string_view(name).substr(start, stop - start), parts[i])) return std::nullopt;
    start = stop + 1;
  }
  return Address{parts[0], parts[1], parts[2], parts[3]};
}

std::optional<int> ReadDeviceType(const fs::path& device) {
  std::ifstream in(device / "type");
  int type = -1;
  if (!(in >> type)) return std::nullopt;
  return type;
}

bool IsNodeName(const std::string& name, const std::string& prefix) {
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
  return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

// The first entry of `dir` named <prefix><digits>, in name order.
std::string FindNodeIn(const fs::path& dir, const std::string& prefix) {
  std::error_code ec;
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (IsNodeName(name, prefix)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names.empty() ? std::string() : names.front();
}

// Older kernels (deprecated sysfs layout) put "<class>:<node>" entries or a
// "generic" link directly into the device directory.
std::string FindLegacyNode(const fs::path& device, const std::string& className, const std::string& prefix) {
  std::error_code ec;
  std::vector<std::string> names;
  const std::string head = className + ":";
  for (const auto& entry : fs::directory_iterator(device, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.compare(0, head.size(), head) == 0 && IsNodeName(name.substr(head.size()), prefix)) {
      names.push_back(name.substr(head.size()));
    }
  }
  std::sort(names.begin(), names.end());
  return names.empty() ? std::string() : names.front();
}

std::string FindGenericNode(const fs::path& device) {
  std::string node = FindNodeIn(device / "scsi_generic", "sg");
  if (!node.empty()) return node;
  std::error_code ec;
  const fs::path link = fs::read_symlink(device / "generic", ec);
  if (!ec && IsNodeName(link.filename().string(), "sg")) return link.filename().string();
  return FindLegacyNode(device, "scsi_generic", "sg");
}

std::string FindBlockNode(const fs::path& device) {
  std::string node = FindNodeIn(device / "block", "sr");
  if (!node.empty()) return node;
  return FindLegacyNode(device, "block", "sr");
}

// "0000:00:1f.2": a PCI function's name in sysfs (domain, bus, device and function).
bool IsPciFunction(const std::string& name) {
  if (name.size() != 12 || name[4] != ':' || name[7] != ':' || name[10] != '.') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (i == 4 || i == 7 || i == 10) continue;
    if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

// Where the drive sits: the name under <devRoot>/disk/by-path that links to
// its block node, or else the PCI function of the host adapter it hangs
// from, as that name begins ("pci-0000:00:1f.2"); empty when neither is known.
std::string PhysicalPath(const fs::path& device, const std::string& devRoot, const std::string& block) {
  std::error_code ec;
  const fs::path byPath = fs::path(devRoot) / "disk" / "by-path";
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(byPath, ec)) {
    const fs::path target = fs::read_symlink(entry.path(), ec);
    if (!ec && !block.empty() && target.filename() == block) names.push_back(entry.path().filename().string());
  }
  if (!names.empty()) {
    std::sort(names.begin(), names.end());
    return (byPath / names.front()).string();
  }
  const fs::path real = fs::canonical(device, ec);
  std::string pci;
  if (!ec) {
    for (const fs::path& part : real) {
      if (IsPciFunction(part.string())) pci = part.string();
    }
  }
  return pci.empty() ? std::string() : "pci-" + pci;
}

}  // namespace

std::vector<OpticalDrive> ScanOpticalDrives(const std::string& sysfsRoot, const std::string& devRoot,
                                            DiscoveryFacts* facts) {
  struct Found {
    Address address;
    OpticalDrive drive;
  };
  std::vector<Found> found;
  DiscoveryFacts seen;

  std::error_code ec;
  // A system without SCSI devices has no bus/scsi, but sysfs has its classes.
  seen.known = fs::is_directory(fs::path(sysfsRoot) / "class", ec);
  seen.genericDriver = fs::is_directory(fs::path(sysfsRoot) / "class" / "scsi_generic", ec) ||
                       !FindNodeIn(devRoot, "sg").empty();
  fs::path devices = fs::path(sysfsRoot) / "bus" / "scsi" / "devices";
  if (!fs::is_directory(devices, ec)) {
    devices = fs::path(sysfsRoot) / "class" / "scsi_device";
  }
  for (const auto& entry : fs::directory_iterator(devices, ec)) {
    const std::string name = entry.path().filename().string();
    const std::optional<Address> address = ParseAddress(name);
    if (!address) continue;  // hostN, targetH:C:T and the like
    fs::path device = entry.path();
    if (!fs::exists(device / "type", ec) && fs::exists(device / "device" / "type", ec)) {
      device /= "device";  // class/scsi_device/<address> links to the device as "device"
    }
    if (ReadDeviceType(device) != kOpticalDeviceType) continue;
    ++seen.opticalDevices;
    if (address->host > 255 || address->channel > 255 || address->target > 255 || address->lun > 255) continue;

    OpticalDrive drive;
    const std::string block = FindBlockNode(device);
    std::string node = FindGenericNode(device);
    if (node.empty()) {
      node = block;
      drive.blockNode = true;
    }
    if (node.empty()) {
      ++seen.withoutNode;
      continue;
    }
    drive.info.host = static_cast<uint8_t>(address->host);
    drive.info.channel = static_cast<uint8_t>(address->channel);
    drive.info.target = static_cast<uint8_t>(address->target);
    drive.info.lun = static_cast<uint8_t>(address->lun);
    drive.info.node = (fs::path(devRoot) / node).string();
    if (!block.empty()) drive.info.blockDevice = (fs::path(devRoot) / block).string();
    drive.info.physicalPath = PhysicalPath(device, devRoot, block);
    found.push_back({*address, drive});
  }

  if (facts != nullptr) *facts = seen;
  std::sort(found.begin(), found.end(),
            [](const Found& a, const Found& b) { return a.address.Key() < b.address.Key(); });
  std::vector<OpticalDrive> drives;
  drives.reserve(found.size());
  for (auto& f : found) drives.push_back(std::move(f.drive));
  return drives;
}

}  // namespace platform::linux_sg
