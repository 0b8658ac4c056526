// The vendor flash command set: DRAM block transfer with WRITE BUFFER and
// READ BUFFER on buffer ID 1, entry critical, flash start, E2 writes and the
// disc probe. Each operation fills CommandBlock, sends it to CurrentDrive and
// reports its own failure.
#include <cstring>

#include "app/FlashFormCore.h"
#include "drive/CDDrive.h"
#include "platform/Services.h"

namespace {

constexpr uint8_t kWriteBuffer = 0x3B;
constexpr uint8_t kReadBuffer = 0x3C;
constexpr uint8_t kVendorCommand = 0xDF;
constexpr uint8_t kReadCd = 0xBE;
constexpr uint8_t kModeData = 0x05;      // WRITE BUFFER: download data
constexpr uint8_t kModeReadData = 0x01;  // READ BUFFER: data
constexpr uint8_t kDramBuffer = 0x01;    // buffer ID of the drive's DRAM image area
constexpr uint8_t kE2ByteWrite = 0x0A;

constexpr uint8_t kFlashStart = 0x80;
constexpr uint8_t kFlashStartAll = 0xA0;
constexpr uint32_t kFlashStartReplyLength = 16;
constexpr uint32_t kDiscProbeLength = 8;

constexpr uint8_t kDataIn = 1;
constexpr uint8_t kDataOut = 0;

uint8_t Byte(uint32_t value, int shift) { return static_cast<uint8_t>(value >> shift); }

}  // namespace

bool FlashFormCore::SendVendorCommand(uint8_t DataIn, uint32_t Length) {
  if (CurrentDrive == nullptr) return false;
  const std::array<uint8_t, 12>& c = CommandBlock;
  CurrentDrive->SendCommand(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9], c[10], c[11],
                            DataIn, Length);
  // Sense alone is not enough: a command the kernel refuses (EPERM), a BUSY
  // answer or a time-out leave no sense data behind, and must not pass.
  return CurrentDrive->LastCommandSucceeded();
}

void FlashFormCore::ReportCommandFailure(const std::string& prefix) {
  const std::string error = CurrentDrive != nullptr ? CurrentDrive->GetErrorText() : std::string();
  platform::ShowMessage(prefix + error);
}

bool FlashFormCore::WriteBuffer(uint32_t Offset, const uint8_t* Data, uint8_t Control, uint32_t Length) {
  CommandBlock = {kWriteBuffer, kModeData,        kDramBuffer,      Byte(Offset, 16),
                  Byte(Offset, 8), Byte(Offset, 0), Byte(Length, 16), Byte(Length, 8),
                  Byte(Length, 0), Control,         0x00,             0x00};
  bool ok;
  if (Control == kFlashStart || Control == kFlashStartAll) {
    // The drive answers the flash start with 16 bytes that nobody reads.
    ok = SendVendorCommand(kDataIn, kFlashStartReplyLength);
  } else {
    uint8_t* buffer = CDDrive::GetDataBuffer();
    if (buffer == nullptr || Length > CDDrive::DataLength || (Length > 0 && Data == nullptr)) {
      // Never copy beyond the transfer buffer; nothing is sent.
      platform::ShowMessage("Write Buffer> data does not fit the transfer buffer");
      return false;
    }
    if (Length > 0) std::memcpy(buffer, Data, Length);
    ok = SendVendorCommand(kDataOut, Length);
  }
  if (!ok) {
    ReportCommandFailure("Write Buffer> ");
    return false;
  }
  return true;
}

bool FlashFormCore::ReadBuffer(uint32_t Offset, uint8_t* Data, uint32_t Length) {
  CommandBlock = {kReadBuffer,     kModeReadData,   kDramBuffer,      Byte(Offset, 16),
                  Byte(Offset, 8), Byte(Offset, 0), Byte(Length, 16), Byte(Length, 8),
                  Byte(Length, 0), 0x00,            0x00,             0x00};
  const uint8_t* buffer = CDDrive::GetDataBuffer();
  if (buffer == nullptr || Length > CDDrive::DataLength) {
    platform::ShowMessage("Read Buffer> data does not fit the transfer buffer");
    return false;
  }
  if (!SendVendorCommand(kDataIn, Length)) {
    ReportCommandFailure("Read Buffer> ");
    return false;  // the caller's buffer stays as it was
  }
  if (Length > 0) std::memcpy(Data, buffer, Length);
  return true;
}

bool FlashFormCore::EntryCritical() {
  CommandBlock = {kWriteBuffer, kModeData, kDramBuffer, 0x00, 0x00, 0x00,
                  0x00,         0x00,      0x00,        0x7F, 0x00, 0x00};
  if (!SendVendorCommand(kDataIn, 0)) {
    ReportCommandFailure("Entry critical> ");
    return false;
  }
  return true;
}

bool FlashFormCore::WriteE2(const uint8_t* Data, uint16_t Address, uint8_t Count) {
  for (uint8_t i = 0; i < Count; ++i) {
    CommandBlock = {kVendorCommand,    kE2ByteWrite,      0x00,    0x00, 0x00, 0x00, 0x00,
                    Byte(Address, 8), Byte(Address, 0), Data[i], 0x00, 0x00};
    if (!SendVendorCommand(kDataIn, 0)) {
      ReportCommandFailure("Write E2> ");
      return false;
    }
    ++Address;  // wraps from 0xFFFF to 0x0000
  }
  return true;
}

bool FlashFormCore::CheckDisc() {
  // READ CD of one block at LBA 16, any sector type, user data.
  CommandBlock = {kReadCd, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x01, 0x10, 0x00, 0x00};
  SendVendorCommand(kDataIn, kDiscProbeLength);
  // Only "medium not present" means the drive is empty; any other outcome,
  // a failed probe included, counts as a disc being there.
  return CurrentDrive != nullptr && CurrentDrive->CheckSense(0x02, 0x3A, 0x00);
}
