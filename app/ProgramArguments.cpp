#include "app/ProgramArguments.h"

#include <algorithm>

#include "platform/Sha256.h"
#include "platform/Text.h"

namespace app {

namespace {

constexpr int kRefused = 2;

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return name.empty() ? std::string("flashutil") : name;
}

std::string Usage(const std::string& name) { return "Usage: " + name + " [--help | --version]\n"; }

// "Q150 for QRD-73318K (VOX-TEL QRD-73318K, firmware Q100-Q149), 524288 bytes, SHA-256 ..."
std::string Firmware(const package::PackageView& package) {
  const uint32_t length = std::min<uint32_t>(package.BinLength(), package::kBinAreaSize);
  std::string inquiry = package::PackageView::SlotText(package.InquirySlot());
  inquiry.erase(inquiry.find_last_not_of(' ') + 1);
  return package::PackageView::SlotText(package.Version(), 4) + " for " +
         package::PackageView::SlotText(package.ModelSlot()) + " (" + inquiry + ", firmware " +
         package::PackageView::SlotText(package.FWRangeSlot()) + "), " + std::to_string(length) + " bytes, SHA-256 " +
         platform::Sha256Hex(package.BinArea(), length);
}

std::string Help(const std::string& name, const package::PackageView& package, bool simulated) {
  std::string text = Usage(name) + "\n";
  if (package.IsBuilder()) {
    text +=
        "The builder of flash programs. With no argument it opens its window: it reads the model\n"
        "catalogue beside itself (its own name with .INI), lists the BIN files of the folder it was\n"
        "started in, and Build writes a flash program (Q150.EXE, say) into that folder.\n"
        "flashutil-pack does the same from the command line (flashutil-pack --help).\n";
  } else {
    text += "A flash program. It carries the firmware " + Firmware(package) +
            ".\n\n"
            "With no argument it opens its window, lists the optical drives that firmware fits, and\n"
            "flashes the one you choose. Once the drive is being written, nothing the program can\n"
            "hold off ends the flash (see the README). flashutil-pack flash " +
            name + " does the same\nfrom the command line.\n";
  }
  if (simulated) text += "\nThis program flashes simulated drives, which do not exist: never hand it out.\n";
  text +=
      "\n"
      "Options:\n"
      "  -h, --help  print this help and exit\n"
      "  --version   print the version and exit\n"
      "\n"
      "Exit status: 0 (also when the window was closed); 2 an argument it does not take; 128 + the\n"
      "signal's number when a signal ended it.\n";
  return text;
}

std::string Version(const std::string& name, const package::PackageView& package, const std::string& version,
                    bool simulated) {
  const std::string drives = simulated ? "Drives: simulated (drives that do not exist)\n" : "";
  if (package.IsBuilder()) return "flashutil " + version + "\n" + drives;
  return name + ": a flash program of flashutil " + version + "\nFirmware: " + Firmware(package) + "\n" + drives;
}

}  // namespace

ArgumentsOutcome ReadArguments(const std::vector<std::string>& arguments, const std::string& programPath,
                               const package::PackageView& package, const std::string& version, bool simulated) {
  ArgumentsOutcome outcome;
  const std::string name = BaseName(programPath);
  if (arguments.empty()) {
    outcome.openWindow = true;
  } else if (arguments.size() == 1 && (arguments[0] == "--help" || arguments[0] == "-h")) {
    outcome.out = Help(name, package, simulated);
  } else if (arguments.size() == 1 && arguments[0] == "--version") {
    outcome.out = Version(name, package, version, simulated);
  } else {
    outcome.status = kRefused;
    std::string usage = Usage(name);
    usage[0] = 'u';
    outcome.err = name + ": unknown argument " + platform::PrintableText(arguments[0]) + "; " + usage;
  }
  return outcome;
}

}  // namespace app
