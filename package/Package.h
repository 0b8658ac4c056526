// Layout of the firmware package that every copy of the program carries in
// its initialised data: key-word, identity record and BIN area. Offsets are
// from the first key-word byte; numbers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace package {

constexpr size_t kKeyWordSize = 15;  // 14 printable characters and a zero byte
constexpr size_t kSlotSize = 25;     // text of at most 24 characters and a zero byte
constexpr size_t kModelOffset = 15;
constexpr size_t kInquiryOffset = 40;
constexpr size_t kFWRangeOffset = 65;
constexpr size_t kVendorOffset = 90;
constexpr size_t kNoteOffset = 115;
constexpr size_t kVersionOffset = 140;
constexpr size_t kVersionSize = 5;
constexpr size_t kReservedOffset = 145;
constexpr size_t kBinLengthOffset = 148;
constexpr size_t kBinAreaOffset = 152;
constexpr size_t kBinAreaSize = 524288;
constexpr size_t kIdentityRecordSize = 137;  // offsets 15 to 151
constexpr size_t kPackageSize = 524440;

// The builder tag at the start of the BIN area.
constexpr char kBuilderTag[4] = {'O', 'B', 'E', 'L'};

// Read-only view of a package in memory.
class PackageView {
 public:
  explicit PackageView(const uint8_t* base) : base_(base) {}

  const uint8_t* Base() const { return base_; }
  const uint8_t* KeyWord() const { return base_; }
  const char* ModelSlot() const { return Slot(kModelOffset); }
  const char* InquirySlot() const { return Slot(kInquiryOffset); }
  const char* FWRangeSlot() const { return Slot(kFWRangeOffset); }
  const char* VendorSlot() const { return Slot(kVendorOffset); }
  const char* NoteSlot() const { return Slot(kNoteOffset); }
  const char* Version() const { return Slot(kVersionOffset); }
  uint32_t BinLength() const;
  const uint8_t* BinArea() const { return base_ + kBinAreaOffset; }

  // Text of a slot up to its terminating zero, never past the slot's width.
  static std::string SlotText(const char* slot, size_t width = kSlotSize);

  // True when the BIN area begins with the builder tag (byte for byte, case-sensitive).
  bool IsBuilder() const;

 private:
  const char* Slot(size_t offset) const { return reinterpret_cast<const char*>(base_ + offset); }
  const uint8_t* base_;
};

// The package embedded in this program file.
const uint8_t* EmbeddedPackage();

}  // namespace package
