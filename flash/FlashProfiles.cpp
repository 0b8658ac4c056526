// Flash-chip profiles: read the drive's flash-chip ID, pick the matching
// profile, write the profile record into the drive's DRAM and check it later.
#include <algorithm>
#include <cstring>

#include "app/FlashFormCore.h"
#include "drive/CDDrive.h"
#include "flash/ProfileTable.h"
#include "platform/Services.h"

namespace {

constexpr uint32_t kFlashIdReplyLength = 128;
constexpr uint32_t kShortHeaderLength = 4;
constexpr uint32_t kLongHeaderLength = 6;
// DRAM offset of the short-ID record, directly behind the 512 KiB BIN, as the
// high byte of the 24-bit offset; the long-ID record lies at offset 0.
constexpr uint8_t kShortRecordOffsetHigh = 0x08;

bool Matches(const flash::ProfileEntry& entry, const uint8_t* flashId, bool longId) {
  if (flashId[0] != entry.id0 || flashId[1] != entry.id1) return false;
  return !longId || (flashId[2] == entry.id2 && flashId[3] == entry.id3);
}

// The transfer buffer must hold the flash-ID answer and the largest record.
bool TransferBufferFits() {
  return CDDrive::GetDataBuffer() != nullptr && CDDrive::DataLength >= flash::kMaxProfileRecordSize + 1 &&
         CDDrive::DataLength >= kFlashIdReplyLength;
}

}  // namespace

bool FlashFormCore::SetupFlashProfile(uint8_t* Record) {
  if (!TransferBufferFits()) {
    platform::ShowMessage("Read Flash ID> no transfer buffer");
    return false;
  }
  CommandBlock = {0xDF, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  if (!SendVendorCommand(1, kFlashIdReplyLength)) {
    ReportCommandFailure("Read Flash ID> ");
    return false;
  }
  uint8_t flashId[4];
  std::memcpy(flashId, CDDrive::GetDataBuffer(), sizeof flashId);

  const bool longId = LongIdProfile;
  ProfileMatched = false;
  ProfileOffset = 0;
  size_t match = 0;
  for (size_t i = 0; i < flash::kProfileCount; ++i) {
    if (Matches(flash::ProfileTable[i], flashId, longId)) {
      match = i;
      ProfileMatched = true;
      break;
    }
    // Entry 3 reuses entry 2's profile, so entry 2 takes no room of its own.
    if (i != flash::kSharedProfileEntry) ProfileOffset += flash::ProfileTable[i].Size();
  }

  if (ProfileMatched) {
    const flash::ProfileEntry& entry = flash::ProfileTable[match];
    const uint32_t size = entry.Size();
    Record[0] = entry.id0;
    Record[1] = entry.id1;
    if (longId) {
      Record[2] = entry.id2;
      Record[3] = entry.id3;
      Record[4] = entry.sizeHigh;
      Record[5] = entry.sizeLow;
      ProfileHeaderLength = kLongHeaderLength;
    } else {
      Record[2] = entry.sizeHigh;
      Record[3] = entry.sizeLow;
      ProfileHeaderLength = kShortHeaderLength;
    }
    const uint8_t* data = flash::ProfileData();
    std::memcpy(Record + ProfileHeaderLength, data + ProfileOffset, size);
    ProfileRecordLength = ProfileHeaderLength + size;
    if (size % 2 != 0) {
      // An odd profile is sent with one more byte: the data byte that follows
      // it, or zero at the very end of the data.
      const uint32_t next = ProfileOffset + size;
      Record[ProfileRecordLength] = next < flash::kProfileDataSize ? data[next] : 0x00;
      ++ProfileRecordLength;
    }
  } else {
    Record[0] = 0xFF;
    Record[1] = 0xFF;
    Record[2] = 0x00;
    Record[3] = 0x00;
    ProfileHeaderLength = kShortHeaderLength;
    ProfileRecordLength = kShortHeaderLength;
  }

  std::memcpy(CDDrive::GetDataBuffer(), Record, ProfileRecordLength);
  CommandBlock = {0x3B,
                  0x05,
                  0x01,
                  longId ? uint8_t{0x00} : kShortRecordOffsetHigh,
                  0x00,
                  0x00,
                  0x00,
                  static_cast<uint8_t>(ProfileRecordLength >> 8),
                  static_cast<uint8_t>(ProfileRecordLength),
                  0x7F,
                  0x00,
                  0x00};
  if (!SendVendorCommand(0, ProfileRecordLength)) {
    ReportCommandFailure("Write Profile> ");
    return false;
  }
  return true;
}

bool FlashFormCore::ReadVerifyProfile(const uint8_t* Record) {
  if (LongIdProfile) {
    // The record lies where the BIN has been written since, so only the kept
    // copy can be checked against the table's data.
    if (ProfileRecordLength < ProfileHeaderLength || ProfileOffset > flash::kProfileDataSize) return false;
    const uint32_t available = static_cast<uint32_t>(flash::kProfileDataSize) - ProfileOffset;
    const uint32_t length = std::min(ProfileRecordLength - ProfileHeaderLength, available);
    return std::memcmp(Record + ProfileHeaderLength, flash::ProfileData() + ProfileOffset, length) == 0;
  }
  if (!TransferBufferFits()) {
    platform::ShowMessage("Read Profile> no transfer buffer");
    return false;
  }
  CommandBlock = {0x3C,
                  0x01,
                  0x01,
                  kShortRecordOffsetHigh,
                  0x00,
                  0x00,
                  0x00,
                  static_cast<uint8_t>(ProfileRecordLength >> 8),
                  static_cast<uint8_t>(ProfileRecordLength),
                  0x00,
                  0x00,
                  0x00};
  if (!SendVendorCommand(1, ProfileRecordLength)) {
    ReportCommandFailure("Read Profile> ");
    return false;
  }
  if (std::memcmp(CDDrive::GetDataBuffer(), Record, ProfileRecordLength) != 0) {
    platform::ShowMessage("Compared profile error!");
    return false;
  }
  return true;
}
