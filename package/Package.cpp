#include "package/Package.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/Text.h"

namespace package {

namespace {

void PutText(uint8_t* at, const std::string& text, size_t width) {
  std::memcpy(at, text.data(), std::min(text.size(), width));
}

}  // namespace

uint32_t PackageView::BinLength() const {
  const uint8_t* p = base_ + kBinLengthOffset;
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string PackageView::SlotText(const char* slot, size_t width) {
  return std::string(slot, strnlen(slot, width));
}

bool PackageView::IsBuilder() const {
  return std::memcmp(BinArea(), kBuilderTag, sizeof kBuilderTag) == 0;
}

bool PackageView::AcceptsEveryDrive() const { return InquirySlot()[0] == '-' && InquirySlot()[1] == '-'; }

bool PackageView::RestrictsFirmware() const { return !(FWRangeSlot()[0] == '-' && FWRangeSlot()[5] == '-'); }

bool PackageView::IsFlashAll() const { return std::memcmp(NoteSlot(), "FLASH-ALL", 9) == 0; }

IdentityRecord EncodeIdentityRecord(const Identity& identity) {
  IdentityRecord record{};
  // The record begins at package offset kModelOffset.
  auto at = [&record](size_t packageOffset) { return record.data() + (packageOffset - kModelOffset); };
  PutText(at(kModelOffset), identity.model, kSlotTextSize);
  PutText(at(kInquiryOffset), identity.inquiry, kSlotTextSize);
  PutText(at(kFWRangeOffset), identity.fwRange, kSlotTextSize);
  PutText(at(kVendorOffset), identity.vendor, kSlotTextSize);
  PutText(at(kNoteOffset), identity.note, kSlotTextSize);
  PutText(at(kVersionOffset), identity.version, kVersionSize);
  for (size_t i = 0; i < 4; ++i) at(kBinLengthOffset)[i] = static_cast<uint8_t>(identity.binLength >> (8 * i));
  return record;
}

std::vector<uint8_t> MakePackage(const std::string& keyWord, const Identity& identity, const uint8_t* image,
                                 size_t size) {
  std::vector<uint8_t> package(kPackageSize, 0);
  PutText(package.data(), keyWord, kKeyWordSize - 1);
  const IdentityRecord record = EncodeIdentityRecord(identity);
  std::copy(record.begin(), record.end(), package.begin() + kModelOffset);
  if (image != nullptr) std::memcpy(package.data() + kBinAreaOffset, image, std::min(size, kBinAreaSize));
  return package;
}

std::vector<uint8_t> MakeBuilderPackage(const std::string& keyWord) {
  return MakePackage(keyWord, Identity{}, reinterpret_cast<const uint8_t*>(kBuilderTag), sizeof kBuilderTag);
}

std::string SlotValue(const std::string& text) { return platform::FormatText("%.24s", text); }

std::string InquirySlotValue(const std::string& text) { return platform::FormatText("%-24.24s", text); }

std::string VersionFromFileName(const std::string& name) {
  std::string version = name.substr(0, kVersionSize);
  for (char& c : version) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return version;
}

DriveAccess FindDriveAccess(const uint8_t* bytes, size_t size) {
  static constexpr char kTag[] = FLASHUTIL_DRIVE_ACCESS_TAG;
  const uint8_t* end = bytes + size;
  const auto valueIs = [end](const uint8_t* at, const char* value) {
    const size_t length = std::strlen(value) + 1;  // with its zero byte
    return static_cast<size_t>(end - at) >= length && std::memcmp(at, value, length) == 0;
  };
  // The tag also stands alone where a program holds this function: only a
  // tag followed by one of the two values is the record.
  for (const uint8_t* at = bytes; at < end;) {
    at = std::search(at, end, kTag, kTag + sizeof kTag - 1);
    if (at == end) break;
    at += sizeof kTag - 1;
    if (valueIs(at, "system")) return DriveAccess::System;
    if (valueIs(at, "simulated")) return DriveAccess::Simulated;
  }
  return DriveAccess::Unknown;
}

}  // namespace package
