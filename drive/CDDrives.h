// The optical drives found at start-up. Owns one CDDrive per drive that
// opened and answered INQUIRY, in discovery order, and marks one as current.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "drive/DriveContext.h"
#include "platform/Transport.h"

class CDDrive;

// A drive whose node would not open during discovery.
struct OpenRefusal {
  std::string node;
  int error = 0;       // the system's error code
  std::string group;   // the group that owns the node, when known
  std::string remedy;  // what the system's transport says to do about the error; empty: nothing known
};

// Why no drive could be listed, as far as discovery and the opens tell.
struct EmptyListCause {
  enum Kind : uint8_t {
    Unknown,          // nothing that can be told
    NoRights,         // a drive's node may not be opened by this user
    NoGenericDriver,  // drives without any node, and the sg module is not loaded
    NoOpticalDrive,   // the system knows no optical drive
  };
  Kind kind = Unknown;
  std::string node;    // NoRights: the node that refused
  std::string group;   // and the group that owns it, when known
  std::string remedy;  // and what the transport says to do (run as an administrator, ...)
};

// Decides the cause: a refusal for lack of rights first (the first one in
// discovery order), then drives left without a node while the sg module is
// missing, then no optical drive at all; Unknown when the system could not
// be looked at.
EmptyListCause ExplainEmptyList(const platform::DiscoveryFacts& facts, const std::vector<OpenRefusal>& refusals);

class CDDrives {
 public:
  static constexpr int kMaxDrives = 24;

  // Discovers the drives (each made in `context`) and selects the first.
  explicit CDDrives(DriveContext& context = ClassDriveContext());
  ~CDDrives();  // destroys the drives in reverse order of discovery
  CDDrives(const CDDrives&) = delete;
  CDDrives& operator=(const CDDrives&) = delete;

  bool Select(int16_t NewIndex);
  uint8_t GetCount() const { return Count; }

  uint8_t Count = 0;
  int32_t Index = 0;
  std::array<CDDrive*, kMaxDrives> Slots{};
  CDDrive* Current = nullptr;
  // What discovery saw, and the drives whose node refused to open, in
  // discovery order (pass-through path only).
  platform::DiscoveryFacts Facts;
  std::vector<OpenRefusal> Refusals;

 private:
  // Constructs one drive and keeps it when it opened. False once the list is full.
  bool TryAdd(const platform::DeviceInfo& device);

  DriveContext& context_;
};
