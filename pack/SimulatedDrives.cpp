#include "pack/SimulatedDrives.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <vector>

#include "flash/CommandBlocks.h"
#include "platform/sim/SimTransport.h"

namespace pack {

namespace {

const char* const kBehaviours[] = {"corrupt-read-back", "slow-ready", "slow-block", "slow-flash-start", "block-nodes",
                                   "safe-commands-only", "tower"};

// The drives a tower adds to the default set: three more of the first
// drive's model and revision, so that four drives fit its programs.
constexpr int kTowerDrives = 3;

void AddTower(platform::sim::SimTransport& transport) {
  const platform::sim::DriveConfig first = transport.Drive(0).Config();
  const size_t count = transport.DriveCount();
  for (int k = 0; k < kTowerDrives; ++k) {
    platform::sim::DriveConfig config = first;
    config.host = static_cast<uint8_t>(count + static_cast<size_t>(k));
    config.node = "/dev/sim-sg" + std::to_string(config.host);
    config.physicalPath = "sim-slot-" + std::to_string(config.host + 1);
    transport.AddDrive(config);
  }
}

void Behave(platform::sim::SimDrive& drive, const std::string& behaviour) {
  if (behaviour == "corrupt-read-back") {
    drive.FailOpcode(flash::kReadBuffer, platform::sim::Fault::CorruptByte(100));
  } else if (behaviour == "slow-ready") {
    drive.Config().becomingReadyPolls = 200;
  } else if (behaviour == "slow-block") {
    drive.Config().slowBlockOffset = 0x40000;
    drive.Config().slowBlockMilliseconds = 2000;
  } else if (behaviour == "slow-flash-start") {
    drive.Config().flashStartMilliseconds = 2000;
  } else if (behaviour == "block-nodes") {
    drive.Config().blockNode = "/dev/sim-sr" + std::to_string(drive.Index());
  } else if (behaviour == "tower") {
    // Made by AddTower.
  } else if (behaviour == "safe-commands-only") {
    // No sg node: the block node alone, which passes only the safe commands.
    drive.Config().openError = ENOENT;
    drive.Config().blockNode = "/dev/sim-sr" + std::to_string(drive.Index());
    drive.Config().filtersOnBlockNode = true;
  }
}

// The drives' revisions as an earlier run left them: "NODE REVISION" lines.
std::map<std::string, std::string> ReadDriveState(const std::string& path) {
  std::map<std::string, std::string> revisions;
  std::ifstream in(path);
  std::string node, revision;
  while (in >> node >> revision) revisions[node] = revision;
  return revisions;
}

// Each command as a line of the journal, written through at once; and each
// drive's revision as the command finds it, into the state file.
void Journal(platform::sim::SimTransport& transport, std::shared_ptr<std::FILE> journal, const std::string& state) {
  platform::sim::SimTransport* drives = &transport;
  auto revisions = std::make_shared<std::map<std::string, std::string>>(ReadDriveState(state));
  transport.SetJournal([journal, drives, state, revisions](int drive, const platform::Cdb& cdb) {
    const platform::sim::SimDrive& reached = drives->Drive(static_cast<size_t>(drive));
    if (journal) {
      std::string line = reached.Node();
      for (const uint8_t byte : cdb) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", byte);
        line += hex;
      }
      std::fprintf(journal.get(), "%s\n", line.c_str());
      std::fflush(journal.get());
    }
    if (state.empty() || (*revisions)[reached.Node()] == reached.CurrentRevision()) return;
    (*revisions)[reached.Node()] = reached.CurrentRevision();
    std::ofstream out(state, std::ios::trunc);
    for (const auto& [node, revision] : *revisions) out << node << ' ' << revision << '\n';
  });
}

}  // namespace

std::string MakeSimulatedDrives(const std::string& simulate, const std::string& driveLog, const std::string& driveState,
                                TransportMaker& maker) {
  std::vector<std::string> behaviours;
  for (size_t at = 0; !simulate.empty() && at != std::string::npos;) {
    const size_t comma = simulate.find(',', at);
    behaviours.push_back(simulate.substr(at, comma == std::string::npos ? comma : comma - at));
    at = comma == std::string::npos ? comma : comma + 1;
  }
  for (const std::string& behaviour : behaviours) {
    bool known = false;
    for (const char* name : kBehaviours) known = known || behaviour.substr(0, behaviour.find('@')) == name;
    if (!known) return "unknown --simulate " + behaviour;
  }
  std::shared_ptr<std::FILE> journal;
  if (!driveLog.empty()) {
    journal.reset(std::fopen(driveLog.c_str(), "a"), [](std::FILE* file) {
      if (file != nullptr) std::fclose(file);
    });
    if (!journal) return "can't open " + driveLog + ": " + std::strerror(errno);
  }
  maker = [behaviours, journal, driveState](const std::string& revision) {
    // The simulated drives report the image's revision once they are flashed.
    std::unique_ptr<platform::sim::SimTransport> transport = platform::sim::MakeDefaultSimTransport(revision);
    if (std::find(behaviours.begin(), behaviours.end(), "tower") != behaviours.end()) AddTower(*transport);
    for (size_t d = 0; d < transport->DriveCount(); ++d) {
      platform::sim::SimDrive& drive = transport->Drive(d);
      for (const std::string& behaviour : behaviours) {
        // NAME@NODE: one drive's alone.
        const size_t at = behaviour.find('@');
        if (at == std::string::npos || behaviour.substr(at + 1) == drive.Node()) Behave(drive, behaviour.substr(0, at));
      }
    }
    for (const auto& [node, remembered] : ReadDriveState(driveState)) {
      for (size_t d = 0; d < transport->DriveCount(); ++d) {
        if (transport->Drive(d).Node() == node) transport->Drive(d).SetCurrentRevision(remembered);
      }
    }
    if (journal || !driveState.empty()) Journal(*transport, journal, driveState);
    return std::unique_ptr<platform::DriveTransport>(std::move(transport));
  };
  return {};
}

}  // namespace pack
