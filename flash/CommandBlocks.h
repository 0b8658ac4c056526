// The command blocks of the flash procedure: the vendor flash protocol on
// buffer ID 1 of the drive's DRAM, the vendor opcode 0xDF, and the standard
// commands that bring the drive to rest. One pure function per command; bytes
// that a command does not name are 0, multi-byte fields are big-endian.
#pragma once

#include <cstdint>

#include "platform/Transport.h"

namespace flash {

using platform::Cdb;

// Operation codes.
constexpr uint8_t kTestUnitReady = 0x00;
constexpr uint8_t kStartStopUnit = 0x1B;
constexpr uint8_t kWriteBuffer = 0x3B;
constexpr uint8_t kReadBuffer = 0x3C;
constexpr uint8_t kStopPlayScan = 0x4E;
constexpr uint8_t kReadCd = 0xBE;
constexpr uint8_t kVendorCommand = 0xDF;

// WRITE BUFFER mode 05h: download microcode and save. The drive takes the
// data into its DRAM image area and programs its flash on the flash start.
constexpr uint8_t kModeDownloadMicrocodeSave = 0x05;
// READ BUFFER mode 01h: vendor specific, here the DRAM image area.
constexpr uint8_t kModeVendorSpecific = 0x01;
// Buffer ID of the drive's DRAM image area.
constexpr uint8_t kDramBuffer = 0x01;

// WRITE BUFFER control byte (CDB byte 9): the vendor action.
constexpr uint8_t kControlData = 0x00;          // a block of the image
constexpr uint8_t kControlRecord = 0x7F;        // the profile record; with no data, entry critical
constexpr uint8_t kControlFlashStart = 0x80;    // program the flash from DRAM
constexpr uint8_t kControlFlashStartAll = 0xA0; // the same for a FLASH-ALL package

// Second byte of the vendor command.
constexpr uint8_t kVendorReadFlashId = 0x11;
constexpr uint8_t kVendorE2ByteWrite = 0x0A;

// DRAM offset of a short-ID profile record: directly behind the 512 KiB image.
constexpr uint32_t kShortRecordOffset = 0x080000;

// Data phases.
constexpr uint32_t kFlashStartReplyLength = 16;  // the flash start's answer, which nobody reads
constexpr uint32_t kFlashIdReplyLength = 128;
constexpr uint32_t kDiscProbeLength = 8;

// WRITE BUFFER of `length` bytes at `offset` of the DRAM image area.
Cdb WriteBufferBlock(uint32_t offset, uint32_t length, uint8_t control);
// READ BUFFER of `length` bytes at `offset` of the DRAM image area.
Cdb ReadBufferBlock(uint32_t offset, uint32_t length);
// WRITE BUFFER with no data and the record control: entry critical.
Cdb EntryCriticalBlock();
// The profile record write: at offset 0 for a long-ID record, behind the image otherwise.
Cdb ProfileWriteBlock(bool longId, uint32_t length);
// The profile record read-back (short-ID records only).
Cdb ProfileReadBlock(uint32_t length);
Cdb ReadFlashIdBlock();
Cdb E2ByteWriteBlock(uint16_t address, uint8_t value);
// READ CD of one block at LBA 16, any sector type, user data.
Cdb DiscProbeBlock();
// START STOP UNIT: 0x03 loads the medium, 0x00 stops the drive.
Cdb StartStopUnitBlock(uint8_t loadStart);
Cdb TestUnitReadyBlock();
Cdb StopPlayScanBlock();

}  // namespace flash
