// The optical drives found at start-up. Owns one CDDrive per drive that
// opened and answered INQUIRY, in discovery order, and marks one as current.
#pragma once

#include <array>
#include <cstdint>

#include "platform/Transport.h"

class CDDrive;

class CDDrives {
 public:
  static constexpr int kMaxDrives = 24;

  CDDrives();  // discovers the drives and selects the first
  ~CDDrives();  // destroys the drives in reverse order of discovery
  CDDrives(const CDDrives&) = delete;
  CDDrives& operator=(const CDDrives&) = delete;

  bool Select(int16_t NewIndex);
  uint8_t GetCount() const { return Count; }

  uint8_t Count = 0;
  int32_t Index = 0;
  std::array<CDDrive*, kMaxDrives> Slots{};
  CDDrive* Current = nullptr;

 private:
  // Constructs one drive and keeps it when it opened. False once the list is full.
  bool TryAdd(const platform::DeviceInfo& device);
};
