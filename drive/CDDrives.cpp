#include "drive/CDDrives.h"

#include "drive/CDDrive.h"
#include "platform/Transport.h"

CDDrives::CDDrives() {
  Count = 0;
  Index = 0;
  platform::DriveTransport* transport = CDDrive::GetTransport();
  if (transport == nullptr) return;

  // The same choice as a drive's construction makes; the transport is asked
  // only while no drive is open, otherwise the method in force stays.
  const bool passThrough =
      CDDrive::OpenCount == 0 ? transport->UsesPassThrough() : CDDrive::NtMode;
  if (passThrough) {
    // Linux has no drive letters: the transport's own enumeration of the
    // optical drives, in ascending SCSI address order, takes their place.
    for (const platform::DeviceInfo& device : transport->EnumerateDrives()) {
      if (!TryAdd(' ', device.host, device.target, device.lun)) break;
    }
  } else {
    bool room = true;
    for (uint8_t hostAdapter = 0; room && hostAdapter < 20; ++hostAdapter) {
      for (uint8_t target = 0; room && target < 2; ++target) {
        room = TryAdd(' ', hostAdapter, target, 0);
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

bool CDDrives::TryAdd(uint8_t DriveLetter, uint8_t HostAdapter, uint8_t Target, uint8_t Lun) {
  if (Count >= kMaxDrives) return false;
  CDDrive* drive = new CDDrive(DriveLetter, HostAdapter, Target, Lun);
  if (CDDrive::GetOpenResult() == CDDrive::kOpened) {
    Slots[static_cast<size_t>(Index)] = drive;
    ++Index;
    ++Count;
  } else {
    // Not retained; it was never counted, so freeing it settles nothing.
    delete drive;
  }
  // Discovery stops once the list is full.
  return Count < kMaxDrives;
}
