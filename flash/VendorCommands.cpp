#include "flash/VendorCommands.h"

#include <algorithm>
#include <cstring>

#include "drive/CDDrive.h"
#include "platform/Services.h"

namespace flash {

namespace {

constexpr uint8_t kDataIn = 1;
constexpr uint8_t kDataOut = 0;

std::string MissingBytes(uint32_t length, uint32_t residual) {
  const uint32_t missing = std::min(residual, length);
  return "The drive sent " + std::to_string(length - missing) + " of the " + std::to_string(length) +
         " bytes: " + std::to_string(missing) + (missing == 1 ? " byte is" : " bytes are") + " missing.";
}

}  // namespace

DriveContext& FlashState::Context() const {
  return CurrentDrive != nullptr ? CurrentDrive->Context() : ClassDriveContext();
}

bool VendorCommands::Send(const Cdb& block, uint8_t dataIn, uint32_t length, const std::string& failurePrefix,
                          bool wholeData) {
  state_.CommandBlock = block;
  CDDrive* drive = state_.CurrentDrive;
  bool ok = false;
  bool incomplete = false;
  if (drive != nullptr) {
    drive->SendCommand(block, dataIn, length);
    // Sense alone is not enough: a command the kernel refuses (EPERM), a BUSY
    // answer or a time-out leave no sense data behind, and must not pass.
    ok = drive->LastCommandSucceeded();
    incomplete = ok && wholeData && dataIn == kDataIn && length > 0 && drive->GetResidual() > 0;
  }
  if ((!ok || incomplete) && !failurePrefix.empty()) {
    std::string message = failurePrefix;
    if (drive != nullptr) {
      message += drive->GetErrorText();
      const std::string system = drive->GetSystemErrorText();
      if (!system.empty()) message += "\n" + system;
      if (incomplete) message += "\n" + MissingBytes(length, drive->GetResidual());
    }
    platform::ShowMessage(state_.Context().Platform(), message);
  }
  return ok && !incomplete;
}

void VendorCommands::SendPreparation(const Cdb& block) {
  state_.CommandBlock = block;
  if (state_.CurrentDrive != nullptr) state_.CurrentDrive->SendCommand(block, kDataIn, 0);
}

bool VendorCommands::FillTransferBuffer(const uint8_t* data, uint32_t length, const std::string& failurePrefix) {
  const DriveContext& context = state_.Context();
  uint8_t* buffer = context.DataBuffer;
  if (buffer == nullptr || length > context.DataLength || (length > 0 && data == nullptr)) {
    // Never copy beyond the transfer buffer; nothing is sent.
    platform::ShowMessage(context.Platform(), failurePrefix + "data does not fit the transfer buffer");
    return false;
  }
  if (length > 0) std::memcpy(buffer, data, length);
  return true;
}

bool VendorCommands::WriteBuffer(uint32_t offset, const uint8_t* data, uint8_t control, uint32_t length) {
  const Cdb block = WriteBufferBlock(offset, length, control);
  if (control == kControlFlashStart || control == kControlFlashStartAll) {
    // Nobody reads the answer, so however much of it arrives, the drive
    // took the flash start; failing it then would report a flash the drive
    // is carrying out as failed.
    return Send(block, kDataIn, kFlashStartReplyLength, "Write Buffer> ");
  }
  state_.CommandBlock = block;
  if (!FillTransferBuffer(data, length, "Write Buffer> ")) return false;
  return Send(block, kDataOut, length, "Write Buffer> ");
}

bool VendorCommands::ReadBuffer(uint32_t offset, uint8_t* data, uint32_t length) {
  state_.CommandBlock = ReadBufferBlock(offset, length);
  const DriveContext& context = state_.Context();
  const uint8_t* buffer = context.DataBuffer;
  if (buffer == nullptr || length > context.DataLength) {
    platform::ShowMessage(context.Platform(), "Read Buffer> data does not fit the transfer buffer");
    return false;
  }
  if (!Send(state_.CommandBlock, kDataIn, length, "Read Buffer> ", true)) return false;
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
  if (!Send(ReadFlashIdBlock(), kDataIn, kFlashIdReplyLength, "Read Flash ID> ", true)) return false;
  std::memcpy(id, state_.Context().DataBuffer, sizeof id);
  return true;
}

bool VendorCommands::WriteProfileRecord(const uint8_t* record, uint32_t length, bool longId) {
  std::memcpy(state_.Context().DataBuffer, record, length);
  return Send(ProfileWriteBlock(longId, length), kDataOut, length, "Write Profile> ");
}

bool VendorCommands::ReadProfileRecord(uint32_t length) {
  return Send(ProfileReadBlock(length), kDataIn, length, "Read Profile> ", true);
}

}  // namespace flash
