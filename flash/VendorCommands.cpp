#include "flash/VendorCommands.h"

#include <cstring>

#include "drive/CDDrive.h"
#include "platform/Services.h"

namespace flash {

namespace {

constexpr uint8_t kDataIn = 1;
constexpr uint8_t kDataOut = 0;

}  // namespace

bool VendorCommands::Send(const Cdb& block, uint8_t dataIn, uint32_t length, const std::string& failurePrefix) {
  state_.CommandBlock = block;
  bool ok = false;
  if (state_.CurrentDrive != nullptr) {
    state_.CurrentDrive->SendCommand(block, dataIn, length);
    // Sense alone is not enough: a command the kernel refuses (EPERM), a BUSY
    // answer or a time-out leave no sense data behind, and must not pass.
    ok = state_.CurrentDrive->LastCommandSucceeded();
  }
  if (!ok && !failurePrefix.empty()) {
    const std::string error = state_.CurrentDrive != nullptr ? state_.CurrentDrive->GetErrorText() : std::string();
    platform::ShowMessage(failurePrefix + error);
  }
  return ok;
}

void VendorCommands::SendPreparation(const Cdb& block) {
  state_.CommandBlock = block;
  if (state_.CurrentDrive != nullptr) state_.CurrentDrive->SendCommand(block, kDataIn, 0);
}

bool VendorCommands::FillTransferBuffer(const uint8_t* data, uint32_t length, const std::string& failurePrefix) {
  uint8_t* buffer = CDDrive::GetDataBuffer();
  if (buffer == nullptr || length > CDDrive::DataLength || (length > 0 && data == nullptr)) {
    // Never copy beyond the transfer buffer; nothing is sent.
    platform::ShowMessage(failurePrefix + "data does not fit the transfer buffer");
    return false;
  }
  if (length > 0) std::memcpy(buffer, data, length);
  return true;
}

bool VendorCommands::WriteBuffer(uint32_t offset, const uint8_t* data, uint8_t control, uint32_t length) {
  const Cdb block = WriteBufferBlock(offset, length, control);
  if (control == kControlFlashStart || control == kControlFlashStartAll) {
    return Send(block, kDataIn, kFlashStartReplyLength, "Write Buffer> ");
  }
  state_.CommandBlock = block;
  if (!FillTransferBuffer(data, length, "Write Buffer> ")) return false;
  return Send(block, kDataOut, length, "Write Buffer> ");
}

bool VendorCommands::ReadBuffer(uint32_t offset, uint8_t* data, uint32_t length) {
  state_.CommandBlock = ReadBufferBlock(offset, length);
  const uint8_t* buffer = CDDrive::GetDataBuffer();
  if (buffer == nullptr || length > CDDrive::DataLength) {
    platform::ShowMessage("Read Buffer> data does not fit the transfer buffer");
    return false;
  }
  if (!Send(state_.CommandBlock, kDataIn, length, "Read Buffer> ")) return false;
  if (length > 0) std::memcpy(data, buffer, length);
  return true;
}

bool VendorCommands::EntryCritical() { return Send(EntryCriticalBlock(), kDataIn, 0, "Entry critical> "); }

bool VendorCommands::WriteE2(const uint8_t* data, uint16_t address, uint8_t count) {
  for (uint8_t i = 0; i < count; ++i) {
    if (!Send(E2ByteWriteBlock(address, data[i]), kDataIn, 0, "Write E2> ")) return false;
    ++address;  // wraps from 0xFFFF to 0x0000
  }
  return true;
}

bool VendorCommands::CheckDisc() {
  Send(DiscProbeBlock(), kDataIn, kDiscProbeLength, "");
  // Only "medium not present" means the drive is empty; any other outcome,
  // a failed probe included, counts as a disc being there.
  return state_.CurrentDrive != nullptr && state_.CurrentDrive->CheckSense(0x02, 0x3A, 0x00);
}

bool VendorCommands::ReadFlashId(uint8_t (&id)[4]) {
  if (!Send(ReadFlashIdBlock(), kDataIn, kFlashIdReplyLength, "Read Flash ID> ")) return false;
  std::memcpy(id, CDDrive::GetDataBuffer(), sizeof id);
  return true;
}

bool VendorCommands::WriteProfileRecord(const uint8_t* record, uint32_t length, bool longId) {
  std::memcpy(CDDrive::GetDataBuffer(), record, length);
  return Send(ProfileWriteBlock(longId, length), kDataOut, length, "Write Profile> ");
}

bool VendorCommands::ReadProfileRecord(uint32_t length) {
  return Send(ProfileReadBlock(length), kDataIn, length, "Read Profile> ");
}

}  // namespace flash
