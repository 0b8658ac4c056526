// The firmware package that every copy of the program carries in its
// initialised data: key-word, identity record and BIN area. Offsets are from
// the first key-word byte; numbers are little-endian. This is the one home of
// the layout: the program reads its package through PackageView, and every
// writer (the builder, the build-time package tool, tests, benchmarks and
// fuzz targets) writes through the functions below.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace package {

constexpr size_t kKeyWordSize = 15;  // 14 printable characters and a zero byte
constexpr size_t kSlotSize = 25;     // text of at most 24 characters and a zero byte
constexpr size_t kSlotTextSize = kSlotSize - 1;
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

// Outside its package, every program file carries one record that names the
// drives it reaches: the tag below, then "system" or "simulated", then a zero
// byte. A build copies it with the rest of the program, so a flash program
// built by a builder on simulated drives says so too. Each program defines
// the record with FLASHUTIL_DRIVE_ACCESS_RECORD.
#define FLASHUTIL_DRIVE_ACCESS_TAG "\x7F" "flashutil drive access="
#define FLASHUTIL_DRIVE_ACCESS_RECORD(value)                                                  \
  extern "C" __attribute__((used)) const char flashutil_drive_access[] = FLASHUTIL_DRIVE_ACCESS_TAG value

enum class DriveAccess { Unknown, System, Simulated };

// The record in a program file's bytes; Unknown when there is none (a
// program of an older build, or not one of ours).
DriveAccess FindDriveAccess(const uint8_t* bytes, size_t size);

// Read-only view of a package in memory.
class PackageView {
 public:
  explicit PackageView(const uint8_t* base) : base_(base) {}

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
  // The Inquiry slot begins with "--": every drive is accepted.
  bool AcceptsEveryDrive() const;
  // The FW-Range slot names a range of revisions: it does not have "-" at
  // both its first and its sixth character.
  bool RestrictsFirmware() const;
  // The Note slot's first nine bytes are "FLASH-ALL": the whole-flash write.
  bool IsFlashAll() const;

 private:
  const char* Slot(size_t offset) const { return reinterpret_cast<const char*>(base_ + offset); }
  const uint8_t* base_;
};

// The package embedded in this program file.
const uint8_t* EmbeddedPackage();

// --- Writing ------------------------------------------------------------------

// What an identity record holds. Each slot gets at most kSlotTextSize
// characters of its text and zero bytes after it; the version at most
// kVersionSize characters.
struct Identity {
  std::string model;
  std::string inquiry;
  std::string fwRange;
  std::string vendor;
  std::string note;
  std::string version;
  uint32_t binLength = 0;
};

using IdentityRecord = std::array<uint8_t, kIdentityRecordSize>;

IdentityRecord EncodeIdentityRecord(const Identity& identity);

// A whole package: the key-word's 14 characters and a zero byte, the
// identity record, and `size` bytes of image at the start of the BIN area
// (cut to the area; zero behind it).
std::vector<uint8_t> MakePackage(const std::string& keyWord, const Identity& identity, const uint8_t* image,
                                 size_t size);
// A builder package: the key-word, an empty identity record and the builder
// tag at the start of the BIN area.
std::vector<uint8_t> MakeBuilderPackage(const std::string& keyWord);

// What a slot is given of a catalogue value: at most 24 characters; the
// Inquiry text cut or filled with blanks to exactly 24.
std::string SlotValue(const std::string& text);
std::string InquirySlotValue(const std::string& text);

// The version a build writes: the first five characters of the BIN file's
// name, in upper case.
std::string VersionFromFileName(const std::string& name);

}  // namespace package
