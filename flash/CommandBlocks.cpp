#include "flash/CommandBlocks.h"

namespace flash {

namespace {

uint8_t Byte(uint32_t value, int shift) { return static_cast<uint8_t>(value >> shift); }

// A command of the DRAM image area with a 24-bit offset and a 24-bit length.
Cdb BufferBlock(uint8_t opcode, uint8_t mode, uint32_t offset, uint32_t length, uint8_t control) {
  return {opcode,          mode,            kDramBuffer,      Byte(offset, 16), Byte(offset, 8), Byte(offset, 0),
          Byte(length, 16), Byte(length, 8), Byte(length, 0), control,          0x00,            0x00};
}

}  // namespace

Cdb WriteBufferBlock(uint32_t offset, uint32_t length, uint8_t control) {
  return BufferBlock(kWriteBuffer, kModeDownloadMicrocodeSave, offset, length, control);
}

Cdb ReadBufferBlock(uint32_t offset, uint32_t length) {
  return BufferBlock(kReadBuffer, kModeVendorSpecific, offset, length, 0x00);
}

Cdb EntryCriticalBlock() { return WriteBufferBlock(0, 0, kControlRecord); }

Cdb ProfileWriteBlock(bool longId, uint32_t length) {
  return WriteBufferBlock(longId ? 0 : kShortRecordOffset, length, kControlRecord);
}

Cdb ProfileReadBlock(uint32_t length) { return ReadBufferBlock(kShortRecordOffset, length); }

Cdb ReadFlashIdBlock() { return {kVendorCommand, kVendorReadFlashId, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}; }

Cdb E2ByteWriteBlock(uint16_t address, uint8_t value) {
  return {kVendorCommand, kVendorE2ByteWrite, 0, 0, 0, 0, 0, Byte(address, 8), Byte(address, 0), value, 0, 0};
}

Cdb DiscProbeBlock() { return {kReadCd, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x01, 0x10, 0x00, 0x00}; }

Cdb StartStopUnitBlock(uint8_t loadStart) { return {kStartStopUnit, 0, 0, 0, loadStart, 0, 0, 0, 0, 0, 0, 0}; }

Cdb TestUnitReadyBlock() { return {kTestUnitReady, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}; }

Cdb StopPlayScanBlock() { return {kStopPlayScan, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}; }

}  // namespace flash
