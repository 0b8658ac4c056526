#include "drive/CDDrives.h"

#include <cerrno>

#include "drive/CDDrive.h"
#include "platform/Transport.h"

CDDrives::CDDrives(DriveContext& context) : context_(context) {
  Count = 0;
  Index = 0;
  if (context_.NextUsesPassThrough()) {
    // Linux has no drive letters: the transport's own enumeration of the
    // optical drives, in ascending SCSI address order, takes their place.
    platform::DriveTransport* transport = context_.Transport;
    if (transport == nullptr) return;
    for (const platform::DeviceInfo& device : transport->EnumerateDrives()) {
      if (!TryAdd(device)) break;
    }
    Facts = transport->Discovery();
  } else {
    bool room = true;
    for (uint8_t hostAdapter = 0; room && hostAdapter < 20; ++hostAdapter) {
      for (uint8_t target = 0; room && target < 2; ++target) {
        room = TryAdd(platform::DeviceInfo{' ', hostAdapter, 0, target, 0, {}, {}, {}});
      }
    }
  }
  if (Count != 0) Select(0);
}

CDDrives::~CDDrives() {
  if (Count == 0) return;
  for (Index = Count - 1; Index >= 0; --Index) {
    delete Slots[static_cast<size_t>(Index)];
    Slots[static_cast<size_t>(Index)] = nullptr;
  }
  Current = nullptr;
}

bool CDDrives::Select(int16_t NewIndex) {
  if (NewIndex < 0 || NewIndex >= Count) return false;
  Index = NewIndex;
  Current = Slots[static_cast<size_t>(NewIndex)];
  return true;
}

bool CDDrives::TryAdd(const platform::DeviceInfo& device) {
  if (Count >= kMaxDrives) return false;
  CDDrive* drive = new CDDrive(device, context_);
  if (context_.OpenResult == CDDrive::kOpened) {
    Slots[static_cast<size_t>(Index)] = drive;
    ++Index;
    ++Count;
  } else {
    if (drive->OpenError != 0) {
      platform::DriveTransport* transport = context_.Transport;
      Refusals.push_back({drive->OpenErrorNode, drive->OpenError,
                          transport != nullptr ? transport->NodeGroup(drive->OpenErrorNode) : std::string(),
                          transport != nullptr ? transport->OpenRemedy(drive->OpenError) : std::string()});
    }
    // Not retained; it was never counted, so freeing it settles nothing.
    delete drive;
  }
  // Discovery stops once the list is full.
  return Count < kMaxDrives;
}

EmptyListCause ExplainEmptyList(const platform::DiscoveryFacts& facts, const std::vector<OpenRefusal>& refusals) {
  for (const OpenRefusal& refusal : refusals) {
    // The system's words for a lack of rights: errno's, or the remedy its
    // transport gives (on Windows: run as an administrator).
    if (refusal.error == EACCES || refusal.error == EPERM || !refusal.remedy.empty()) {
      return {EmptyListCause::NoRights, refusal.node, refusal.group, refusal.remedy};
    }
  }
  if (!facts.known) return {};
  if (facts.withoutNode > 0 && !facts.genericDriver) return {EmptyListCause::NoGenericDriver, {}, {}, {}};
  if (facts.opticalDevices == 0) return {EmptyListCause::NoOpticalDrive, {}, {}, {}};
  return {};
}
