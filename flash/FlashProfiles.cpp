#include "flash/FlashProfiles.h"

#include <algorithm>
#include <cstring>

#include "drive/CDDrive.h"
#include "flash/ProfileTable.h"
#include "flash/VendorCommands.h"
#include "platform/Services.h"

namespace flash {

namespace {

constexpr uint32_t kShortHeaderLength = 4;
constexpr uint32_t kLongHeaderLength = 6;

bool Matches(const ProfileEntry& entry, const uint8_t (&flashId)[4], bool longId) {
  if (flashId[0] != entry.id0 || flashId[1] != entry.id1) return false;
  return !longId || (flashId[2] == entry.id2 && flashId[3] == entry.id3);
}

// The transfer buffer must hold the flash-ID answer and the largest record.
bool TransferBufferFits(const DriveContext& context) {
  return context.DataBuffer != nullptr && context.DataLength >= kMaxProfileRecordSize + 1 &&
         context.DataLength >= kFlashIdReplyLength;
}

}  // namespace

ProfileChoice MakeProfileRecord(const uint8_t (&flashId)[4], bool longId, uint8_t* record) {
  size_t match = 0;
  while (match < kProfileCount && !Matches(ProfileTable[match], flashId, longId)) ++match;
  ProfileChoice choice;
  choice.offset = ProfileOffsetOf(match);
  if (match == kProfileCount) {
    const uint8_t none[kShortHeaderLength] = {0xFF, 0xFF, 0x00, 0x00};
    std::memcpy(record, none, sizeof none);
    choice.headerLength = choice.recordLength = kShortHeaderLength;
    return choice;
  }
  const ProfileEntry& entry = ProfileTable[match];
  const uint8_t longHeader[kLongHeaderLength] = {entry.id0, entry.id1, entry.id2, entry.id3, entry.sizeHigh, entry.sizeLow};
  const uint8_t shortHeader[kShortHeaderLength] = {entry.id0, entry.id1, entry.sizeHigh, entry.sizeLow};
  choice.matched = true;
  choice.headerLength = longId ? kLongHeaderLength : kShortHeaderLength;
  std::memcpy(record, longId ? longHeader : shortHeader, choice.headerLength);
  const uint32_t size = entry.Size();
  std::memcpy(record + choice.headerLength, ProfileData() + choice.offset, size);
  choice.recordLength = choice.headerLength + size;
  if (size % 2 != 0) {
    // An odd profile is sent with one more byte: the data byte that follows
    // it, or zero at the very end of the data.
    const uint32_t next = choice.offset + size;
    record[choice.recordLength++] = next < kProfileDataSize ? ProfileData()[next] : 0x00;
  }
  return choice;
}

bool SetupFlashProfile(FlashState& state, uint8_t* record) {
  if (!TransferBufferFits(state.Context())) {
    platform::ShowMessage(state.Context().Platform(), "Read Flash ID> no transfer buffer");
    return false;
  }
  VendorCommands commands(state);
  uint8_t flashId[4];
  if (!commands.ReadFlashId(flashId)) return false;
  const ProfileChoice choice = MakeProfileRecord(flashId, state.LongIdProfile, record);
  state.ProfileMatched = choice.matched;
  state.ProfileOffset = choice.offset;
  state.ProfileHeaderLength = choice.headerLength;
  state.ProfileRecordLength = choice.recordLength;
  return commands.WriteProfileRecord(record, state.ProfileRecordLength, state.LongIdProfile);
}

bool ReadVerifyProfile(FlashState& state, const uint8_t* record) {
  if (state.LongIdProfile) {
    if (state.ProfileRecordLength < state.ProfileHeaderLength || state.ProfileOffset > kProfileDataSize) return false;
    const uint32_t available = static_cast<uint32_t>(kProfileDataSize) - state.ProfileOffset;
    const uint32_t length = std::min(state.ProfileRecordLength - state.ProfileHeaderLength, available);
    return std::memcmp(record + state.ProfileHeaderLength, ProfileData() + state.ProfileOffset, length) == 0;
  }
  if (!TransferBufferFits(state.Context())) {
    platform::ShowMessage(state.Context().Platform(), "Read Profile> no transfer buffer");
    return false;
  }
  if (!VendorCommands(state).ReadProfileRecord(state.ProfileRecordLength)) return false;
  if (std::memcmp(state.Context().DataBuffer, record, state.ProfileRecordLength) != 0) {
    platform::ShowMessage(state.Context().Platform(), "Compared profile error!");
    return false;
  }
  return true;
}

}  // namespace flash
