// The vendor flash operations on the current drive: each fills the command
// block, sends it, judges the outcome and reports its own failure in a
// message box (the operation's prefix and the drive's error text).
#pragma once

#include <cstdint>
#include <string>

#include "flash/CommandBlocks.h"
#include "flash/FlashState.h"

namespace flash {

class VendorCommands {
 public:
  explicit VendorCommands(FlashState& state) : state_(state) {}

  // A block of the image (control 0x00), the profile record (0x7F) or the
  // flash start (0x80, 0xA0; `data` is not read then).
  bool WriteBuffer(uint32_t offset, const uint8_t* data, uint8_t control, uint32_t length);
  // Leaves `data` as it was when the command fails.
  bool ReadBuffer(uint32_t offset, uint8_t* data, uint32_t length);
  bool EntryCritical();
  // One command per byte, from `address` on (wrapping at 0xFFFF); stops at the first failure.
  bool WriteE2(const uint8_t* data, uint16_t address, uint8_t count);
  // True only when the drive reports "medium not present".
  bool CheckDisc();

  // The first four bytes of the drive's flash-chip ID.
  bool ReadFlashId(uint8_t (&id)[4]);
  // The profile record, sent from the transfer buffer.
  bool WriteProfileRecord(const uint8_t* record, uint32_t length, bool longId);
  // The short-ID profile record read back into the transfer buffer.
  bool ReadProfileRecord(uint32_t length);

  // A preparation command: sent, never judged.
  void SendPreparation(const Cdb& block);

 private:
  // Sends `block` as the command block; on failure shows `failurePrefix`
  // followed by the drive's error text (and, on lines of their own, the
  // system's words for its error and how many bytes did not arrive). True
  // when the command succeeded. With `wholeData` a data-in phase that came
  // back short fails too: the part that did not arrive holds stale bytes.
  bool Send(const Cdb& block, uint8_t dataIn, uint32_t length, const std::string& failurePrefix,
            bool wholeData = false);
  // Copies `length` bytes into the transfer buffer; false (with the
  // operation's message) when they do not fit.
  bool FillTransferBuffer(const uint8_t* data, uint32_t length, const std::string& failurePrefix);

  FlashState& state_;
};

}  // namespace flash
