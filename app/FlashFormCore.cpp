#include "app/FlashFormCore.h"

#include <unistd.h>

#include <filesystem>

#include "drive/CDDrive.h"
#include "drive/CDDrives.h"

FlashFormCore::FlashFormCore(const uint8_t* package) : Package(package) {}

FlashFormCore::~FlashFormCore() { FormDestroy(); }

void FlashFormCore::FormDestroy() {
  // Each only if it exists; every pointer is cleared, so a second call is harmless.
  ModelList.reset();
  InquiryList.reset();
  FWRangeList.reset();
  BINMaskList.reset();
  VendorList.reset();
  NoteList.reset();
  CurrentDrive = nullptr;
  Drives.reset();
  if (TransferBuffer != nullptr) {
    // The drives must not keep a pointer to the buffer once it is gone.
    if (CDDrive::GetDataBuffer() == TransferBuffer) CDDrive::SetDataBuffer(nullptr, 0);
    delete[] TransferBuffer;
    TransferBuffer = nullptr;
  }
  delete[] BlockBuffer;
  BlockBuffer = nullptr;
  delete[] WorkBuffer;
  WorkBuffer = nullptr;
  WorkBufferSize = 0;
}

std::string FlashFormCore::ProgramFilePath() const {
  std::error_code error;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string() : path.string();
}

std::string FlashFormCore::CurrentDirectory() const {
  std::error_code error;
  std::filesystem::path path = std::filesystem::current_path(error);
  return error ? std::string() : path.string();
}
