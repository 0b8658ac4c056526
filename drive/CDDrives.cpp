// PLACEHOLDER: replaced by the drive-layer implementation.
#include "drive/CDDrives.h"

#include "drive/CDDrive.h"

CDDrives::CDDrives() {}
CDDrives::~CDDrives() {}
bool CDDrives::Select(int16_t) { return false; }
bool CDDrives::TryAdd(uint8_t, uint8_t, uint8_t, uint8_t) { return false; }
